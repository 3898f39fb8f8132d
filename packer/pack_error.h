// The one error type of the packer: its message is the line the user sees.
#pragma once

#include <stdexcept>
#include <string>

namespace packer {

struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace packer
