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

} // namespace packer
