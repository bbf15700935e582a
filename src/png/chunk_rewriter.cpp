#include "chunk_rewriter.hpp"

#include "phys_chunk.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = 64 * 1024;
constexpr std::size_t SIGNATURE_SIZE = 8;
constexpr std::size_t CHUNK_HEADER_SIZE = 8;   // length and type
constexpr std::size_t CHUNK_FRAMING_SIZE = 12; // length, type and CRC
constexpr std::size_t IHDR_SIZE = CHUNK_FRAMING_SIZE + 13;

// The first chunk must be IHDR: its header is the only place the new chunk may follow.
bool starts_like_png(const char* start, std::size_t size)
{
    static const char png_start[] = "\x89PNG";
    static const char ihdr_header[] = "\0\0\0\x0dIHDR";
    return size == SIGNATURE_SIZE + CHUNK_HEADER_SIZE && std::memcmp(start, png_start, 4) == 0 &&
           std::memcmp(start + SIGNATURE_SIZE, ihdr_header, CHUNK_HEADER_SIZE) == 0;
}

bool is_phys(const char* chunk_header)
{
    return std::memcmp(chunk_header + 4, "pHYs", 4) == 0;
}

std::uint64_t whole_chunk_size(const char* chunk_header)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk_header);
    const std::uint32_t length = (std::uint32_t{bytes[0]} << 24U) | (std::uint32_t{bytes[1]} << 16U) |
                                 (std::uint32_t{bytes[2]} << 8U) | std::uint32_t{bytes[3]};
    return std::uint64_t{length} + CHUNK_FRAMING_SIZE;
}

// Copies up to size bytes, stopping early at the end of the input or on an error.
void copy_bytes(std::istream& input, std::ostream& output, std::uint64_t size, std::vector<char>& buffer)
{
    while (size > 0 && input && output) {
        const auto wanted = static_cast<std::streamsize>(std::min<std::uint64_t>(size, buffer.size()));
        input.read(buffer.data(), wanted);
        output.write(buffer.data(), input.gcount());
        size -= static_cast<std::uint64_t>(input.gcount());
    }
}

void write_phys_chunk(std::ostream& output, std::int32_t dpi)
{
    const PhysChunk chunk = build_phys_chunk(dpi);
    output.write(reinterpret_cast<const char*>(chunk.data()), chunk.size());
}

bool report_failure(const char* message)
{
    std::cerr << message;
    return false;
}

} // namespace

bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi)
{
    std::ifstream input(input_path, std::ios::binary);
    std::ofstream output(output_path, std::ios::binary | std::ios::trunc);
    if (!input.is_open() || !output.is_open()) {
        return report_failure("Error opening file(s).\n");
    }

    std::array<char, SIGNATURE_SIZE + CHUNK_HEADER_SIZE> start{};
    input.read(start.data(), start.size());
    if (input.bad()) {
        return report_failure("Error reading input file.\n");
    }
    if (!starts_like_png(start.data(), static_cast<std::size_t>(input.gcount()))) {
        return report_failure("Not a valid PNG file.\n");
    }
    std::vector<char> buffer(COPY_BUFFER_SIZE);
    output.write(start.data(), start.size());
    copy_bytes(input, output, IHDR_SIZE - CHUNK_HEADER_SIZE, buffer);
    write_phys_chunk(output, dpi);

    // A chunk whose length and type cannot both be read ends the copy.
    std::array<char, CHUNK_HEADER_SIZE> header{};
    while (input && output && input.read(header.data(), header.size())) {
        const std::uint64_t remaining = whole_chunk_size(header.data()) - CHUNK_HEADER_SIZE;
        if (is_phys(header.data())) {
            input.ignore(static_cast<std::streamsize>(remaining));
        } else {
            output.write(header.data(), header.size());
            copy_bytes(input, output, remaining, buffer);
        }
    }

    if (input.bad()) {
        return report_failure("Error reading input file.\n");
    }
    output.close();
    if (output.fail()) {
        return report_failure("Error writing output file.\n");
    }
    return true;
}
