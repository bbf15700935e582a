#pragma once

// What both runs share: their reasons for failing and their waits for other
// programs, said on standard error, and the places where an in-place run
// keeps the copy that the next run finds.

#include "platform.hpp"

#include <string>
#include <vector>

// Prints the reason the run fails; false.
bool fail(const char* message);
// True when nothing failed; otherwise prints the reason (reading the input,
// or writing the output).
bool succeeded(IoError error);

// Says that the run waits for another program to let go of the file.
void announce_wait(const std::string& name);
// Takes the lock, announcing a wait. False when the file cannot be locked.
bool lock_announced(OsFile file, LockMode mode, const std::string& name);

// An in-place run that must change the input's size, or write more than one
// block of it, first makes a copy where the next run will find it: beside the
// input, in the folder of its real path, under a name derived from its own;
// where that folder takes no new file, in the fallback folder under the
// input's device and inode. It writes the copy under its unfinished name,
// syncs it and commits it, as a complete image or as the journal of a patch.
enum class CopyKind { part, image, journal };
struct CopyPlace {
    std::string folder; // ending in its separator
    std::string stem;   // what the names start with
};
std::string copy_path(const CopyPlace& place, CopyKind kind);
// Makes the copy under its unfinished name (see create_copy_file()).
bool create_part(const CopyPlace& place, const FileState& like, TemporaryFile& part);
// Beside the input first; empty when the input's real path cannot be found.
std::vector<CopyPlace> copy_places(const std::string& input_path, const FileState& state);
// True when the name has a copy's form: no copy is ever taken for an input.
bool is_copy_name(const std::string& name);
// A copy of ours in one place: open, or NO_FILE with `found` telling whether
// another's file has its name.
TemporaryFile find_copy(const CopyPlace& place, CopyKind kind, OsFile input, bool& found);
