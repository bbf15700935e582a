#pragma once

// What differs between POSIX systems and Windows: files used through the
// descriptor or handle that opened them, their locks, the temporary file,
// interrupts and the console. File names are the user's, as typed: bytes on
// POSIX, UTF-8 on Windows (read from the wide command line and converted back
// for every call).
//
// The temporary file of an in-place run, and who may delete it when:
//
//   create_temporary_file()  it exists, empty, open to the user alone. From
//                            now on an interrupt (a signal whose default is to
//                            end the program; on Windows a console event)
//                            deletes it and ends the run as it would have.
//   ...                      the input is opened, locked and read; the result
//                            is written to the temporary file and synced.
//   hold_interrupts()        the file is the backup now: interrupts wait, and
//                            nothing but remove_temporary_file() deletes it.
//   ...                      the input is written and synced.
//   remove_temporary_file()  only once the input is whole and on its storage.
//   release_interrupts()     a held interrupt ends the run now, before the
//                            outcome is printed.
//
// After a failure the file stays for the backup notice to name, and
// release_interrupts() follows the notice.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A POSIX file descriptor or a Windows HANDLE.
using OsFile = std::intptr_t;
constexpr OsFile NO_FILE = -1;

// A device (a character device; on Windows also a pipe) has no content of its
// own to lose: it is never taken for another name of the same file. A disk (a
// block device) may show another file's content, as a loop device does.
enum class FileKind { regular, device, disk, other };

// What identifies a file and tells whether it changed.
struct FileState {
    FileKind kind = FileKind::other;
    std::uint64_t device = 0; // device or volume
    std::uint64_t index = 0;  // inode or file ID; Windows' 128-bit IDs take both
    std::uint64_t index_high = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;     // last status change, where the system has it
    unsigned int permissions = 0; // POSIX read and write bits
};

inline bool same_identity(const FileState& first, const FileState& second)
{
    return first.device == second.device && first.index == second.index && first.index_high == second.index_high;
}

inline bool same_file(const FileState& first, const FileState& second)
{
    return first.kind != FileKind::device && first.kind == second.kind && same_identity(first, second);
}

// Same file, same size, same times.
inline bool unchanged(const FileState& before, const FileState& now)
{
    return same_identity(before, now) && before.size == now.size && before.modified == now.modified &&
           before.changed == now.changed;
}

// Called first: makes sure the standard streams are open, so that no file of
// ours takes their place, and that writing past a limit or into a closed pipe
// fails instead of ending the program part way through.
void prepare_process();

// The program's arguments as the user typed them (on Windows from the wide
// command line, in UTF-8), the program's name first; false when they cannot
// be read.
bool command_line(int argc, char* argv[], std::vector<std::string>& arguments);

// Opening never waits (for a FIFO's other end, a device), but for another
// program's lease on the file to end; the file is then used as usual. NO_FILE
// when it cannot be opened. A character device is never opened for reading
// (opening some does something: a watchdog starts, a tape rewinds).
OsFile open_for_reading(const std::string& name);
// A regular file alone, for reading and writing; where the user may only read
// it (its permissions, a read-only file system, another program's sharing
// mode), opens it for reading and sets writable false.
OsFile open_for_update(const std::string& name, bool& writable);
// For writing, created with the read and write permission bits of `like`
// (within the umask) when missing; never truncated.
OsFile open_or_create_for_writing(const std::string& name, const FileState& like);
// False when closing reports an error (a write that failed late).
bool close_file(OsFile file);

// The lock that runs of this program take on a file: shared to read it,
// exclusive to write it. It ends when the file is closed. Without wait, a
// lock that another program holds is `busy`.
enum class LockMode { shared, exclusive };
enum class LockResult { locked, busy, failed };
LockResult lock_file(OsFile file, LockMode mode, bool wait);

bool state_of(OsFile file, FileState& state);
// The file the name leads to now (through symbolic links).
bool state_of(const std::string& name, FileState& state);
// True when the file is the program's own standard output or standard error,
// which get its messages.
bool is_standard_stream(const FileState& state);

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
// The size beyond which no file of ours may be written (RLIMIT_FSIZE).
std::uint64_t file_size_limit();

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
// named *.png, open for reading and writing, created exclusively and readable
// by the user alone. Stores its name and handle, and returns false when none
// can be made, or when others could rename or delete it there (a folder that
// others may write to without the sticky bit), so that a backup it names stays
// ours.
bool create_temporary_file(std::string& name, OsFile& file);
// Deletes the temporary file (after hold_interrupts()); a file already gone is
// no error. The file stays open.
bool remove_temporary_file(const std::string& name, OsFile file);

void hold_interrupts();
void release_interrupts();

// Prints a message, formatted as printf does. Names appear as typed: on a
// Windows console through the wide console functions, elsewhere as UTF-8
// (with CR LF line ends on Windows).
void print_out(const char* format, ...);
void print_error(const char* format, ...);
