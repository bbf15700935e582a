#pragma once

// The chunk walk and the copy between two open files, and the patch that
// stands for a copy where it can: bytes only. Nothing here prints.

#include "phys_chunk.hpp"
#include "platform.hpp"

#include <cstdint>
#include <vector>

// True in `png` when the input starts with the PNG signature (its last four
// bytes are not examined) and the header of IHDR, which must come first: its
// end is the only place the new chunk may go.
IoError read_png_start(OsFile input, bool& png);

// Copies the PNG in `input` to `output` from output_offset on (SEQUENTIAL for
// a pipe or a device), with `phys` directly after IHDR and every old pHYs
// chunk left out; all other bytes pass through untouched, every chunk whose
// length and type are in the input as far as the input goes.
IoError copy_png(OsFile input, OsFile output, std::uint64_t output_offset, const PhysChunk& phys);

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
bool plan_phys_patch(OsFile input, std::uint64_t size, const PhysChunk& phys, PhysPatch& patch);
// Writes the patch's changed bytes into the file.
IoError write_phys_patch(OsFile file, const PhysPatch& patch);
// Writes the whole rewritten image of a patchable input (of size bytes) to
// the output from its start: the input with the span replaced.
IoError write_patched_image(OsFile input, std::uint64_t size, const PhysPatch& patch, OsFile output);
