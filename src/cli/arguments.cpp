#include "arguments.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

std::int32_t parse_dpi(const char* text)
{
    constexpr std::int64_t MOST = std::numeric_limits<std::int32_t>::max();
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    std::int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)) != 0; ++text) {
        magnitude = std::min(magnitude * 10 + (*text - '0'), MOST);
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}
