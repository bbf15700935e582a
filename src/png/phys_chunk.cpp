#include "phys_chunk.hpp"

namespace {

using Crc32Table = std::array<std::uint32_t, 256>;

Crc32Table crc32_table()
{
    Crc32Table table{};
    for (std::uint32_t n = 0; n < table.size(); ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1U) : c >> 1U;
        }
        table[n] = c;
    }
    return table;
}

void store_big_endian(std::uint32_t value, std::uint8_t* bytes)
{
    bytes[0] = static_cast<std::uint8_t>(value >> 24U);
    bytes[1] = static_cast<std::uint8_t>(value >> 16U);
    bytes[2] = static_cast<std::uint8_t>(value >> 8U);
    bytes[3] = static_cast<std::uint8_t>(value);
}

} // namespace

std::uint32_t dpi_to_pixels_per_metre(std::int32_t dpi)
{
    // Nearest, halves up, for the positive values that come here; within the
    // four bytes PNG allows for every dpi up to MAX_DPI.
    // NOLINTNEXTLINE(bugprone-incorrect-roundings)
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(static_cast<double>(dpi) * INCHES_PER_METRE + 0.5));
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size)
{
    const Crc32Table table = crc32_table();
    std::uint32_t crc = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8U);
    }
    return crc ^ 0xFFFFFFFFU;
}

PhysChunk build_phys_chunk(std::int32_t dpi)
{
    const std::uint32_t pixels_per_metre = dpi_to_pixels_per_metre(dpi);
    PhysChunk chunk{0, 0, 0, 9, 'p', 'H', 'Y', 's'};
    store_big_endian(pixels_per_metre, &chunk[8]);
    store_big_endian(pixels_per_metre, &chunk[12]);
    chunk[16] = 1; // unit: metre
    store_big_endian(crc32(&chunk[4], 13), &chunk[17]);
    return chunk;
}
