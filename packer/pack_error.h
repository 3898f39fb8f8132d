// The packer's errors and exit codes: an error's message is the line the user sees, and its
// type says which exit code it ends with, the same for every subcommand.
#pragma once

#include <stdexcept>
#include <string>

namespace packer {

enum ExitCode {
    ExitDone = 0,    // done, or verified
    ExitFailed = 1,  // failed, or did not verify
    ExitUsage = 2,   // the command line asks for something that can't be done
    ExitNotRead = 3, // a file or key could not be read or used
};

// Failed: the input was read and found wanting, or the work failed.
struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file or key that could not be read or used at all: missing, no permission, an I/O error,
// not a key, an encrypted key without its passphrase, a key of the wrong type or size.
struct ReadError : PackError {
    using PackError::PackError;
};

// The command line asks for something that can't be done, such as writing over an input.
struct UsageError : PackError {
    using PackError::PackError;
};

// A key that can't be used: a passphrase or PIN missing or refused, a key of the wrong kind, a
// token, module or signer command that fails. Exits as a file that can't be read does.
struct UnusableKey : ReadError {
    using ReadError::ReadError;
};

} // namespace packer
