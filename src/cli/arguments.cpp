#include "arguments.hpp"

#include "platform.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

bool names_a_file(const std::string& argument)
{
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    const bool png = argument.size() >= 4 && std::equal(argument.end() - 4, argument.end(), ".png",
                                                        [&](char a, char b) { return lower(a) == b; });
    const bool digits = !argument.empty() && std::all_of(argument.begin(), argument.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    FileState state;
    return png || (!digits && state_of(argument, state) && state.kind != FileKind::folder);
}

std::int32_t parse_dpi(const char* text)
{
    constexpr std::int64_t MAX = std::numeric_limits<std::int32_t>::max();
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    std::int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)) != 0; ++text) {
        magnitude = std::min(magnitude * 10 + (*text - '0'), MAX);
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}
