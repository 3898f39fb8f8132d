// How much memory packing may take for compressed output not yet written and the pieces in
// flight: --memory-limit, or a fixed default that does not depend on the machine.
#pragma once

#include <cstdint>
#include <string>

namespace packer {

// "1073741824", "512M", "512MiB", "2G", "2GiB" (K, M, G, T are powers of 1024). Throws
// PackError for anything else.
std::uint64_t ParseMemorySize(const std::string &text);

// 128 MiB: room for a few pieces in flight per thread on any machine; the container is written
// as it is made, so the product's size does not count.
std::uint64_t DefaultMemoryLimit();

// "1.5 GiB", "512 MiB", "900 KiB", "12 bytes".
std::string DescribeSize(std::uint64_t bytes);

} // namespace packer
