#include "arguments.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

std::int32_t parse_dpi(const char* text)
{
    constexpr std::int64_t BEYOND_INT32 = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    std::int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)) != 0; ++text) {
        magnitude = std::min(magnitude * 10 + (*text - '0'), BEYOND_INT32);
    }
    const std::int64_t value = negative ? -magnitude : std::min(magnitude, BEYOND_INT32 - 1);
    return static_cast<std::int32_t>(value);
}
