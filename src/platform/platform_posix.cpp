#include "platform.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

int create_temporary_file(char* buffer, std::size_t size)
{
    // TMPDIR, or /tmp when it is unset.
    std::error_code error;
    const std::filesystem::path directory = std::filesystem::temp_directory_path(error);
    if (error) {
        return 1;
    }
    // The .png suffix lets the user open a backup copy left behind after a failure.
    const std::string pattern = (directory / "restamp-XXXXXX.png").string();
    if (pattern.size() >= size) {
        return 1;
    }
    pattern.copy(buffer, pattern.size());
    buffer[pattern.size()] = '\0';
    const int descriptor = mkstemps(buffer, 4); // O_EXCL, mode 0600
    if (descriptor < 0) {
        return 1;
    }
    close(descriptor);
    return 0;
}

std::filesystem::path native_path(const std::string& name)
{
    return name; // names are bytes, as open() takes them
}
