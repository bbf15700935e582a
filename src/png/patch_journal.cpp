#include "patch_journal.hpp"

#include "png_layout.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr char MAGIC[8] = {'R', 'S', 'T', 'J', 'R', 'N', 'L', '1'};

// Where the piece of the stretch up to `end` that starts at `at` ends: at the
// next block boundary, or at `end`.
std::uint64_t piece_end(std::uint64_t at, std::uint64_t end)
{
    return std::min(end, (at / BLOCK_SIZE + 1) * BLOCK_SIZE);
}

void append_32(std::vector<std::uint8_t>& record, std::uint32_t value)
{
    record.resize(record.size() + 4);
    store_big_endian(&record[record.size() - 4], value);
}

void append_64(std::vector<std::uint8_t>& record, std::uint64_t value)
{
    append_32(record, static_cast<std::uint32_t>(value >> 32U));
    append_32(record, static_cast<std::uint32_t>(value));
}

// Reads the record from `at` on, up to its closing CRC.
bool take_32(const std::vector<std::uint8_t>& record, std::size_t& at, std::uint32_t& value)
{
    if (record.size() - 4 - at < 4) {
        return false;
    }
    value = load_big_endian(&record[at]);
    at += 4;
    return true;
}

bool take_64(const std::vector<std::uint8_t>& record, std::size_t& at, std::uint64_t& value)
{
    std::uint32_t high = 0;
    std::uint32_t low = 0;
    const bool taken = take_32(record, at, high) && take_32(record, at, low);
    value = std::uint64_t{high} << 32U | low;
    return taken;
}

} // namespace

bool make_journal(OsFile input, const FileState& state, const PhysPatch& patch, PatchJournal& journal)
{
    journal.size = state.size;
    journal.device = state.device;
    journal.index = state.index;
    journal.index_high = state.index_high;
    journal.offset = patch.changed_from;
    journal.bytes.assign(patch.span.begin() + static_cast<std::ptrdiff_t>(patch.changed_from - IHDR_END),
                         patch.span.begin() + static_cast<std::ptrdiff_t>(patch.changed_to - IHDR_END));
    std::vector<std::uint8_t> old(journal.bytes.size());
    if (read_at(input, journal.offset, old.data(), old.size()) != static_cast<std::int64_t>(old.size())) {
        return false;
    }
    journal.old_crcs.clear();
    for (std::uint64_t at = patch.changed_from; at < patch.changed_to; at = piece_end(at, patch.changed_to)) {
        journal.old_crcs.push_back(crc32(&old[at - journal.offset], piece_end(at, patch.changed_to) - at));
    }
    return true;
}

std::vector<std::uint8_t> encode_journal(const PatchJournal& journal)
{
    std::vector<std::uint8_t> record(std::begin(MAGIC), std::end(MAGIC));
    for (const std::uint64_t value :
         {journal.size, journal.device, journal.index, journal.index_high, journal.offset}) {
        append_64(record, value);
    }
    append_32(record, static_cast<std::uint32_t>(journal.bytes.size()));
    record.insert(record.end(), journal.bytes.begin(), journal.bytes.end());
    for (const std::uint32_t crc : journal.old_crcs) {
        append_32(record, crc);
    }
    append_32(record, crc32(record.data(), record.size()));
    return record;
}

bool decode_journal(const std::vector<std::uint8_t>& record, PatchJournal& journal)
{
    std::size_t at = sizeof MAGIC;
    std::uint32_t length = 0;
    if (record.size() < sizeof MAGIC + 4 || record.size() > MAX_JOURNAL_SIZE ||
        std::memcmp(record.data(), MAGIC, sizeof MAGIC) != 0 ||
        crc32(record.data(), record.size() - 4) != load_big_endian(&record[record.size() - 4])) {
        return false;
    }
    if (!take_64(record, at, journal.size) || !take_64(record, at, journal.device) ||
        !take_64(record, at, journal.index) || !take_64(record, at, journal.index_high) ||
        !take_64(record, at, journal.offset) || !take_32(record, at, length) || record.size() - 4 - at < length) {
        return false;
    }
    journal.bytes.assign(record.begin() + static_cast<std::ptrdiff_t>(at),
                         record.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    journal.old_crcs.clear();
    const std::uint64_t end = journal.offset + length;
    for (std::uint64_t piece = journal.offset; piece < end; piece = piece_end(piece, end)) {
        std::uint32_t crc = 0;
        if (!take_32(record, at, crc)) {
            return false;
        }
        journal.old_crcs.push_back(crc);
    }
    return at == record.size() - 4 && length > 0 && end <= journal.size;
}

JournalMatch match_journal(OsFile input, const FileState& state, const PatchJournal& journal)
{
    std::vector<std::uint8_t> now(journal.bytes.size());
    if (state.size != journal.size || state.device != journal.device || state.index != journal.index ||
        state.index_high != journal.index_high ||
        read_at(input, journal.offset, now.data(), now.size()) != static_cast<std::int64_t>(now.size())) {
        return JournalMatch::foreign;
    }
    bool only_old = true;
    const std::uint64_t end = journal.offset + journal.bytes.size();
    std::size_t block = 0;
    for (std::uint64_t at = journal.offset; at < end; at = piece_end(at, end), ++block) {
        const std::size_t from = at - journal.offset;
        const std::size_t size = piece_end(at, end) - at;
        if (crc32(&now[from], size) == journal.old_crcs[block]) {
            continue;
        }
        if (std::memcmp(&now[from], &journal.bytes[from], size) != 0) {
            return JournalMatch::foreign;
        }
        only_old = false;
    }
    return only_old ? JournalMatch::old : JournalMatch::part_new;
}
