// Unit tests of the pHYs encoding, of the chunk rewriter's output layouts, of
// the patch that stands for a rewrite and of its journal.

#include "chunk_rewriter.hpp"
#include "patch_journal.hpp"
#include "png_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

Bytes big_endian(std::uint32_t value)
{
    Bytes bytes(4, '\0');
    store_big_endian(reinterpret_cast<std::uint8_t*>(bytes.data()), value);
    return bytes;
}

// A chunk with a deliberately wrong CRC: the rewriter must pass CRCs through untouched.
Bytes chunk(const char* type, const Bytes& data)
{
    return big_endian(static_cast<std::uint32_t>(data.size())) + type + data + "\xDE\xAD\xBE\xEF";
}

const Bytes SIGNATURE = "\x89PNG\r\n\x1A\n";
const Bytes IHDR = chunk("IHDR", Bytes(IHDR_DATA_SIZE, '\1'));
const Bytes HEAD = SIGNATURE + IHDR;
const Bytes IDAT = chunk("IDAT", "pixels");
const Bytes IEND = chunk("IEND", "");
const Bytes NEW = phys(300);
// Named for this process, so that runs at once (and other users') do not meet.
const std::string INPUT_PATH = testing::TempDir() + "rewriter_in_" + std::to_string(getpid()) + ".png";
const std::string OUTPUT_PATH = testing::TempDir() + "rewriter_out_" + std::to_string(getpid()) + ".png";

// 72 and 300 DPI are checked byte for byte by the black-box tests.
TEST(PhysChunk, EncodesDpiAsPixelsPerMetreWithCrc)
{
    const struct {
        std::int32_t dpi;
        std::uint32_t pixels_per_metre;
        const char* bytes; // empty where only the value is checked
    } cases[] = {
        {1, 39, "\0\0\0\x09pHYs\0\0\0\x27\0\0\0\x27\x01\x2A\x09\x91\x4F"},
        {96, 3780, "\0\0\0\x09pHYs\0\0\x0E\xC4\0\0\x0E\xC4\x01\x95\x2B\x0E\x1B"}, // 3779.53, rounded up
        {MAX_DPI, 2147483620, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dpi);
        EXPECT_EQ(dpi_to_pixels_per_metre(c.dpi), c.pixels_per_metre);
        const Bytes chunk = phys(c.dpi);
        EXPECT_EQ(chunk.substr(CHUNK_HEADER_SIZE, 8), big_endian(c.pixels_per_metre) + big_endian(c.pixels_per_metre));
        if (*c.bytes != '\0') {
            EXPECT_EQ(chunk, Bytes(c.bytes, PHYS_CHUNK_SIZE));
        }
    }
}

