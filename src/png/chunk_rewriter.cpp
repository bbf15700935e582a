#include "chunk_rewriter.hpp"

#include "phys_chunk.hpp"
#include "png_layout.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>

namespace {

// The input is read through one buffer. Where chunks are small, their headers
// are found in it and their bytes written from it. Where they are large, only
// the next header is read, and their bytes are copied from file to file inside
// the kernel, never passing through the program: from LARGE_CHUNK_SIZE on, that
// costs less than reading and writing them, one system call per header
// included. The fuzzing build shrinks the buffer, so that short inputs cross
// many refills, and with it the other two sizes.
#ifndef RESTAMP_BUFFER_SIZE
#define RESTAMP_BUFFER_SIZE 131072 // 128 KiB
#endif
constexpr std::size_t BUFFER_SIZE = RESTAMP_BUFFER_SIZE;
constexpr std::size_t HEADER_READ_SIZE = std::max(BUFFER_SIZE / 256, CHUNK_HEADER_SIZE + 1);
constexpr std::uint64_t LARGE_CHUNK_SIZE = BUFFER_SIZE / 8;
static_assert(BUFFER_SIZE >= SIGNATURE_SIZE + CHUNK_HEADER_SIZE, "the start of a PNG fits the buffer");

// A span that is held in memory.
constexpr std::uint64_t MOST_SPAN_SIZE = 65536;

// A stretch of the input held in memory.
struct Window {
    std::uint64_t offset = 0;
    std::size_t size = 0;
    bool buffered = false; // its bytes are written from here
    std::uint8_t bytes[BUFFER_SIZE];
};

// One rewrite: the kept bytes from `pending` on are not written yet.
struct Copy {
    OsFile input = NO_FILE;
    OsFile output = NO_FILE;
    std::uint64_t pending = 0;
    Window window;
};

// On the heap: its buffer is larger than some systems' stacks like.
std::unique_ptr<Copy> new_copy(OsFile input, OsFile output)
{
    auto copy = std::make_unique<Copy>();
    copy->input = input;
    copy->output = output;
    return copy;
}

bool report_failure(const char* message)
{
    print_error(message);
    return false;
}

bool report_failure(IoError error)
{
    return error == IoError::none || report_failure(error == IoError::reading ? READ_ERROR : WRITE_ERROR);
}

// Moves the window to offset, keeping the bytes it holds from there on, and
// reads up to `wanted` bytes in all.
bool move_window(OsFile input, Window& window, std::uint64_t offset, std::size_t wanted)
{
    std::size_t kept = 0; // windows only move forward
    if (offset < window.offset + window.size) {
        kept = static_cast<std::size_t>(window.offset + window.size - offset);
        std::memmove(window.bytes, window.bytes + (offset - window.offset), kept);
    }
    const std::int64_t got = read_at(input, offset + kept, window.bytes + kept, wanted - kept);
    window.offset = offset;
    window.size = kept + static_cast<std::size_t>(std::max<std::int64_t>(got, 0));
    return got >= 0;
}

bool header_in_window(const Window& window, std::uint64_t offset)
{
    return offset + CHUNK_HEADER_SIZE <= window.offset + window.size;
}

// The whole size of the chunk whose header is in the window at offset (never
// less than 12, so that every walk goes forward), and whether it is a pHYs.
std::uint64_t chunk_size_at(const Window& window, std::uint64_t offset, bool& is_phys)
{
    const std::uint8_t* header = window.bytes + (offset - window.offset);
    is_phys = std::memcmp(header + 4, "pHYs", 4) == 0;
    return std::uint64_t{load_big_endian(header)} + CHUNK_FRAMING_SIZE;
}

// The PNG signature (its last four bytes are not examined) and the header of
// IHDR, which must come first: its end is the only place the new chunk may go.
bool read_png_start(OsFile input, bool& png)
{
    std::uint8_t start[SIGNATURE_SIZE + CHUNK_HEADER_SIZE];
    const std::int64_t got = read_at(input, 0, start, sizeof start);
    png = got == sizeof start && std::memcmp(start, "\x89PNG", 4) == 0 &&
          std::memcmp(start + SIGNATURE_SIZE, "\0\0\0\x0dIHDR", CHUNK_HEADER_SIZE) == 0;
    return got >= 0;
}

bool starts_like_png(OsFile input)
{
    bool png = false;
    if (!read_png_start(input, png)) {
        return report_failure(READ_ERROR);
    }
    return png || report_failure(NOT_PNG_ERROR);
}

// Writes the kept bytes up to `to`: those in a buffered window from there
// (which, when buffered, starts at or before them), the rest from file to file.
bool write_kept(Copy& copy, std::uint64_t to)
{
    const Window& window = copy.window;
    std::uint64_t from = copy.pending;
    copy.pending = to;
    if (window.buffered && from < window.offset + window.size) {
        const std::uint64_t end = std::min(to, window.offset + window.size);
        if (!write_all(copy.output, window.bytes + (from - window.offset), end - from)) {
            return report_failure(WRITE_ERROR);
        }
        from = end;
    }
    return from >= to || report_failure(copy_range(copy.input, from, to - from, copy.output).error);
}

// The signature and IHDR, as read.
bool write_start(Copy& copy)
{
    copy.window.buffered = true;
    return (move_window(copy.input, copy.window, 0, BUFFER_SIZE) || report_failure(READ_ERROR)) &&
           write_kept(copy, IHDR_END);
}

// The new pHYs, then every later chunk whose length and type are in the input,
// as far as the input goes, leaving out pHYs chunks.
bool write_rest(Copy& copy, std::int32_t dpi)
{
    const PhysChunk phys = build_phys_chunk(dpi);
    if (!write_all(copy.output, phys.data(), phys.size())) {
        return report_failure(WRITE_ERROR);
    }
    std::uint64_t offset = IHDR_END;
    std::uint64_t size = 0;
    for (;;) {
        if (!header_in_window(copy.window, offset)) {
            const bool small = size < LARGE_CHUNK_SIZE;
            if ((small || copy.window.buffered) && !write_kept(copy, offset)) {
                return false;
            }
            if (!move_window(copy.input, copy.window, offset, small ? BUFFER_SIZE : HEADER_READ_SIZE)) {
                return report_failure(READ_ERROR);
            }
            copy.window.buffered = small;
            if (!header_in_window(copy.window, offset)) {
                break;
            }
        }
        bool is_phys = false;
        size = chunk_size_at(copy.window, offset, is_phys);
        if (is_phys) {
            if (!write_kept(copy, offset)) {
                return false;
            }
            copy.pending = offset + size;
        }
        offset += size;
    }
    return write_kept(copy, offset);
}

bool write_input(OsFile input, std::uint64_t from, std::uint64_t size, OsFile output, IoError& error)
{
    const CopyResult result = copy_range(input, from, size, output);
    // The input was walked to its end: short now, it was cut meanwhile.
    error = result.copied == size ? result.error : IoError::reading;
    return error == IoError::none;
}

// A lock to take, on a file found as `state`.
struct LockRequest {
    OsFile file;
    LockMode mode;
    const std::string* name;
    const FileState* state;
};

// Crossed runs (a to b and b to a at once) take the two locks in one order, so
// that one waits for the other, not each for the other forever. A file that
// cannot be locked (some devices, file systems without locks) is used without.
void lock_both(LockRequest first, LockRequest second)
{
    const auto identity = [](const LockRequest& request) {
        return std::tie(request.state->device, request.state->index, request.state->index_high);
    };
    if (identity(second) < identity(first)) {
        std::swap(first, second);
    }
    for (const LockRequest& request : {first, second}) {
        if (request.state->kind != FileKind::device) { // no content to guard, and anyone may lock it
            lock_announced(request.file, request.mode, *request.name);
        }
    }
}

bool rewrite_to_output(OsFile input, const FileState& input_state, const std::string& input_path, OsFile output,
                       const std::string& output_path, std::int32_t dpi)
{
    FileState output_state;
    // Nor is the output a disk: a loop device shows another file's content.
    if (!state_of(output, output_state) || same_file(input_state, output_state) || is_standard_stream(output_state) ||
        output_state.kind == FileKind::disk) {
        return report_failure(OPEN_ERROR);
    }
    lock_both({input, LockMode::shared, &input_path, &input_state},
              {output, LockMode::exclusive, &output_path, &output_state});
    // The output's first bytes are the input's own. Should writing them change
    // the input, the output is the input seen under another device (an overlay
    // or FUSE mount of its folder), and cutting it would destroy the input.
    const auto copy = new_copy(input, output);
    FileState before;
    FileState now;
    if (!state_of(input, before)) {
        return report_failure(READ_ERROR);
    }
    if (!write_start(*copy)) {
        return false;
    }
    if (!state_of(input, now) || !unchanged(before, now)) {
        return report_failure(INPUT_CHANGED);
    }
    if (output_state.kind == FileKind::regular && !set_file_size(output, std::min<std::uint64_t>(IHDR_END, now.size))) {
        return report_failure(WRITE_ERROR);
    }
    if (!write_rest(*copy, dpi)) {
        return false;
    }
    return (state_of(input, now) && unchanged(before, now)) || report_failure(INPUT_CHANGED);
}

} // namespace

