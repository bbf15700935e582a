#pragma once

// What differs between POSIX systems and Windows.

#include <cstddef>
#include <filesystem>
#include <string>

// Stores in buffer (size characters, terminator included) the name of a new,
// empty file in the user's temporary folder, created for this run alone so
// that no other process can claim the name. Returns 0 on success and non-zero
// when no such file can be made.
int create_temporary_file(char* buffer, std::size_t size);

// The file-system path of a file name as typed, read as the C runtime's file
// functions read it, so that both name the same file.
std::filesystem::path native_path(const std::string& name);
