#include "chunk_rewriter.hpp"

#include "phys_chunk.hpp"

#include <algorithm>
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
struct header_window {
    std::uint64_t offset = 0;
    std::size_t size = 0;
    char bytes[WINDOW_SIZE];
};

enum class header_read { found, none, failed };

// The length and type of the chunk at offset, when both are in the file.
header_read read_chunk_header(os_file input, header_window& window, std::uint64_t offset, std::uint64_t& whole_size,
                              bool& is_phys)
{
    if (offset < window.offset || offset + CHUNK_HEADER_SIZE > window.offset + window.size) {
        const std::int64_t got = read_at(input, offset, window.bytes, WINDOW_SIZE);
        if (got < 0) {
            return header_read::failed;
        }
        window.offset = offset;
        window.size = static_cast<std::size_t>(got);
        if (window.size < CHUNK_HEADER_SIZE) {
            return header_read::none;
        }
    }
    const auto* header = reinterpret_cast<const unsigned char*>(window.bytes + (offset - window.offset));
    const std::uint32_t length = (std::uint32_t{header[0]} << 24U) | (std::uint32_t{header[1]} << 16U) |
                                 (std::uint32_t{header[2]} << 8U) | std::uint32_t{header[3]};
    whole_size = length + CHUNK_FRAMING_SIZE;
    is_phys = std::memcmp(header + 4, "pHYs", 4) == 0;
    return header_read::found;
}

bool report_failure(const char* message)
{
    print_error(message);
    return false;
}

// The PNG signature (its last four bytes are not examined) and the header of
// IHDR, which must come first: its end is the only place the new chunk may go.
header_read read_png_start(os_file input)
{
    char start[SIGNATURE_SIZE + CHUNK_HEADER_SIZE];
    const std::int64_t got = read_at(input, 0, start, sizeof start);
    if (got < 0) {
        return header_read::failed;
    }
    const bool png = got == sizeof start && std::memcmp(start, "\x89PNG", 4) == 0 &&
                     std::memcmp(start + SIGNATURE_SIZE, "\0\0\0\x0dIHDR", CHUNK_HEADER_SIZE) == 0;
    return png ? header_read::found : header_read::none;
}

bool starts_like_png(os_file input)
{
    switch (read_png_start(input)) {
    case header_read::found:
        return true;
    case header_read::none:
        return report_failure(NOT_PNG_ERROR);
    default:
        return report_failure(READ_ERROR);
    }
}

// Copies the input's bytes from..to, or as far as the input goes.
bool copy_kept(os_file input, std::uint64_t from, std::uint64_t to, os_file output)
{
    const copy_result result = copy_range(input, from, to - from, output);
    if (result.error == io_error::reading) {
        return report_failure(READ_ERROR);
    }
    return result.error == io_error::none || report_failure(WRITE_ERROR);
}

// The output is the signature and IHDR as read, the new pHYs, then every later
// chunk whose length and type are in the input, as far as the input goes,
// leaving out pHYs chunks. Kept bytes are copied in runs, from one left-out
// chunk to the next.
bool copy_chunks(os_file input, os_file output, std::int32_t dpi)
{
    const PhysChunk phys = build_phys_chunk(dpi);
    if (!copy_kept(input, 0, IHDR_END, output)) {
        return false;
    }
    if (!write_all(output, phys.data(), phys.size())) {
        return report_failure(WRITE_ERROR);
    }
    header_window window;
    std::uint64_t kept_from = IHDR_END;
    std::uint64_t offset = IHDR_END;
    for (;;) {
        std::uint64_t size = 0;
        bool is_phys = false;
        const header_read header = read_chunk_header(input, window, offset, size, is_phys);
        if (header == header_read::failed) {
            return report_failure(READ_ERROR);
        }
        if (header == header_read::none) {
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
    return kept_from >= offset || copy_kept(input, kept_from, offset, output);
}

} // namespace

bool rewrite_png_resolution(os_file input, os_file output, std::int32_t dpi)
{
    return starts_like_png(input) && copy_chunks(input, output, dpi);
}

bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi)
{
    const os_file input = open_for_reading(input_path);
    if (input == NO_FILE) {
        return report_failure(OPEN_ERROR);
    }
    bool done = starts_like_png(input);
    if (done) {
        const os_file output = open_or_create_for_writing(output_path);
        file_state input_state;
        file_state output_state;
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

bool only_first_phys_changes(os_file input, std::uint64_t size)
{
    header_window window;
    std::uint64_t chunk_size = 0;
    bool is_phys = false;
    if (read_png_start(input) != header_read::found ||
        read_chunk_header(input, window, IHDR_END, chunk_size, is_phys) != header_read::found || !is_phys ||
        chunk_size != CHUNK_FRAMING_SIZE + 9) {
        return false;
    }
    std::uint64_t offset = IHDR_END + chunk_size;
    while (offset < size) {
        if (read_chunk_header(input, window, offset, chunk_size, is_phys) != header_read::found || is_phys) {
            return false;
        }
        offset += chunk_size;
    }
    return offset == size;
}
