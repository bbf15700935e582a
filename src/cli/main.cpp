#include "arguments.hpp"
#include "in_place.hpp"
#include "phys_chunk.hpp"
#include "platform.hpp"
#include "texts.hpp"
#include "to_output.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A standard stream that is the named input or output gets no text at all,
// the banner included: it would land in the file.
void mute_streams_named(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 2; i < arguments.size() && i < 4; ++i) {
        FileState state;
        const bool found = state_of(arguments[i], state);
        for (const Stream stream : {Stream::output, Stream::error}) {
            if (found && is_stream(state, stream)) {
                mute(stream);
            }
        }
    }
}

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
    std::string backup; // set once an in-place run has made its temporary file
    try {
        if (names_a_file(arguments[1])) {
            print_error(DPI_IS_FILE_NAME_FORMAT, arguments[1].c_str());
            throw 0;
        }
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

        if (!rewrite_in_place(input_path, dpi, backup)) {
            throw 0;
        }
        print_out(CHANGED_FORMAT, input_path.c_str(), dpi);
        return 0;
    } catch (...) {
        // One report for every failure; an exception's own text is never shown.
        print_out(FAILED);
        if (!backup.empty()) {
            print_out(BACKUP_NOTICE_FORMAT, backup.c_str());
        }
        return 1;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    prepare_process();
    std::vector<std::string> arguments;
    const bool read = command_line(argc, argv, arguments);
    mute_streams_named(arguments);
    print_out(BANNER_FORMAT, BUILD_TIMESTAMP);
    const int status = read ? run(arguments) : 1;
    if (!read) {
        print_out(FAILED);
    }
    release_interrupts(); // after a failure's report: one held back now ends the program
    return status;
}
