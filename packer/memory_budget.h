// How much memory packing may take: --memory-limit, or by default half of the machine's
// memory or of the cgroup's limit, whichever is lower.
#pragma once

#include <cstdint>
#include <string>

namespace packer {

// "1073741824", "512M", "512MiB", "2G", "2GiB" (K, M, G, T are powers of 1024). Throws
// PackError for anything else.
std::uint64_t ParseMemorySize(const std::string &text);

// Half of the smaller of MemTotal and the cgroup's memory limit (v2 or v1), when there is one.
std::uint64_t DefaultMemoryLimit();

// "1.5 GiB", "512 MiB", "900 KiB", "12 bytes".
std::string DescribeSize(std::uint64_t bytes);

} // namespace packer
