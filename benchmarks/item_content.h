// The 64 MiB item contents that the payload item benchmarks read, native and under Wine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace benchmarks {

constexpr std::size_t itemSize = std::size_t{64} << 20;

// Kinds of content: a cabinet is already compressed, so zlib stores it almost as it is; a
// database-like file deflates to about a third.
enum Content { Cabinet = 0, Tables = 1 };

inline std::vector<std::uint8_t> MakeContent(Content content, std::size_t size = itemSize)
{
    std::mt19937_64 random(content + 1);
    std::vector<std::uint8_t> out(size);
    if (content == Cabinet) {
        for (std::size_t i = 0; i + 8 <= out.size(); i += 8) {
            std::uint64_t value = random();
            for (int k = 0; k < 8; ++k)
                out[i + k] = static_cast<std::uint8_t>(value >> (8 * k));
        }
        return out;
    }
    static const char *const words[] = {"Component", "File", "Directory", "Registry", "Feature", "x64",
                                        "1033",      "main", "Property",  "Value",    "\r\n",    "{GUID}"};
    std::size_t i = 0;
    while (i < out.size()) {
        std::uint64_t value = random();
        const char *word = words[value % (sizeof words / sizeof words[0])];
        for (const char *c = word; *c != '\0' && i < out.size(); ++c)
            out[i++] = static_cast<std::uint8_t>(*c);
        if (i < out.size())
            out[i++] = static_cast<std::uint8_t>(value >> 40);
    }
    return out;
}

} // namespace benchmarks