bool rewrite_png_resolution(OsFile input, OsFile output, std::int32_t dpi)
{
    const auto copy = new_copy(input, output);
    return starts_like_png(input) && write_start(*copy) && write_rest(*copy, dpi);
}

bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi)
{
    const OsFile input = open_for_reading(input_path);
    if (input == NO_FILE) {
        return report_failure(OPEN_ERROR);
    }
    FileState input_state;
    bool done = state_of(input, input_state) ? starts_like_png(input) : report_failure(OPEN_ERROR);
    if (done) {
        const OsFile output = open_or_create_for_writing(output_path, input_state);
        done = output != NO_FILE ? rewrite_to_output(input, input_state, input_path, output, output_path, dpi)
                                 : report_failure(OPEN_ERROR);
        // A write that fails late shows only when the file is closed.
        if (output != NO_FILE && !close_file(output) && done) {
            done = report_failure(WRITE_ERROR);
        }
    }
    close_file(input);
    return done;
}

bool lock_announced(OsFile file, LockMode mode, const std::string& name)
{
    LockResult result = lock_file(file, mode, false);
    if (result == LockResult::busy) {
        print_error(WAITING_FORMAT, name.c_str());
        result = lock_file(file, mode, true);
    }
    return result == LockResult::locked;
}

bool plan_phys_patch(OsFile input, std::uint64_t size, std::int32_t dpi, PhysPatch& patch)
{
    bool png = false;
    if (!read_png_start(input, png) || !png) {
        return false;
    }
    // A pHYs chunk that starts beyond this would make the span too long.
    constexpr std::uint64_t LAST_PHYS_START = IHDR_END + MOST_SPAN_SIZE - PHYS_CHUNK_SIZE;
    const auto window = std::make_unique<Window>();
    std::uint64_t phys_at = 0;
    std::uint64_t offset = IHDR_END;
    while (offset < size) {
        if (!header_in_window(*window, offset) &&
            (!move_window(input, *window, offset, HEADER_READ_SIZE) || !header_in_window(*window, offset))) {
            return false;
        }
        bool is_phys = false;
        const std::uint64_t chunk_size = chunk_size_at(*window, offset, is_phys);
        if (is_phys && (phys_at != 0 || chunk_size != PHYS_CHUNK_SIZE || offset > LAST_PHYS_START)) {
            return false;
        }
        if (is_phys) {
            phys_at = offset;
        } else if (phys_at == 0 && offset > LAST_PHYS_START) {
            return false; // no pHYs further on could qualify: only saves the rest of the walk
        }
        offset += chunk_size;
    }
    if (offset != size || phys_at == 0) {
        return false;
    }
    patch.span_end = phys_at + PHYS_CHUNK_SIZE;
    std::vector<std::uint8_t> old_span(patch.span_end - IHDR_END);
    if (read_at(input, IHDR_END, old_span.data(), old_span.size()) != static_cast<std::int64_t>(old_span.size())) {
        return false;
    }
    const PhysChunk phys = build_phys_chunk(dpi);
    patch.span.assign(phys.begin(), phys.end());
    patch.span.insert(patch.span.end(), old_span.begin(), old_span.end() - PHYS_CHUNK_SIZE);
    std::size_t first = 0;
    std::size_t end = old_span.size();
    while (first < end && old_span[first] == patch.span[first]) {
        ++first;
    }
    while (end > first && old_span[end - 1] == patch.span[end - 1]) {
        --end;
    }
    patch.changed_from = IHDR_END + first;
    patch.changed_to = IHDR_END + end;
    return true;
}

bool write_phys_patch(OsFile file, const PhysPatch& patch)
{
    return write_at(file, patch.changed_from, patch.span.data() + (patch.changed_from - IHDR_END),
                    patch.changed_to - patch.changed_from);
}

IoError write_patched_image(OsFile input, std::uint64_t size, const PhysPatch& patch, OsFile output)
{
    IoError error = IoError::none;
    if (write_input(input, 0, IHDR_END, output, error) && !write_all(output, patch.span.data(), patch.span.size())) {
        error = IoError::writing;
    }
    if (error == IoError::none) {
        write_input(input, patch.span_end, size - patch.span_end, output, error);
    }
    return error;
}
