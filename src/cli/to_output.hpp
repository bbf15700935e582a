#pragma once

#include <cstdint>
#include <string>

// Copies the PNG at input_path to output_path with one new pHYs chunk for dpi
// directly after IHDR and every old pHYs chunk left out; all other bytes pass
// through untouched. The output is opened only once the input has opened and
// starts like a PNG, and cut only once it has shown not to be the input under
// another name. The input is locked for reading and the output for writing,
// and the run fails if the input changed meanwhile. An output that the run
// created and never wrote goes again when it fails. On failure, returns false
// after writing the reason to standard error. dpi must lie in 1..MAX_DPI.
bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi);
