#pragma once

#include <cstdint>
#include <string>

// True when the DPI argument can only be a file name (the DPI forgotten, as in
// `restamp *.png`): it ends in .png, in any case, or it names an existing file
// that is no folder and is not digits alone.
bool names_a_file(const std::string& argument);

// Reads the DPI argument as atoi does (leading blanks, an optional sign, then
// digits up to the first other character; no digits give 0), except that
// values beyond the range of int32_t saturate instead of wrapping around.
std::int32_t parse_dpi(const char* text);
