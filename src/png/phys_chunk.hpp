#pragma once

#include "png_layout.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

// One complete pHYs chunk: length, type, both axes in pixels per metre, unit byte
// and CRC, laid out exactly as it is written into the file.
using PhysChunk = std::array<std::uint8_t, PHYS_CHUNK_SIZE>;

constexpr double INCHES_PER_METRE = 39.3700787;
// The unit byte of pHYs: the values are pixels per metre.
constexpr std::uint8_t UNIT_METRE = 1;

// pHYs values are PNG four-byte integers, which may not exceed 2^31-1; this is
// the largest DPI whose pixels per metre still fit.
constexpr std::int32_t MAX_DPI = 54546084;

std::uint32_t dpi_to_pixels_per_metre(std::int32_t dpi);

// The CRC-32 of the PNG standard over size bytes.
std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

PhysChunk build_phys_chunk(std::int32_t dpi);
