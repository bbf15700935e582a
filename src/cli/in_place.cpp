#include "in_place.hpp"

#include "platform.hpp"
#include "texts.hpp"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string obtain_temporary_path()
{
    char name[260];
    if (create_temporary_file(name, sizeof name) != 0) {
        std::printf("%s", NO_TEMPORARY_FILE);
        throw 0;
    }
    return name;
}

void replace_input(const std::string& input_path, const std::string& temporary_path)
{
    const fs::path input = native_path(input_path);
    const fs::path temporary = native_path(temporary_path);
    // copy_file hands the target the temporary file's own (private) permission
    // bits; on Windows these stand for the read-only attribute.
    const fs::perms permissions = fs::status(input).permissions();
    fs::copy_file(temporary, input, fs::copy_options::overwrite_existing);
    fs::permissions(input, permissions);
    fs::remove(temporary);
}

bool name_same_file(const std::string& first, const std::string& second)
{
    std::error_code error;
    return fs::equivalent(native_path(first), native_path(second), error);
}
