// Writes a valid 8-bit RGB PNG whose image data is stored uncompressed (deflate
// stored blocks) and split into IDAT chunks of a chosen size:
//   make_png out.png width height idat_chunk_size noise|gradient [libpng|libpng-iccp]
// "noise" gives incompressible pixels, "gradient" a picture worth looking at.
// "libpng" puts the chunks that libpng-based tools write before the image data
// after IHDR: gAMA, cHRM, bKGD and a 72 DPI pHYs; "libpng-iccp" adds a 3 KB
// ICC profile (iCCP) before them.

#include "phys_chunk.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void write_chunk(std::ofstream& file, const char* type, const std::uint8_t* data, std::size_t size)
{
    Bytes chunk(size + CHUNK_FRAMING_SIZE);
    store_big_endian(chunk.data(), static_cast<std::uint32_t>(size));
    std::memcpy(chunk.data() + 4, type, 4);
    if (size > 0) {
        std::memcpy(chunk.data() + CHUNK_HEADER_SIZE, data, size);
    }
    store_big_endian(chunk.data() + CHUNK_HEADER_SIZE + size, crc32(chunk.data() + 4, size + 4));
    file.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
}

Bytes make_scanlines(std::uint32_t width, std::uint32_t height, bool noise)
{
    Bytes raw;
    raw.reserve(std::size_t{height} * (std::size_t{width} * 3 + 1));
    std::uint64_t state = 0x9E3779B97F4A7C15U;
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back(0); // filter type None
        for (std::uint32_t x = 0; x < width; ++x) {
            for (std::uint32_t channel = 0; channel < 3; ++channel) {
                state ^= state << 13U;
                state ^= state >> 7U;
                state ^= state << 17U;
                const std::uint32_t shade = channel == 0 ? x * 255 / width : channel == 1 ? y * 255 / height : 160;
                raw.push_back(static_cast<std::uint8_t>(noise ? state : shade));
            }
        }
    }
    return raw;
}

// A zlib stream of stored blocks: no compression, so any size of data is quick to make.
Bytes store_in_zlib(const Bytes& raw)
{
    Bytes stream{0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t size = std::min<std::size_t>(raw.size() - offset, 65535);
        const bool last = offset + size == raw.size();
        stream.push_back(last ? 1 : 0);
        for (const std::size_t value : {size, size ^ 0xFFFFU}) {
            stream.push_back(static_cast<std::uint8_t>(value));
            stream.push_back(static_cast<std::uint8_t>(value >> 8U));
        }
        stream.insert(stream.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                      raw.begin() + static_cast<std::ptrdiff_t>(offset + size));
        offset += size;
    } while (offset < raw.size());
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    stream.resize(stream.size() + 4);
    store_big_endian(&stream[stream.size() - 4], (b << 16U) | a);
    return stream;
}

void write_ancillary_chunks(std::ofstream& file, bool with_profile)
{
    const std::uint8_t gamma[4] = {0, 0, 0xB1, 0x8F}; // 1/2.2
    write_chunk(file, "gAMA", gamma, sizeof gamma);
    std::uint8_t chromaticities[32] = {};
    std::uint8_t* next = chromaticities;
    for (const std::uint32_t value : {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000}) { // sRGB's
        store_big_endian(next, value);
        next += 4;
    }
    write_chunk(file, "cHRM", chromaticities, sizeof chromaticities);
    if (with_profile) {
        Bytes profile(3000, 0x5A);
        std::memcpy(profile.data(), "ICC\0", 5); // a name, its end and the compression method
        write_chunk(file, "iCCP", profile.data(), profile.size());
    }
    const std::uint8_t background[6] = {0, 0xFF, 0, 0xFF, 0, 0xFF};
    write_chunk(file, "bKGD", background, sizeof background);
    const PhysChunk phys = build_phys_chunk(72);
    file.write(reinterpret_cast<const char*>(phys.data()), phys.size());
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr,
                     "usage: make_png out.png width height idat_chunk_size noise|gradient [libpng|libpng-iccp]\n");
        return 2;
    }
    const auto width = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto height = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const std::size_t chunk_size = std::strtoul(argv[4], nullptr, 10);
    if (width == 0 || height == 0 || chunk_size == 0) {
        std::fprintf(stderr, "make_png: width, height and chunk size must be positive\n");
        return 2;
    }
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file.write("\x89PNG\r\n\x1a\n", SIGNATURE_SIZE);
    std::uint8_t header[IHDR_DATA_SIZE] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 2}; // 8-bit RGB, not interlaced
    store_big_endian(header, width);
    store_big_endian(header + 4, height);
    write_chunk(file, "IHDR", header, sizeof header);
    if (argc == 7) {
        write_ancillary_chunks(file, std::strcmp(argv[6], "libpng-iccp") == 0);
    }
    const Bytes image = store_in_zlib(make_scanlines(width, height, std::strcmp(argv[5], "noise") == 0));
    for (std::size_t offset = 0; offset < image.size(); offset += chunk_size) {
        write_chunk(file, "IDAT", image.data() + offset, std::min(chunk_size, image.size() - offset));
    }
    write_chunk(file, "IEND", nullptr, 0);
    file.close();
    return file ? 0 : 1;
}
