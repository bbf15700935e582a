#pragma once

// What differs between POSIX systems and Windows: files used through the
// descriptor or handle that opened them, the temporary file, interrupts and the
// console. File names are the user's, as typed: bytes on POSIX, UTF-8 on
// Windows (read from the wide command line and converted back for every call).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A POSIX file descriptor or a Windows HANDLE.
using OsFile = std::intptr_t;
constexpr OsFile NO_FILE = -1;

// What identifies a file and tells whether it changed: the device (volume) and
// inode (file index), its size and its last modification.
struct FileState {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // and, where the system has it, the last status change
    std::int64_t changed = 0;
};

// Called first: makes sure the standard streams are open, so that no file of
// ours takes their place, and that writing past a limit or into a closed pipe
// fails instead of ending the program part way through.
void prepare_process();

// The program's arguments as the user typed them (on Windows from the wide
// command line, in UTF-8), the program's name first.
std::vector<std::string> command_line(int argc, char* argv[]);

// Opens an existing file for reading; NO_FILE when it cannot be opened.
OsFile open_for_reading(const std::string& name);
// Opens the file for writing, creating it when missing; never truncates it.
OsFile open_or_create_for_writing(const std::string& name);
// Opens the file already open as `file` for writing, itself and not whatever
// its name leads to by now; never creates, truncates or changes its owner or
// permissions. NO_FILE when it cannot be opened.
OsFile reopen_for_writing(OsFile file, const std::string& name);
// False when closing reports an error (a write that failed late).
bool close_file(OsFile file);

// Waits until this process alone holds the file's exclusive lock, which other
// runs of this program also take; it ends when the file is closed.
bool lock_file(OsFile file);
bool state_of(OsFile file, FileState& state);
// The state of the file the name leads to now (through symbolic links).
bool state_of(const std::string& name, FileState& state);
inline bool same_file(const FileState& first, const FileState& second)
{
    return first.device == second.device && first.index == second.index;
}
// Same file, same size, same times.
inline bool unchanged(const FileState& before, const FileState& now)
{
    return same_file(before, now) && before.size == now.size && before.modified == now.modified &&
           before.changed == now.changed;
}

// Reads up to size bytes from offset; fewer only at the end of the file.
// Returns the number read, or -1 on a read error.
std::int64_t read_at(OsFile file, std::uint64_t offset, void* data, std::size_t size);
// Writes all size bytes at the file's position (files are written from their
// start on, one piece after the other); false on any error.
bool write_all(OsFile file, const void* data, std::size_t size);
// Writes all size bytes at offset, leaving the file's position alone.
bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size);
// Cuts or extends the file to size bytes.
bool set_file_size(OsFile file, std::uint64_t size);
// Waits until the file's content is on its storage.
bool sync_file(OsFile file);

enum class IoError { none, reading, writing };
struct CopyResult {
    std::uint64_t copied = 0;
    IoError error = IoError::none;
};
// Copies size bytes from offset in `from` to the position of `to`, or as far
// as `from` goes; inside the kernel where the system can, through a buffer
// where it cannot (a pipe, another file system). Tells which side failed.
CopyResult copy_range(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to);

// Makes a new, empty file of our own in the user's temporary folder (TMPDIR,
// or /tmp when that is unset or empty; on Windows TMP, TEMP or the profile's),
// open for reading and writing, created exclusively and readable by the user
// alone. Stores its name and handle, and returns false when none can be made,
// or when others could rename or delete it there (a folder that others may
// write to without the sticky bit), so that a backup it names stays ours.
// From then on, until hold_interrupts(), an interrupt (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT; on Windows Ctrl+C, Ctrl+Break, closing the console) deletes this
// file and ends the program as the interrupt would.
bool create_temporary_file(std::string& name, OsFile& file);
// Deletes a file by name; a file already gone is no error.
bool remove_file(const std::string& name);

// From here on interrupts are held back; release_interrupts() lets a held one
// end the program, once standard output is flushed.
void hold_interrupts();
void release_interrupts();

// Writes text to standard output or standard error, names as typed (on a
// Windows console through the wide console functions, elsewhere as UTF-8 with
// CR LF line ends).
void print_out(const std::string& text);
void print_error(const std::string& text);
