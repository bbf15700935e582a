#include "arguments.hpp"
#include "chunk_rewriter.hpp"
#include "in_place.hpp"
#include "phys_chunk.hpp"
#include "platform.hpp"
#include "texts.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The run after the banner; returns the exit status. A failure of the run's own
// is thrown as 0 and, like any exception, becomes the one failure report.
int run(const std::vector<std::string>& arguments)
{
    const bool too_many = arguments.size() > 4;
    if (arguments.size() < 3 || too_many) {
        print_out(USAGE);
        if (too_many) {
            print_out(ONE_FILE_PER_RUN);
        }
        return 1;
    }
    std::string temporary_path; // set once an in-place run has made its temporary file
    try {
        const std::int32_t dpi = parse_dpi(arguments[1].c_str());
        if (dpi <= 0) {
            print_out(DPI_NOT_POSITIVE);
            throw 0;
        }
        if (dpi > MAX_DPI) {
            print_out(DPI_TOO_LARGE_FORMAT, MAX_DPI);
            throw 0;
        }
        const std::string& input_path = arguments[2];

        // Naming the input again as the output would truncate it before it is
        // read, so that command is carried out in place instead.
        if (arguments.size() == 4 && !name_same_file(input_path, arguments[3])) {
            const std::string& output_path = arguments[3];
            if (!rewrite_png_resolution(input_path, output_path, dpi)) {
                throw 0;
            }
            print_out(COPIED_FORMAT, input_path.c_str(), output_path.c_str(), dpi);
            return 0;
        }

        if (!rewrite_in_place(input_path, dpi, temporary_path)) {
            throw 0;
        }
        print_out(CHANGED_FORMAT, input_path.c_str(), dpi);
        return 0;
    } catch (...) {
        // One report for every failure; an exception's own text is never shown.
        print_out(FAILED);
        if (!temporary_path.empty()) {
            print_out(BACKUP_NOTICE_FORMAT, temporary_path.c_str());
        }
        return 1;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    prepare_process();
    print_out(BANNER_FORMAT, BUILD_TIMESTAMP);
    std::vector<std::string> arguments;
    int status = 1;
    if (command_line(argc, argv, arguments)) {
        status = run(arguments);
    } else {
        print_out(FAILED);
    }
    release_interrupts(); // after a failure's report: one held back now ends the program
    return status;
}