// Every case overwrites a longer output, which the copy writes from its start.
TEST(ChunkRewriter, InsertsOnePhysAfterIhdrAndCopiesEverythingElse)
{
    // Large and small chunks in turn: kernel copies and the buffer take turns.
    const Bytes large = chunk("IDAT", Bytes(20000, 'L'));
    const Bytes mixed = large + IDAT + IDAT + large + chunk("IDAT", Bytes(300000, 'H')) + IDAT;
    const Bytes huge = chunk("IDAT", Bytes(1U << 24U, 'H')); // its length's first byte counts
    const struct {
        const char* name;
        Bytes input;
        bool png;
        Bytes output;
    } cases[] = {
        {"large and small chunks", HEAD + mixed + phys(72) + mixed + IEND, true, HEAD + NEW + mixed + mixed + IEND},
        {"a chunk of 16 MiB", HEAD + huge + phys(72) + IEND, true, HEAD + NEW + huge + IEND},
        {"chunk cut short", HEAD + IDAT.substr(0, 11), true, HEAD + NEW + IDAT.substr(0, 11)},
        {"partial header after IEND", HEAD + IEND + Bytes("\0\0\0\x01IEN", 7), true, HEAD + NEW + IEND},
        {"not a PNG", "\x89PNx" + HEAD.substr(4), false, ""},
        {"signature alone", SIGNATURE, false, ""},
        {"first chunk not IHDR", SIGNATURE + IDAT + IHDR, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(INPUT_PATH, std::ios::binary) << c.input;
        std::ofstream(OUTPUT_PATH, std::ios::binary) << Bytes(700000, 'x');
        const OsFile input = open_for_reading(INPUT_PATH, nullptr);
        bool png = false;
        EXPECT_EQ(read_png_start(input, png), IoError::none);
        EXPECT_EQ(png, c.png);
        if (png) {
            bool created = false;
            const OsFile output = open_or_create_for_writing(OUTPUT_PATH, FileState{}, created, nullptr);
            EXPECT_EQ(copy_png(input, output, 0, build_phys_chunk(300)), IoError::none);
            set_file_size(output, c.output.size());
            EXPECT_EQ(read_file(OUTPUT_PATH), c.output);
            close_file(output);
        }
        close_file(input);
    }
    std::remove(INPUT_PATH.c_str());
    std::remove(OUTPUT_PATH.c_str());
}

// A patch stands for the rewrite only where the rewrite keeps the length and
// changes nothing after the one pHYs chunk; it writes just the bytes that differ.
TEST(PhysPatch, StandsForTheRewriteOfAFileWithOnePhysNearItsStart)
{
    const Bytes gama = chunk("gAMA", "1234");
    // Its CRC is the old pHYs chunk's: the span's new bytes end as the old ones do.
    const Bytes like_phys = gama.substr(0, CHUNK_HEADER_SIZE + 4) + phys(72).substr(PHYS_CHUNK_SIZE - 4);
    // The chunks before pHYs that make the span 64 KiB long, and a byte longer.
    const Bytes filler = chunk("iCCP", Bytes(65536 - PHYS_CHUNK_SIZE - CHUNK_FRAMING_SIZE, 'i'));
    const Bytes longer_filler = chunk("iCCP", Bytes(65536 - PHYS_CHUNK_SIZE - CHUNK_FRAMING_SIZE + 1, 'i'));
    const struct {
        const char* name;
        Bytes input;
        bool qualifies;
    } cases[] = {
        {"pHYs after IHDR", HEAD + phys(72) + IDAT + IEND, true},
        {"pHYs after IHDR, already right", HEAD + NEW + IDAT + IEND, true},
        {"pHYs after another chunk", HEAD + gama + phys(72) + IDAT + IEND, true},
        {"the same last bytes", HEAD + like_phys + phys(72) + IDAT + IEND, true},
        {"span of 64 KiB", HEAD + filler + phys(72) + IEND, true},
        {"span over 64 KiB", HEAD + longer_filler + phys(72) + IEND, false},
        {"no pHYs", HEAD + IDAT + IEND, false},
        {"no pHYs in the first 64 KiB", HEAD + filler + IDAT + IDAT + IEND, false},
        {"a second pHYs", HEAD + phys(72) + IDAT + phys(72) + IEND, false},
        {"pHYs of another length", HEAD + chunk("pHYs", Bytes(10, '\1')) + IEND, false},
        {"bytes after the last chunk", HEAD + phys(72) + IDAT + IEND + "x", false},
        {"last chunk cut short", HEAD + phys(72) + IDAT + IEND.substr(0, 11), false},
        {"not a PNG", "\x89PNx" + HEAD.substr(4) + phys(72) + IEND, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(INPUT_PATH, std::ios::binary) << c.input;
        bool writable = false;
        const OsFile input = open_for_update(INPUT_PATH, writable, nullptr);
        PhysPatch patch;
        EXPECT_EQ(plan_phys_patch(input, c.input.size(), build_phys_chunk(300), patch), c.qualifies);
        if (c.qualifies) {
            Bytes rewritten = c.input.substr(0, IHDR_END) + NEW + c.input.substr(IHDR_END);
            rewritten.erase(rewritten.find("pHYs", IHDR_END + PHYS_CHUNK_SIZE) - 4, PHYS_CHUNK_SIZE);
            const std::size_t from = patch.changed_from;
            const std::size_t to = patch.changed_to;
            EXPECT_TRUE(from == to || (c.input[from] != rewritten[from] && c.input[to - 1] != rewritten[to - 1]));
            EXPECT_EQ(write_phys_patch(input, patch), IoError::none);
            EXPECT_EQ(read_file(INPUT_PATH), rewritten);
        }
        close_file(input);
    }
    std::remove(INPUT_PATH.c_str());
}

// The journal of a patch across blocks tells the old bytes, new ones and a
// tear between them from what another program wrote, and its record is whole
// or refused; a backup that cannot be written says so.
TEST(PatchJournal, TellsOldNewAndTornBlocksFromForeignOnes)
{
    const Bytes input = HEAD + chunk("tEXt", Bytes(600, 't')) + phys(72) + IEND;
    Bytes rewritten =
        HEAD + NEW + input.substr(IHDR_END, input.size() - IHDR_END - PHYS_CHUNK_SIZE - IEND.size()) + IEND;
    std::ofstream(INPUT_PATH, std::ios::binary) << input;
    bool writable = false;
    const OsFile file = open_for_update(INPUT_PATH, writable, nullptr);
    FileState state;
    PhysPatch patch;
    PatchJournal journal;
    PatchJournal read_back;
    ASSERT_TRUE(state_of(file, state) && plan_phys_patch(file, input.size(), build_phys_chunk(300), patch) &&
                make_journal(file, state, patch, journal));
    std::vector<std::uint8_t> record = encode_journal(journal);
    ASSERT_TRUE(decode_journal(record, read_back));
    const struct {
        const char* name;
        Bytes now;
        JournalMatch match;
    } cases[] = {
        {"old", input, JournalMatch::old},
        {"new", rewritten, JournalMatch::part_new},
        {"torn at 512", rewritten.substr(0, 512) + input.substr(512), JournalMatch::part_new},
        {"a byte neither old nor new", input.substr(0, 100) + "?" + input.substr(101), JournalMatch::foreign},
        {"longer", input + "?", JournalMatch::foreign},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(INPUT_PATH, std::ios::binary) << c.now;
        state_of(file, state);
        EXPECT_EQ(match_journal(file, state, read_back), c.match);
    }
    record[record.size() / 2] ^= 1U;
    EXPECT_FALSE(decode_journal(record, read_back));
    bool created = false;
    const OsFile full = open_or_create_for_writing("/dev/full", state, created, nullptr);
    EXPECT_EQ(write_patched_image(file, input.size(), patch, full), IoError::writing);
    close_file(full);
    close_file(file);
    std::remove(INPUT_PATH.c_str());
}

} // namespace
