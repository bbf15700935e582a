#pragma once

// What each system's file gives the platform-neutral one.

#include "platform.hpp"

// Copies from offset in `from` to to_offset (or SEQUENTIAL) in `to` inside the
// kernel, for as long as the kernel does; returns how much it copied. The
// buffered copy does the rest, and tells a read error from a write error.
std::uint64_t copy_in_kernel(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to, std::uint64_t to_offset);

bool state_of(Stream stream, FileState& state);

// Writes text to standard output or standard error.
void write_text(Stream stream, const char* text, std::size_t size);
