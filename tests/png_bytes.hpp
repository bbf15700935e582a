#pragma once

// PNG bytes as the unit tests and the fuzz target build and read them.

#include "phys_chunk.hpp"
#include "png_layout.hpp"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

using Bytes = std::string;

inline Bytes read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::uint32_t value_at(const Bytes& bytes, std::size_t at)
{
    return load_big_endian(reinterpret_cast<const std::uint8_t*>(&bytes[at]));
}

inline Bytes phys(std::int32_t dpi)
{
    const PhysChunk chunk = build_phys_chunk(dpi);
    return {chunk.begin(), chunk.end()};
}
