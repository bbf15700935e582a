#pragma once

// The journal of a patch that crosses a block: written and synced before the
// patch, it lets the next run finish a patch that a kill or a power loss
// interrupted, or tell that another program changed the file since.

#include "chunk_rewriter.hpp"

#include <cstdint>
#include <vector>

// A write within one aligned block of this size is all or nothing on power
// loss on common storage; a longer one may be torn.
constexpr std::uint64_t BLOCK_SIZE = 512;

// The largest record: a span of 64 KiB and its CRCs, with room to spare.
constexpr std::size_t MAX_JOURNAL_SIZE = 1U << 20U;

struct PatchJournal {
    std::uint64_t size = 0; // the input's size and identity
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t index_high = 0;
    std::uint64_t offset = 0;            // where the new bytes go
    std::vector<std::uint8_t> bytes;     // the new bytes
    std::vector<std::uint32_t> old_crcs; // of the old bytes in each block the new ones meet
};

// The journal of the patch of the input found as `state`; false when its old
// bytes cannot be read.
bool make_journal(OsFile input, const FileState& state, const PhysPatch& patch, PatchJournal& journal);
// The journal as a record that ends in the CRC of all before it.
std::vector<std::uint8_t> encode_journal(const PatchJournal& journal);
// False when the record is not one whole journal.
bool decode_journal(const std::vector<std::uint8_t>& record, PatchJournal& journal);

// What the input, found as `state`, holds where the journal writes: only old
// blocks; old and new blocks; or anything else (another size or file, a block
// neither old nor new): another program changed it.
enum class JournalMatch { old, part_new, foreign };
JournalMatch match_journal(OsFile input, const FileState& state, const PatchJournal& journal);
