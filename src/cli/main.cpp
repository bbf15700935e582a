#include "arguments.hpp"
#include "chunk_rewriter.hpp"
#include "in_place.hpp"
#include "phys_chunk.hpp"
#include "texts.hpp"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    std::printf(BANNER_FORMAT, BUILD_TIMESTAMP);
    if (argc < 3) {
        std::printf("%s", USAGE);
        return 1;
    }

    bool explicit_output = true;
    std::string temporary_path;
    try {
        const std::int32_t dpi = parse_dpi(argv[1]);
        if (dpi <= 0) {
            std::printf("%s", DPI_NOT_POSITIVE);
            throw 0;
        }
        if (dpi > MAX_DPI) {
            std::printf(DPI_TOO_LARGE_FORMAT, MAX_DPI);
            throw 0;
        }
        const std::string input_path = argv[2];

        // Naming the input again as the output would truncate it before it is
        // read, so that command is carried out in place instead.
        if (argc >= 4 && !name_same_file(input_path, argv[3])) {
            const std::string output_path = argv[3];
            if (!rewrite_png_resolution(input_path, output_path, dpi)) {
                throw 0;
            }
            std::printf(COPIED_FORMAT, input_path.c_str(), output_path.c_str(), dpi);
            return 0;
        }

        explicit_output = false;
        temporary_path = obtain_temporary_path();
        if (!rewrite_png_resolution(input_path, temporary_path, dpi)) {
            throw 0;
        }
        replace_input(input_path, temporary_path);
        std::printf(CHANGED_FORMAT, input_path.c_str(), dpi);
        return 0;
    } catch (...) {
        // One report for every failure; an exception's own text is never shown.
        std::cout << FAILED;
        if (!explicit_output && !temporary_path.empty()) {
            std::printf(BACKUP_NOTICE_FORMAT, temporary_path.c_str());
        }
        return 1;
    }
}
