// The platform layer's code that is the same on every system.

#include "system.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

// Large enough for few system calls where the kernel cannot copy for us.
#ifndef RESTAMP_BUFFER_SIZE
#define RESTAMP_BUFFER_SIZE 131072 // 128 KiB
#endif
constexpr std::size_t BUFFER_SIZE = RESTAMP_BUFFER_SIZE;

// Without allocating, but for a text longer than the buffer: a run that ran out
// of memory still reports it.
void print(Stream stream, const char* format, std::va_list arguments) noexcept
{
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

CopyResult copy_range(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to)
{
    static char buffer[BUFFER_SIZE];
    CopyResult result;
    result.copied = copy_in_kernel(from, offset, size, to);
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
        if (!write_all(to, buffer, static_cast<std::size_t>(got))) {
            result.error = IoError::writing;
            break;
        }
        result.copied += static_cast<std::uint64_t>(got);
    }
    return result;
}

bool is_standard_stream(const FileState& state)
{
    FileState stream;
    return (state_of(Stream::output, stream) && same_file(state, stream)) ||
           (state_of(Stream::error, stream) && same_file(state, stream));
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
