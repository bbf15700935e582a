#pragma once

#include "platform.hpp"

#include <cstdint>
#include <string>

// The rewriter's reasons for failing, written to standard error.
constexpr const char* OPEN_ERROR = "Error opening file(s).\n";
constexpr const char* NOT_PNG_ERROR = "Not a valid PNG file.\n";
constexpr const char* READ_ERROR = "Error reading input file.\n";
constexpr const char* WRITE_ERROR = "Error writing output file.\n";

// Copies the PNG at input_path to output_path with one new pHYs chunk for dpi
// directly after IHDR and every old pHYs chunk left out; all other bytes pass
// through untouched. The output is created (or truncated) only once the input
// has opened and starts like a PNG. On failure, returns false after writing the
// reason to standard error. dpi must lie in 1..MAX_DPI.
bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi);

// The same between two open files; the output is written from its position on.
bool rewrite_png_resolution(OsFile input, OsFile output, std::int32_t dpi);

// Where the pHYs chunk's data and CRC lie when it directly follows IHDR: after
// the signature, IHDR, and the chunk's own length and type.
constexpr std::uint64_t FIRST_PHYS_DATA_OFFSET = 8 + 25 + 8;
constexpr std::size_t PHYS_DATA_AND_CRC_SIZE = 13;

// True when rewriting the input (of size bytes) would change nothing but the
// 13 bytes of data and CRC at FIRST_PHYS_DATA_OFFSET: its only pHYs chunk is the
// one directly after IHDR, 9 bytes long, and its chunks cover it exactly.
bool only_first_phys_changes(OsFile input, std::uint64_t size);
