#pragma once

#include <string>

// Reserves a new temporary file for the rewrite and returns its name; prints the
// reason and throws when none can be had.
std::string obtain_temporary_path();

// Copies the rewritten temporary file over the input, then deletes it. The input
// keeps its inode and its permission bits, so links to it see the new content.
// Throws std::filesystem::filesystem_error on failure, leaving the temporary file.
void replace_input(const std::string& input_path, const std::string& temporary_path);

// True when both names lead to one existing file, through links or not.
bool name_same_file(const std::string& first, const std::string& second);
