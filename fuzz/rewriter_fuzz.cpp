// Fuzz target: rewrites each input as a file and checks the output against the
// rewriter's contract, restated here on its own terms. Built with libFuzzer
// (RESTAMP_FUZZ=ON) or with a main() that replays saved inputs under ctest.

#include "chunk_rewriter.hpp"
#include "phys_chunk.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

using Bytes = std::string;

std::uint32_t big_endian(const char* bytes)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return (std::uint32_t{b[0]} << 24U) | (std::uint32_t{b[1]} << 16U) | (std::uint32_t{b[2]} << 8U) | b[3];
}

Bytes read_file(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Signature and IHDR as read, the new pHYs, then every later chunk whose length
// and type are there, as far as the input goes, leaving out pHYs chunks.
bool expected_output(const Bytes& input, std::int32_t dpi, Bytes& output)
{
    if (input.size() < 16 || input.compare(0, 4, "\x89PNG") != 0 ||
        input.compare(8, 8, Bytes("\0\0\0\x0dIHDR", 8)) != 0) {
        return false;
    }
    const PhysChunk phys = build_phys_chunk(dpi); // its bytes have tests of their own
    output = input.substr(0, 33) + Bytes(phys.begin(), phys.end());
    for (std::size_t at = 33; at + 8 <= input.size();) {
        const std::size_t size = std::min<std::uint64_t>(std::uint64_t{big_endian(&input[at])} + 12, input.size() - at);
        if (input.compare(at + 4, 4, "pHYs") != 0) {
            output += input.substr(at, size);
        }
        at += size;
    }
    return true;
}

const std::string FOLDER = std::filesystem::temp_directory_path().string();
const std::string INPUT_PATH = FOLDER + "/restamp-fuzz-" + std::to_string(getpid()) + "-in.png";
const std::string OUTPUT_PATH = FOLDER + "/restamp-fuzz-" + std::to_string(getpid()) + "-out.png";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Bytes input(reinterpret_cast<const char*>(data), size);
    // Any DPI the program accepts, taken from the input's last bytes.
    const std::int32_t dpi = size < 4 ? 72 : 1 + static_cast<std::int32_t>(big_endian(&input[size - 4]) % MAX_DPI);
    std::ofstream(INPUT_PATH, std::ios::binary) << input;
    std::remove(OUTPUT_PATH.c_str());
    const bool result = rewrite_png_resolution(INPUT_PATH, OUTPUT_PATH, dpi);

    Bytes expected;
    const bool valid = expected_output(input, dpi, expected);
    const bool output_made = std::ifstream(OUTPUT_PATH).is_open();
    const Bytes output = read_file(OUTPUT_PATH);
    // Re-stamping in place writes the 13 bytes of the first pHYs alone: the
    // rewrite must then change nothing else.
    const OsFile opened = open_for_reading(INPUT_PATH);
    const bool only_phys = only_first_phys_changes(opened, size);
    close_file(opened);
    Bytes restamped = input;
    if (only_phys) {
        const PhysChunk phys = build_phys_chunk(dpi);
        restamped.replace(FIRST_PHYS_DATA_OFFSET, PHYS_DATA_AND_CRC_SIZE,
                          Bytes(phys.end() - PHYS_DATA_AND_CRC_SIZE, phys.end()));
    }
    if (result != valid || output_made != valid || (valid && output != expected) ||
        (only_phys && output != restamped)) {
        std::printf("contract broken: result %d, expected %d; output %zu bytes, expected %zu\n", result, valid,
                    output.size(), expected.size());
        std::abort();
    }
    return 0;
}

#ifndef RESTAMP_LIBFUZZER
// Replays every file in the folders named on the command line; a broken
// contract aborts.
int main(int argc, char* argv[])
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
            if (entry.is_regular_file()) {
                const Bytes input = read_file(entry.path());
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
                ++replayed;
            }
        }
    }
    std::remove(INPUT_PATH.c_str());
    std::remove(OUTPUT_PATH.c_str());
    std::printf("%d replayed, 0 failed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
#endif
