#include "chunk_rewriter.hpp"

#include "phys_chunk.hpp"

#include <cstring>

namespace {

constexpr std::uint64_t SIGNATURE_SIZE = 8;
constexpr std::uint64_t CHUNK_HEADER_SIZE = 8;   // length and type
constexpr std::uint64_t CHUNK_FRAMING_SIZE = 12; // length, type and CRC
constexpr std::uint64_t IHDR_END = SIGNATURE_SIZE + CHUNK_FRAMING_SIZE + 13;

// Chunk headers are read through a small window: one read serves many small
// chunks, and a large chunk costs one short read, its data never passing
// through the program. The fuzzing build makes it one byte longer than a header.
#ifndef RESTAMP_WINDOW_SIZE
#define RESTAMP_WINDOW_SIZE 512
#endif
constexpr std::size_t WINDOW_SIZE = RESTAMP_WINDOW_SIZE;
struct HeaderWindow {
    std::uint64_t offset = 0;
    std::size_t size = 0;
    char bytes[WINDOW_SIZE];
};

enum class HeaderRead { found, none, failed };

// The length and type of the chunk at offset, when both are in the file.
HeaderRead read_chunk_header(OsFile input, HeaderWindow& window, std::uint64_t offset, std::uint64_t& whole_size,
                             bool& is_phys)
{
    if (offset < window.offset || offset + CHUNK_HEADER_SIZE > window.offset + window.size) {
        const std::int64_t got = read_at(input, offset, window.bytes, WINDOW_SIZE);
        if (got < 0) {
            return HeaderRead::failed;
        }
        window.offset = offset;
        window.size = static_cast<std::size_t>(got);
        if (window.size < CHUNK_HEADER_SIZE) {
            return HeaderRead::none;
        }
    }
    const auto* header = reinterpret_cast<const unsigned char*>(window.bytes + (offset - window.offset));
    const std::uint32_t length = (std::uint32_t{header[0]} << 24U) | (std::uint32_t{header[1]} << 16U) |
                                 (std::uint32_t{header[2]} << 8U) | std::uint32_t{header[3]};
    whole_size = length + CHUNK_FRAMING_SIZE;
    is_phys = std::memcmp(header + 4, "pHYs", 4) == 0;
    return HeaderRead::found;
}

bool report_failure(const char* message)
{
    print_error(message);
    return false;
}

// The PNG signature (its last four bytes are not examined) and the header of
// IHDR, which must come first: its end is the only place the new chunk may go.
HeaderRead read_png_start(OsFile input)
{
    char start[SIGNATURE_SIZE + CHUNK_HEADER_SIZE];
    const std::int64_t got = read_at(input, 0, start, sizeof start);
    if (got < 0) {
        return HeaderRead::failed;
    }
    const bool png = got == sizeof start && std::memcmp(start, "\x89PNG", 4) == 0 &&
                     std::memcmp(start + SIGNATURE_SIZE, "\0\0\0\x0dIHDR", CHUNK_HEADER_SIZE) == 0;
    return png ? HeaderRead::found : HeaderRead::none;
}

bool starts_like_png(OsFile input)
{
    switch (read_png_start(input)) {
    case HeaderRead::found:
        return true;
    case HeaderRead::none:
        return report_failure(NOT_PNG_ERROR);
    default:
        return report_failure(READ_ERROR);
    }
}

// Copies the input's bytes from..to, or as far as the input goes.
bool copy_kept(OsFile input, std::uint64_t from, std::uint64_t to, OsFile output)
{
    const CopyResult result = copy_range(input, from, to - from, output);
    if (result.error == IoError::reading) {
        return report_failure(READ_ERROR);
    }
    return result.error == IoError::none || report_failure(WRITE_ERROR);
}

// The output is the signature and IHDR as read, the new pHYs, then every later
// chunk whose length and type are in the input, as far as the input goes,
// leaving out pHYs chunks. Kept bytes are copied in runs, from one left-out
// chunk to the next.
bool copy_chunks(OsFile input, OsFile output, std::int32_t dpi)
{
    const PhysChunk phys = build_phys_chunk(dpi);
    if (!copy_kept(input, 0, IHDR_END, output)) {
        return false;
    }
    if (!write_all(output, phys.data(), phys.size())) {
        return report_failure(WRITE_ERROR);
    }
    HeaderWindow window;
    std::uint64_t kept_from = IHDR_END;
    std::uint64_t offset = IHDR_END;
    for (;;) {
        std::uint64_t size = 0;
        bool is_phys = false;
        const HeaderRead header = read_chunk_header(input, window, offset, size, is_phys);
        if (header == HeaderRead::failed) {
            return report_failure(READ_ERROR);
        }
        if (header == HeaderRead::none) {
            break;
        }
        if (is_phys) {
            if (!copy_kept(input, kept_from, offset, output)) {
                return false;
            }
            kept_from = offset + size;
        }
        offset += size;
    }
    return copy_kept(input, kept_from, offset, output);
}

} // namespace

bool rewrite_png_resolution(OsFile input, OsFile output, std::int32_t dpi)
{
    return starts_like_png(input) && copy_chunks(input, output, dpi);
}

bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi)
{
    const OsFile input = open_for_reading(input_path);
    if (input == NO_FILE) {
        return report_failure(OPEN_ERROR);
    }
    bool done = starts_like_png(input);
    if (done) {
        const OsFile output = open_or_create_for_writing(output_path);
        FileState input_state;
        FileState output_state;
        // Truncated only once known not to be the input under a new name. A
        // pipe or device has nothing to cut.
        if (output == NO_FILE || !state_of(input, input_state) || !state_of(output, output_state) ||
            same_file(input_state, output_state) || (!set_file_size(output, 0) && output_state.size != 0)) {
            done = report_failure(OPEN_ERROR);
        } else {
            done = copy_chunks(input, output, dpi);
        }
        // A write that fails late shows only when the file is closed.
        if (output != NO_FILE && !close_file(output) && done) {
            done = report_failure(WRITE_ERROR);
        }
    }
    close_file(input);
    return done;
}

bool only_first_phys_changes(OsFile input, std::uint64_t size)
{
    HeaderWindow window;
    std::uint64_t chunk_size = 0;
    bool is_phys = false;
    if (read_png_start(input) != HeaderRead::found ||
        read_chunk_header(input, window, IHDR_END, chunk_size, is_phys) != HeaderRead::found || !is_phys ||
        chunk_size != CHUNK_FRAMING_SIZE + 9) {
        return false;
    }
    std::uint64_t offset = IHDR_END + chunk_size;
    while (offset < size) {
        if (read_chunk_header(input, window, offset, chunk_size, is_phys) != HeaderRead::found || is_phys) {
            return false;
        }
        offset += chunk_size;
    }
    return offset == size;
}
