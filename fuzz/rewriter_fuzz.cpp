// Fuzz target: rewrites each input as a file and checks the output against the
// rewriter's contract, restated here on its own terms. Built with libFuzzer
// (RESTAMP_FUZZ=ON) or with a main() that replays saved inputs under ctest.

#include "chunk_rewriter.hpp"
#include "patch_journal.hpp"
#include "png_bytes.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

// Signature and IHDR as read, the new pHYs, then every later chunk whose length
// and type are there, as far as the input goes, leaving out pHYs chunks.
bool expected_output(const Bytes& input, std::int32_t dpi, Bytes& output)
{
    if (input.size() < SIGNATURE_SIZE + CHUNK_HEADER_SIZE || input.compare(0, 4, "\x89PNG") != 0 ||
        input.compare(SIGNATURE_SIZE, CHUNK_HEADER_SIZE, Bytes("\0\0\0\x0dIHDR", CHUNK_HEADER_SIZE)) != 0) {
        return false;
    }
    output = input.substr(0, IHDR_END) + phys(dpi); // its bytes have tests of their own
    for (std::size_t at = IHDR_END; at + CHUNK_HEADER_SIZE <= input.size();) {
        const std::size_t size =
            std::min<std::uint64_t>(std::uint64_t{value_at(input, at)} + CHUNK_FRAMING_SIZE, input.size() - at);
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
    const std::int32_t dpi = size < 4 ? 72 : 1 + static_cast<std::int32_t>(value_at(input, size - 4) % MAX_DPI);
    std::ofstream(INPUT_PATH, std::ios::binary) << input;
    const PhysChunk new_phys = build_phys_chunk(dpi);
    bool writable = false;
    bool png = false;
    const OsFile opened = open_for_update(INPUT_PATH, writable, nullptr);
    FileState state;
    state_of(opened, state);
    // A new output each time (made here, so that no handler of the program's
    // takes the fuzzer's signals).
    const auto rewrite = [&](auto write) {
        std::ofstream(OUTPUT_PATH, std::ios::binary | std::ios::trunc).flush();
        const OsFile output = open_for_update(OUTPUT_PATH, writable, nullptr);
        const bool written = write(output) == IoError::none;
        close_file(output);
        return written;
    };
    std::remove(OUTPUT_PATH.c_str());
    const bool result = read_png_start(opened, png) == IoError::none && png &&
                        rewrite([&](OsFile output) { return copy_png(opened, output, 0, new_phys); });

    Bytes expected;
    const bool valid = expected_output(input, dpi, expected);
    const bool output_made = std::ifstream(OUTPUT_PATH).is_open();
    const Bytes output = read_file(OUTPUT_PATH);
    // Where a patch can stand for the rewrite, it gives the same bytes, and so
    // does the image a backup of it holds; its journal, read back, finds the
    // old bytes before and the new ones after.
    PhysPatch patch;
    bool patch_differs = false;
    if (plan_phys_patch(opened, size, new_phys, patch)) {
        const bool backup_written =
            rewrite([&](OsFile output) { return write_patched_image(opened, size, patch, output); });
        PatchJournal journal;
        PatchJournal read_back;
        const bool changes = patch.changed_from != patch.changed_to;
        const bool journaled = !changes || (make_journal(opened, state, patch, journal) &&
                                            decode_journal(encode_journal(journal), read_back) &&
                                            match_journal(opened, state, read_back) == JournalMatch::old);
        const bool patched = write_phys_patch(opened, patch) == IoError::none;
        patch_differs = !valid || !backup_written || !patched || !journaled || read_file(OUTPUT_PATH) != expected ||
                        read_file(INPUT_PATH) != expected ||
                        (changes && match_journal(opened, state, read_back) != JournalMatch::part_new);
    }
    close_file(opened);
    if (result != valid || output_made != valid || (valid && output != expected) || patch_differs) {
        std::printf("contract broken: result %d, expected %d; output %zu bytes, expected %zu; patch differs %d\n",
                    result, valid, output.size(), expected.size(), patch_differs);
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
                const Bytes input = read_file(entry.path().string());
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
