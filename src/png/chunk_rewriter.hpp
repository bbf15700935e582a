#pragma once

#include <cstdint>
#include <string>

// Copies the PNG at input_path to output_path with one new pHYs chunk for dpi
// directly after IHDR and every old pHYs chunk left out; all other bytes pass
// through untouched. On failure, returns false after writing the reason to
// standard error. dpi must lie in 1..MAX_DPI.
bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi);
