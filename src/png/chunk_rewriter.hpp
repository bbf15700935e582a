#pragma once

#include "platform.hpp"

#include <cstdint>
#include <string>
#include <vector>

// The rewriter's reasons for failing, written to standard error.
constexpr const char* OPEN_ERROR = "Error opening file(s).\n";
constexpr const char* NOT_PNG_ERROR = "Not a valid PNG file.\n";
constexpr const char* READ_ERROR = "Error reading input file.\n";
constexpr const char* WRITE_ERROR = "Error writing output file.\n";
constexpr const char* INPUT_CHANGED = "Input file changed during the run.\n";
// Written before a run waits for a lock that another program holds.
constexpr const char* WAITING_FORMAT = "Waiting for another program to release %s.\n";

// Copies the PNG at input_path to output_path with one new pHYs chunk for dpi
// directly after IHDR and every old pHYs chunk left out; all other bytes pass
// through untouched. The output is opened only once the input has opened and
// starts like a PNG, and cut only once it has shown not to be the input under
// another name. The input is locked for reading and the output for writing,
// and the run fails if the input changed meanwhile. On failure, returns false
// after writing the reason to standard error. dpi must lie in 1..MAX_DPI.
bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi);

// The same between two open files; the output is written from its position on.
bool rewrite_png_resolution(OsFile input, OsFile output, std::int32_t dpi);

// Takes the lock, saying first on standard error that the run waits when
// another program holds it. False when the file cannot be locked.
bool lock_announced(OsFile file, LockMode mode, const std::string& name);

// Most images carry one pHYs chunk near their start. Their rewrite has the
// input's length and differs from it only in the span from the end of IHDR to
// the end of that chunk, which becomes the new pHYs followed by the chunks
// that stood before the old one.
struct PhysPatch {
    std::uint64_t span_end = 0;     // the span starts at IHDR_END
    std::vector<std::uint8_t> span; // its new bytes
    std::uint64_t changed_from = 0; // where they differ from the input's; none
    std::uint64_t changed_to = 0;   // when the two are equal
};

// True when the input (of size bytes) can be rewritten by a patch: its only
// pHYs chunk holds 9 bytes of data and ends at most 64 KiB after IHDR, and its
// chunks end exactly at its end.
bool plan_phys_patch(OsFile input, std::uint64_t size, std::int32_t dpi, PhysPatch& patch);
// Writes the patch's changed bytes into the file.
bool write_phys_patch(OsFile file, const PhysPatch& patch);
// Writes the whole rewritten image of a patchable input (of size bytes) to
// the output: the input with the span replaced.
IoError write_patched_image(OsFile input, std::uint64_t size, const PhysPatch& patch, OsFile output);
