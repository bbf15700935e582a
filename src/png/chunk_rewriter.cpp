#include "chunk_rewriter.hpp"

#include "phys_chunk.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

// Large enough for few system calls, small enough to stay in the CPU cache
// between the read into it and the write out of it. The fuzzing build makes it
// tiny, so that short inputs reach every path across refills.
#ifndef RESTAMP_BUFFER_SIZE
#define RESTAMP_BUFFER_SIZE 131072 // 128 KiB
#endif
constexpr std::size_t BUFFER_SIZE = RESTAMP_BUFFER_SIZE;
constexpr std::size_t SIGNATURE_SIZE = 8;
constexpr std::size_t CHUNK_HEADER_SIZE = 8;   // length and type
constexpr std::size_t CHUNK_FRAMING_SIZE = 12; // length, type and CRC
constexpr std::size_t IHDR_SIZE = CHUNK_FRAMING_SIZE + 13;
static_assert(BUFFER_SIZE >= SIGNATURE_SIZE + CHUNK_HEADER_SIZE, "the first read must reach the IHDR header");

// The input passes through one buffer: bytes before `position` have been dealt
// with, and those from `unwritten` to `position` are still to be copied out, so
// that kept chunks leave as large slices of the buffer without a copy of their own.
struct Transfer {
    std::ifstream& input;
    std::ofstream& output;
    std::vector<char> buffer;
    std::size_t position = 0;
    std::size_t end = 0;
    std::size_t unwritten = 0;
};

void write_pending(Transfer& transfer)
{
    transfer.output.write(transfer.buffer.data() + transfer.unwritten,
                          static_cast<std::streamsize>(transfer.position - transfer.unwritten));
    transfer.unwritten = transfer.position;
}

// Keeps the bytes not yet dealt with and reads more after them; returns how many
// bytes are there to deal with. Call only when nothing is left unwritten.
std::size_t refill(Transfer& transfer)
{
    const std::size_t kept = transfer.end - transfer.position;
    std::memmove(transfer.buffer.data(), transfer.buffer.data() + transfer.position, kept);
    transfer.position = 0;
    transfer.unwritten = 0;
    transfer.end = kept;
    if (transfer.input.good() && transfer.output) {
        transfer.input.read(transfer.buffer.data() + kept, static_cast<std::streamsize>(BUFFER_SIZE - kept));
        transfer.end += static_cast<std::size_t>(transfer.input.gcount());
    }
    return transfer.end;
}

// Passes over size bytes or up to the end of the input, copying them or leaving them out.
void pass_over(Transfer& transfer, std::uint64_t size, bool copy)
{
    if (!copy) {
        write_pending(transfer);
    }
    for (;;) {
        const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(size, transfer.end - transfer.position));
        transfer.position += step;
        size -= step;
        if (!copy) {
            transfer.unwritten = transfer.position;
        }
        if (size == 0) {
            return;
        }
        write_pending(transfer);
        if (refill(transfer) == 0) {
            return;
        }
    }
}

// True when the next chunk's length and type are in the buffer.
bool chunk_header_available(Transfer& transfer)
{
    if (transfer.end - transfer.position < CHUNK_HEADER_SIZE) {
        write_pending(transfer);
        refill(transfer);
    }
    return transfer.end - transfer.position >= CHUNK_HEADER_SIZE;
}

// The first chunk must be IHDR: its end is the only place the new chunk may go.
bool starts_like_png(const Transfer& transfer)
{
    const char* start = transfer.buffer.data();
    return transfer.end >= SIGNATURE_SIZE + CHUNK_HEADER_SIZE && std::memcmp(start, "\x89PNG", 4) == 0 &&
           std::memcmp(start + SIGNATURE_SIZE, "\0\0\0\x0dIHDR", CHUNK_HEADER_SIZE) == 0;
}

std::uint64_t whole_chunk_size(const char* chunk_header)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk_header);
    const std::uint32_t length = (std::uint32_t{bytes[0]} << 24U) | (std::uint32_t{bytes[1]} << 16U) |
                                 (std::uint32_t{bytes[2]} << 8U) | std::uint32_t{bytes[3]};
    return static_cast<std::uint64_t>(length) + CHUNK_FRAMING_SIZE;
}

bool report_failure(const char* message)
{
    std::cerr << message;
    return false;
}

} // namespace

bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi)
{
    std::ifstream input;
    input.rdbuf()->pubsetbuf(nullptr, 0); // every read is large: no stream buffer in between
    input.open(input_path, std::ios::binary);
    std::ofstream output(output_path, std::ios::binary | std::ios::trunc);
    if (!input.is_open() || !output.is_open()) {
        return report_failure("Error opening file(s).\n");
    }

    Transfer transfer{input, output, std::vector<char>(BUFFER_SIZE)};
    refill(transfer);
    if (input.bad()) {
        return report_failure("Error reading input file.\n");
    }
    if (!starts_like_png(transfer)) {
        return report_failure("Not a valid PNG file.\n");
    }
    pass_over(transfer, SIGNATURE_SIZE + IHDR_SIZE, true);
    write_pending(transfer);
    const PhysChunk phys = build_phys_chunk(dpi);
    output.write(reinterpret_cast<const char*>(phys.data()), phys.size());

    // A chunk whose length and type cannot both be read ends the copy.
    while (!input.bad() && output && chunk_header_available(transfer)) {
        const char* header = transfer.buffer.data() + transfer.position;
        const bool is_phys = std::memcmp(header + 4, "pHYs", 4) == 0;
        pass_over(transfer, whole_chunk_size(header), !is_phys);
    }
    write_pending(transfer);

    if (input.bad()) {
        return report_failure("Error reading input file.\n");
    }
    output.close();
    if (output.fail()) {
        return report_failure("Error writing output file.\n");
    }
    return true;
}
