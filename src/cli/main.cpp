#include "arguments.hpp"
#include "chunk_rewriter.hpp"
#include "in_place.hpp"
#include "phys_chunk.hpp"
#include "platform.hpp"
#include "texts.hpp"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string format(const char* format_text, ...)
{
    std::va_list arguments;
    va_start(arguments, format_text);
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format_text, measuring);
    va_end(measuring);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format_text, arguments);
    va_end(arguments);
    return text;
}

// The run after the banner; returns the exit status. A failure of the run's own
// is thrown as 0 and, like any exception, becomes the one failure report.
int run(const std::vector<std::string>& arguments)
{
    if (arguments.size() < 3 || arguments.size() > 4) {
        print_out(USAGE);
        if (arguments.size() > 4) {
            print_out(ONE_FILE_PER_RUN);
        }
        return 1;
    }
    bool explicit_output = true;
    std::string temporary_path;
    try {
        const std::int32_t dpi = parse_dpi(arguments[1].c_str());
        if (dpi <= 0) {
            print_out(DPI_NOT_POSITIVE);
            throw 0;
        }
        if (dpi > MAX_DPI) {
            print_out(format(DPI_TOO_LARGE_FORMAT, MAX_DPI));
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
            print_out(format(COPIED_FORMAT, input_path.c_str(), output_path.c_str(), dpi));
            return 0;
        }

        explicit_output = false;
        if (!rewrite_in_place(input_path, dpi, temporary_path)) {
            throw 0;
        }
        print_out(format(CHANGED_FORMAT, input_path.c_str(), dpi));
        return 0;
    } catch (...) {
        // One report for every failure; an exception's own text is never shown.
        print_out(FAILED);
        if (!explicit_output && !temporary_path.empty()) {
            print_out(format(BACKUP_NOTICE_FORMAT, temporary_path.c_str()));
        }
        return 1;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    prepare_process();
    print_out(format(BANNER_FORMAT, BUILD_TIMESTAMP));
    std::fflush(stdout); // seen even when an interrupt ends the run
    const int status = run(command_line(argc, argv));
    release_interrupts(); // one held back now ends the program, the run complete
    return status;
}
