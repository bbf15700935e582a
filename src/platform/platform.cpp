// The platform layer's code that is the same on every system.

#include "system.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool muted[2] = {false, false};

// Without allocating, but for a text longer than the buffer: a run that ran out
// of memory still reports it.
void print(Stream stream, const char* format, std::va_list arguments) noexcept
{
    if (muted[static_cast<int>(stream)]) {
        return;
    }
    char text[4096];
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(text, sizeof text, format, measuring);
    va_end(measuring);
    if (length < 0) {
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof text) {
        write_text(stream, text, static_cast<std::size_t>(length));
        return;
    }
    try {
        std::string longer(static_cast<std::size_t>(length), '\0');
        std::vsnprintf(longer.data(), longer.size() + 1, format, arguments); // and its end, for which a string has room
        write_text(stream, longer.data(), longer.size());
    } catch (...) {
        write_text(stream, text, sizeof text - 1); // as much as fits
    }
}

} // namespace

CopyResult copy_range(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to, std::uint64_t to_offset)
{
    static char buffer[BUFFER_SIZE];
    CopyResult result;
    result.copied = copy_in_kernel(from, offset, size, to, to_offset);
    while (result.copied < size) {
        const std::size_t wanted = std::min<std::uint64_t>(size - result.copied, BUFFER_SIZE);
        const std::int64_t got = read_at(from, offset + result.copied, buffer, wanted);
        if (got < 0) {
            result.error = IoError::reading;
            break;
        }
        if (got == 0) {
            break; // the end of the input
        }
        if (!write_at(to, to_offset == SEQUENTIAL ? SEQUENTIAL : to_offset + result.copied, buffer,
                      static_cast<std::size_t>(got))) {
            result.error = IoError::writing;
            break;
        }
        result.copied += static_cast<std::uint64_t>(got);
    }
    return result;
}

bool same_content(OsFile first, OsFile second, std::uint64_t size)
{
    const auto buffers = std::make_unique<char[]>(2 * BUFFER_SIZE);
    for (std::uint64_t offset = 0; offset < size; offset += BUFFER_SIZE) {
        const std::size_t wanted = std::min<std::uint64_t>(size - offset, BUFFER_SIZE);
        if (read_at(first, offset, buffers.get(), wanted) != static_cast<std::int64_t>(wanted) ||
            read_at(second, offset, buffers.get() + BUFFER_SIZE, wanted) != static_cast<std::int64_t>(wanted) ||
            std::memcmp(buffers.get(), buffers.get() + BUFFER_SIZE, wanted) != 0) {
            return false;
        }
    }
    return true;
}

bool is_stream(const FileState& state, Stream stream)
{
    FileState stream_state;
    return state_of(stream, stream_state) && same_file(state, stream_state);
}

bool is_standard_stream(const FileState& state)
{
    return is_stream(state, Stream::output) || is_stream(state, Stream::error);
}

void mute(Stream stream)
{
    muted[static_cast<int>(stream)] = true;
}

void print_out(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print(Stream::output, format, arguments);
    va_end(arguments);
}

void print_error(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print(Stream::error, format, arguments);
    va_end(arguments);
}
