#pragma once

#include <cstddef>

// Stores in buffer (size characters, terminator included) the name of a new,
// empty file in the user's temporary directory, created for this run alone so
// that no other process can claim the name. Returns 0 on success and non-zero
// when no such file can be made.
int create_temporary_file(char* buffer, std::size_t size);
