#pragma once

#include <cstdint>

// Reads the DPI argument as atoi does (leading blanks, an optional sign, then
// digits up to the first other character; no digits give 0), except that
// values beyond the range of int32_t saturate instead of wrapping around.
std::int32_t parse_dpi(const char* text);
