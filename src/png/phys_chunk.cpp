#include "phys_chunk.hpp"

namespace {

using Crc32Table = std::array<std::uint32_t, 256>;

Crc32Table crc32_table()
{
    Crc32Table table{};
    std::uint32_t n = 0;
    for (std::uint32_t& entry : table) {
        std::uint32_t c = n++;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1U) : c >> 1U;
        }
        entry = c;
    }
    return table;
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
    PhysChunk chunk{0, 0, 0, PHYS_DATA_SIZE, 'p', 'H', 'Y', 's'};
    std::uint8_t* data = &chunk[CHUNK_HEADER_SIZE];
    store_big_endian(data, pixels_per_metre);
    store_big_endian(data + 4, pixels_per_metre);
    data[8] = UNIT_METRE;
    // The CRC covers the type and the data.
    store_big_endian(data + PHYS_DATA_SIZE, crc32(&chunk[4], 4 + PHYS_DATA_SIZE));
    return chunk;
}
