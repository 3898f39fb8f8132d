// The digest that items are signed and compared by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace packer {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256Of(const std::uint8_t *data, std::size_t length);

} // namespace packer
