// The one error type of the packer: its message is the line the user sees.
#pragma once

#include <stdexcept>
#include <string>

namespace packer {

struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file that could not be read at all (missing, no permission, an I/O error), as opposed to
// one that was read and found wanting.
struct ReadError : PackError {
    using PackError::PackError;
};

// A key that can't be used: a passphrase or PIN missing or refused, a key of the wrong kind, a
// token, module or signer command that fails. Exits as a file that can't be read does.
struct UnusableKey : ReadError {
    using ReadError::ReadError;
};

} // namespace packer
