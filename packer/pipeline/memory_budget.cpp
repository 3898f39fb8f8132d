#include "packer/pipeline/memory_budget.h"

#include "packer/pack_error.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <utility>

namespace packer {

std::uint64_t ParseMemorySize(const std::string &text)
{
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    std::string unit = text.substr(digits);
    static const std::pair<const char *, int> units[] = {{"", 0},     {"B", 0},  {"K", 10},   {"KiB", 10}, {"M", 20},
                                                         {"MiB", 20}, {"G", 30}, {"GiB", 30}, {"T", 40},   {"TiB", 40}};
    int shift = -1;
    for (const auto &[name, power] : units)
        if (unit == name)
            shift = power;
    if (digits == 0 || digits > 15 || shift < 0)
        throw PackError("give a size such as 2G, 512M or 1073741824 bytes, not \"" + text + "\"");
    std::uint64_t value = std::stoull(text.substr(0, digits));
    if (value == 0 || value > (std::numeric_limits<std::uint64_t>::max() >> shift))
        throw PackError(text + " is not a usable size");
    return value << shift;
}

std::uint64_t DefaultMemoryLimit()
{
    return std::uint64_t{128} << 20;
}

std::string DescribeSize(std::uint64_t bytes)
{
    static const char *const names[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    double value = static_cast<double>(bytes);
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, names[unit]);
    return text;
}

} // namespace packer
