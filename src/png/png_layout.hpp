#pragma once

// The few facts of PNG's layout that restamp relies on: the 8-byte signature,
// then chunks of a 4-byte big-endian data length, a 4-byte type, the data and
// a 4-byte CRC; IHDR (13 bytes of data) first; pHYs holds 9 bytes of data.

#include <cstddef>
#include <cstdint>

constexpr std::size_t SIGNATURE_SIZE = 8;
constexpr std::size_t CHUNK_HEADER_SIZE = 8;   // length and type
constexpr std::size_t CHUNK_FRAMING_SIZE = 12; // length, type and CRC
constexpr std::size_t IHDR_DATA_SIZE = 13;
constexpr std::size_t PHYS_DATA_SIZE = 9;
constexpr std::size_t PHYS_CHUNK_SIZE = CHUNK_FRAMING_SIZE + PHYS_DATA_SIZE;
// Where IHDR ends: where the new pHYs chunk goes.
constexpr std::size_t IHDR_END = SIGNATURE_SIZE + CHUNK_FRAMING_SIZE + IHDR_DATA_SIZE;

inline std::uint32_t load_big_endian(const std::uint8_t* bytes)
{
    return (std::uint32_t{bytes[0]} << 24U) | (std::uint32_t{bytes[1]} << 16U) | (std::uint32_t{bytes[2]} << 8U) |
           std::uint32_t{bytes[3]};
}

inline void store_big_endian(std::uint8_t* bytes, std::uint32_t value)
{
    bytes[0] = static_cast<std::uint8_t>(value >> 24U);
    bytes[1] = static_cast<std::uint8_t>(value >> 16U);
    bytes[2] = static_cast<std::uint8_t>(value >> 8U);
    bytes[3] = static_cast<std::uint8_t>(value);
}
