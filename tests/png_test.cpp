// Unit tests of the pHYs encoding and of the chunk rewriter's output layouts.

#include "chunk_rewriter.hpp"
#include "phys_chunk.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using Bytes = std::string;

Bytes read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

Bytes big_endian(std::uint32_t value)
{
    return {static_cast<char>(value >> 24U), static_cast<char>(value >> 16U), static_cast<char>(value >> 8U),
            static_cast<char>(value)};
}

// A chunk with a deliberately wrong CRC: the rewriter must pass CRCs through untouched.
Bytes chunk(const char* type, const Bytes& data)
{
    return big_endian(static_cast<std::uint32_t>(data.size())) + type + data + "\xDE\xAD\xBE\xEF";
}

Bytes phys(std::int32_t dpi)
{
    const PhysChunk chunk = build_phys_chunk(dpi);
    return {chunk.begin(), chunk.end()};
}

const Bytes SIGNATURE = "\x89PNG\r\n\x1A\n";
const Bytes IHDR = chunk("IHDR", Bytes(13, '\1'));
const Bytes HEAD = SIGNATURE + IHDR;
const Bytes IDAT = chunk("IDAT", "pixels");
const Bytes IEND = chunk("IEND", "");
const Bytes NEW = phys(300);

TEST(PhysChunk, EncodesDpiAsPixelsPerMetreWithCrc)
{
    const struct {
        std::int32_t dpi;
        std::uint32_t pixels_per_metre;
        const char* bytes; // empty where only the value is checked
    } cases[] = {
        {1, 39, "\0\0\0\x09pHYs\0\0\0\x27\0\0\0\x27\x01\x2A\x09\x91\x4F"},
        {72, 2835, "\0\0\0\x09pHYs\0\0\x0B\x13\0\0\x0B\x13\x01\x00\x9A\x9C\x18"},
        {96, 3780, "\0\0\0\x09pHYs\0\0\x0E\xC4\0\0\x0E\xC4\x01\x95\x2B\x0E\x1B"},
        {300, 11811, "\0\0\0\x09pHYs\0\0\x2E\x23\0\0\x2E\x23\x01\x78\xA5\x3F\x76"},
        {150, 5906, ""},
        {MAX_DPI, 2147483620, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dpi);
        EXPECT_EQ(dpi_to_pixels_per_metre(c.dpi), c.pixels_per_metre);
        const Bytes chunk = phys(c.dpi);
        EXPECT_EQ(chunk.substr(8, 8), big_endian(c.pixels_per_metre) + big_endian(c.pixels_per_metre));
        if (*c.bytes != '\0') {
            EXPECT_EQ(chunk, Bytes(c.bytes, 21));
        }
    }
}

TEST(ChunkRewriter, InsertsOnePhysAfterIhdrAndCopiesEverythingElse)
{
    const Bytes huge_idat_header = "\xFF\xFF\xFF\xFFIDAT";
    const struct {
        const char* name;
        Bytes input;
        bool result;
        Bytes output;
        const char* error;
    } cases[] = {
        {"no pHYs", HEAD + IDAT + IEND, true, HEAD + NEW + IDAT + IEND, ""},
        {"every old pHYs dropped", HEAD + phys(72) + IDAT + phys(96) + IEND + phys(1), true, HEAD + NEW + IDAT + IEND,
         ""},
        {"signature and IHDR only", HEAD, true, HEAD + NEW, ""},
        {"other types kept, case matters", HEAD + chunk("phYs", "x") + chunk("prIv", "") + IEND, true,
         HEAD + NEW + chunk("phYs", "x") + chunk("prIv", "") + IEND, ""},
        {"last signature bytes unexamined", "\x89PNGabcd" + IHDR, true, "\x89PNGabcd" + IHDR + NEW, ""},
        {"IHDR cut short", HEAD.substr(0, 20), true, HEAD.substr(0, 20) + NEW, ""},
        {"chunk cut short", HEAD + IDAT.substr(0, 11), true, HEAD + NEW + IDAT.substr(0, 11), ""},
        {"4 GiB length in a tiny file", HEAD + huge_idat_header + "abc", true, HEAD + NEW + huge_idat_header + "abc",
         ""},
        {"4 GiB pHYs swallows the rest", HEAD + "\xFF\xFF\xFF\xFFpHYs" + IDAT, true, HEAD + NEW, ""},
        {"partial header after IEND", HEAD + IEND + "\0\0\0\x01IE", true, HEAD + NEW + IEND, ""},
        {"not a PNG", "GIF89a" + IHDR, false, "", "Not a valid PNG file.\n"},
        {"signature alone", SIGNATURE, false, "", "Not a valid PNG file.\n"},
        {"first chunk not IHDR", SIGNATURE + IDAT + IHDR, false, "", "Not a valid PNG file.\n"},
    };
    const std::string input_path = testing::TempDir() + "rewriter_in.png";
    const std::string output_path = testing::TempDir() + "rewriter_out.png";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(input_path, std::ios::binary) << c.input;
        std::remove(output_path.c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(rewrite_png_resolution(input_path, output_path, 300), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.error);
        // A failed check leaves no output behind.
        EXPECT_EQ(std::ifstream(output_path).is_open(), c.result);
        EXPECT_EQ(read_file(output_path), c.output);
    }
    std::remove(input_path.c_str());
    std::remove(output_path.c_str());
}

// An output that turns out to be the input under another name is never cut.
TEST(ChunkRewriter, RefusesAnOutputThatIsTheInput)
{
    const std::string input_path = testing::TempDir() + "rewriter_in.png";
    const std::string output_path = testing::TempDir() + "rewriter_link.png";
    std::ofstream(input_path, std::ios::binary) << HEAD + IEND;
    std::filesystem::create_hard_link(input_path, output_path);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(rewrite_png_resolution(input_path, output_path, 300));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error opening file(s).\n");
    EXPECT_EQ(read_file(input_path), HEAD + IEND);
    std::remove(input_path.c_str());
    std::remove(output_path.c_str());
}

// Re-stamping in place writes the first pHYs chunk's 13 bytes alone, only when
// the rewrite would change nothing else.
TEST(ChunkRewriter, OnlyFirstPhysChangesWhenItIsTheOnePhysAndChunksCoverTheFile)
{
    const struct {
        const char* name;
        Bytes input;
        bool result;
    } cases[] = {
        {"pHYs first and alone", HEAD + phys(72) + IDAT + IEND, true},
        {"already right", HEAD + NEW + IDAT + IEND, true},
        {"a second pHYs", HEAD + phys(72) + IDAT + phys(72) + IEND, false},
        {"bytes after the last chunk", HEAD + phys(72) + IDAT + IEND + "x", false},
        {"last chunk cut short", HEAD + phys(72) + IDAT + IEND.substr(0, 11), false},
        {"pHYs not first", HEAD + IDAT + phys(72) + IEND, false},
        {"pHYs of another length", HEAD + chunk("pHYs", Bytes(10, '\1')) + IEND, false},
        {"not a PNG", "GIF89a\0\0" + IHDR.substr(8) + phys(72) + IEND, false},
    };
    const std::string path = testing::TempDir() + "rewriter_in.png";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path, std::ios::binary) << c.input;
        const OsFile input = open_for_reading(path);
        EXPECT_EQ(only_first_phys_changes(input, c.input.size()), c.result);
        close_file(input);
    }
    std::remove(path.c_str());
}

} // namespace
