#include "chunk_rewriter.hpp"

#include "png_layout.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// The input is read through one buffer. Where chunks are small, their headers
// are found in it and their bytes written from it. Where they are large, only
// the next header is read, and their bytes are copied from file to file inside
// the kernel, never passing through the program: from LARGE_CHUNK_SIZE on, that
// costs less than reading and writing them, one system call per header
// included.
constexpr std::size_t HEADER_READ_SIZE = std::max(BUFFER_SIZE / 256, CHUNK_HEADER_SIZE + 1);
constexpr std::uint64_t LARGE_CHUNK_SIZE = BUFFER_SIZE / 8;
static_assert(BUFFER_SIZE >= SIGNATURE_SIZE + CHUNK_HEADER_SIZE, "the start of a PNG fits the buffer");

// A span that is held in memory.
constexpr std::uint64_t MAX_SPAN_SIZE = 65536;

// A stretch of the input held in memory.
struct Window {
    std::uint64_t offset = 0;
    std::size_t size = 0;
    bool buffered = false; // its bytes are written from here
    std::uint8_t bytes[BUFFER_SIZE];
};

// One copy: the kept bytes from `pending` on are not written yet; the output
// is written at `written` (or SEQUENTIAL).
struct Copy {
    OsFile input = NO_FILE;
    OsFile output = NO_FILE;
    std::uint64_t written = 0;
    std::uint64_t pending = 0;
    Window window;
};

// Writes at the output's next offset.
bool write_out(Copy& copy, const void* data, std::size_t size)
{
    const bool done = write_at(copy.output, copy.written, data, size);
    if (copy.written != SEQUENTIAL) {
        copy.written += size;
    }
    return done;
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

// Writes the kept bytes up to `to`: those in a buffered window from there
// (which, when buffered, starts at or before them), the rest from file to file.
IoError write_kept(Copy& copy, std::uint64_t to)
{
    const Window& window = copy.window;
    std::uint64_t from = copy.pending;
    copy.pending = to;
    if (window.buffered && from < window.offset + window.size) {
        const std::uint64_t end = std::min(to, window.offset + window.size);
        if (!write_out(copy, window.bytes + (from - window.offset), end - from)) {
            return IoError::writing;
        }
        from = end;
    }
    if (from >= to) {
        return IoError::none;
    }
    const CopyResult result = copy_range(copy.input, from, to - from, copy.output, copy.written);
    if (copy.written != SEQUENTIAL) {
        copy.written += result.copied;
    }
    return result.error;
}

// The signature and IHDR as read, the new pHYs, then every later chunk whose
// length and type are in the input, as far as the input goes, leaving out
// pHYs chunks.
IoError write_chunks(Copy& copy, const PhysChunk& phys)
{
    copy.window.buffered = true;
    if (!move_window(copy.input, copy.window, 0, BUFFER_SIZE)) {
        return IoError::reading;
    }
    IoError error = write_kept(copy, IHDR_END);
    if (error != IoError::none) {
        return error;
    }
    if (!write_out(copy, phys.data(), phys.size())) {
        return IoError::writing;
    }
    std::uint64_t offset = IHDR_END;
    std::uint64_t previous_size = 0;
    for (;;) {
        if (!header_in_window(copy.window, offset)) {
            const bool small = previous_size < LARGE_CHUNK_SIZE;
            if ((small || copy.window.buffered) && (error = write_kept(copy, offset)) != IoError::none) {
                return error;
            }
            if (!move_window(copy.input, copy.window, offset, small ? BUFFER_SIZE : HEADER_READ_SIZE)) {
                return IoError::reading;
            }
            copy.window.buffered = small;
            if (!header_in_window(copy.window, offset)) {
                break;
            }
        }
        bool is_phys = false;
        previous_size = chunk_size_at(copy.window, offset, is_phys);
        if (is_phys) {
            if ((error = write_kept(copy, offset)) != IoError::none) {
                return error;
            }
            copy.pending = offset + previous_size;
        }
        offset += previous_size;
    }
    return write_kept(copy, offset);
}

// Copies a stretch of the input that was walked to its end.
IoError write_input(OsFile input, std::uint64_t from, std::uint64_t size, OsFile output, std::uint64_t to)
{
    const CopyResult result = copy_range(input, from, size, output, to);
    // Short without an error of its own: the input was cut meanwhile.
    return result.error != IoError::none || result.copied == size ? result.error : IoError::reading;
}

} // namespace

IoError read_png_start(OsFile input, bool& png)
{
    std::uint8_t start[SIGNATURE_SIZE + CHUNK_HEADER_SIZE];
    const std::int64_t got = read_at(input, 0, start, sizeof start);
    png = got == sizeof start && std::memcmp(start, "\x89PNG", 4) == 0 &&
          std::memcmp(start + SIGNATURE_SIZE, "\0\0\0\x0dIHDR", CHUNK_HEADER_SIZE) == 0;
    return got >= 0 ? IoError::none : IoError::reading;
}

IoError copy_png(OsFile input, OsFile output, std::uint64_t output_offset, const PhysChunk& phys)
{
    // On the heap: its buffer is larger than some systems' stacks like.
    const auto copy = std::make_unique<Copy>();
    copy->input = input;
    copy->output = output;
    copy->written = output_offset;
    return write_chunks(*copy, phys);
}

bool plan_phys_patch(OsFile input, std::uint64_t size, const PhysChunk& phys, PhysPatch& patch)
{
    bool png = false;
    if (read_png_start(input, png) != IoError::none || !png) {
        return false;
    }
    // A pHYs chunk that starts beyond this would make the span too long.
    constexpr std::uint64_t LAST_PHYS_START = IHDR_END + MAX_SPAN_SIZE - PHYS_CHUNK_SIZE;
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

IoError write_phys_patch(OsFile file, const PhysPatch& patch)
{
    return write_at(file, patch.changed_from, patch.span.data() + (patch.changed_from - IHDR_END),
                    patch.changed_to - patch.changed_from)
               ? IoError::none
               : IoError::writing;
}

IoError write_patched_image(OsFile input, std::uint64_t size, const PhysPatch& patch, OsFile output)
{
    IoError error = write_input(input, 0, IHDR_END, output, 0);
    if (error == IoError::none && !write_at(output, IHDR_END, patch.span.data(), patch.span.size())) {
        error = IoError::writing;
    }
    return error != IoError::none ? error
                                  : write_input(input, patch.span_end, size - patch.span_end, output, patch.span_end);
}
