#pragma once

// What differs between POSIX systems and Windows: files used through the
// descriptor or handle that opened them, their locks, the files a run makes,
// interrupts and the console. File names are the user's, as typed: bytes on
// POSIX, UTF-8 on Windows (read from the wide command line and converted back
// for every call).
//
// The files an in-place run makes, and who may delete them when:
//
//   create_temporary_file()  it exists, empty, open to the user alone. From
//                            now on an interrupt (a signal whose default is to
//                            end the program; on Windows a console event)
//                            deletes it and ends the run as it would have.
//   create_copy_file()       the same for the copy beside the input, made
//                            under its unfinished name, written and synced.
//   hold_interrupts()        interrupts wait, and none deletes a file now.
//   commit_file()            the copy takes its committed name: from here on
//                            the next run finds it, and the temporary file
//                            goes (delete_file()).
//   ...                      the input is written and synced.
//   delete_file()            the copy (or the temporary file, where no copy
//                            was made), once the input is whole.
//   release_interrupts()     a held interrupt ends the run now, before the
//                            outcome is printed.
//
// After a failure the file that holds the image stays for the backup notice
// to name, and release_interrupts() follows the notice. An explicit run's new
// output is deleted by an interrupt too, until forget_on_interrupt() just
// before its first byte is written.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A POSIX file descriptor or a Windows HANDLE.
using OsFile = std::intptr_t;
constexpr OsFile NO_FILE = -1;

// Reads and copies go through buffers of this size. The fuzzing build shrinks
// it, so that short inputs cross many refills.
#ifndef RESTAMP_BUFFER_SIZE
#define RESTAMP_BUFFER_SIZE 131072 // 128 KiB
#endif
constexpr std::size_t BUFFER_SIZE = RESTAMP_BUFFER_SIZE;

// The offset that writes a pipe or a device at its position, one piece after
// the other. Files are written at the offsets given.
constexpr std::uint64_t SEQUENTIAL = UINT64_MAX;

// A character device or a pipe has no content of its own to lose: it is never
// taken for another name of the same file. A block device may show another
// file's content, as a loop device does.
enum class FileKind { regular, folder, device_or_pipe, block_device, other };

// What identifies a file and tells whether it changed.
struct FileState {
    FileKind kind = FileKind::other;
    std::uint64_t device = 0; // device or volume; 0 where the file system gives none
    std::uint64_t index = 0;  // inode or file ID, Windows' 128-bit IDs in both; 0 where unknown
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

// An identity of zeros is unknown: two such files are not taken for one.
inline bool same_file(const FileState& first, const FileState& second)
{
    const bool known = first.device != 0 && (first.index != 0 || first.index_high != 0);
    return known && first.kind != FileKind::device_or_pipe && first.kind == second.kind && same_identity(first, second);
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

// Called with a file's name before the run waits for another program to let
// go of it: its lock, or its lease (a file server's).
using WaitNotice = void (*)(const std::string& name);

// Opening never waits for a FIFO's other end or a device, but for another
// program's lease on the file: then `notice` is called first. NO_FILE when it
// cannot be opened. A character device is never opened for reading (opening
// some does something: a watchdog starts, a tape rewinds); on Windows no
// device is opened at all, but for NUL as an output.
OsFile open_for_reading(const std::string& name, WaitNotice notice);
// A regular file alone, for reading and writing; where the user may only read
// it (its permissions, a read-only file system, another program's sharing
// mode), opens it for reading and sets writable false.
OsFile open_for_update(const std::string& name, bool& writable, WaitNotice notice);
// For writing, never truncated. A missing file is created with the read and
// write permission bits of `like` (within the umask), and `created` is set:
// until forget_on_interrupt(), an interrupt deletes it.
OsFile open_or_create_for_writing(const std::string& name, const FileState& like, bool& created, WaitNotice notice);
// False when closing reports an error (a write that failed late).
bool close_file(OsFile file);

// The lock that runs of this program take on a file: shared to read it,
// exclusive to write it. It ends when the file is closed or unlocked. Without
// wait, a lock that another program holds is `busy`.
enum class LockMode { shared, exclusive };
enum class LockResult { locked, busy, failed };
LockResult lock_file(OsFile file, LockMode mode, bool wait);
void unlock_file(OsFile file);

bool state_of(OsFile file, FileState& state);
// The file the name leads to now (through symbolic links).
bool state_of(const std::string& name, FileState& state);
// The file's full name after every link: what orders the locks of files whose
// identity is unknown (Windows). Empty where every file has an identity.
std::string final_name(OsFile file);

enum class Stream { output, error };
// True when the file is the program's standard output or standard error.
bool is_stream(const FileState& state, Stream stream);
bool is_standard_stream(const FileState& state);
// Nothing more is written to the stream: it is a file the run reads or writes.
void mute(Stream stream);

// Reads up to size bytes from offset; fewer only at the end of the file.
// Returns the number read, or -1 on a read error.
std::int64_t read_at(OsFile file, std::uint64_t offset, void* data, std::size_t size);
// Writes all size bytes at offset (or SEQUENTIAL); false on any error.
bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size);
// Cuts or extends the file to size bytes.
bool set_file_size(OsFile file, std::uint64_t size);
// The same, with the space reserved where the file system can: a full disk
// fails here rather than part way through the writes that follow.
bool reserve_file_size(OsFile file, std::uint64_t size);
// Waits until the file's content is on its storage.
bool sync_file(OsFile file);
// The size beyond which no file of ours may be written (RLIMIT_FSIZE).
std::uint64_t file_size_limit();

enum class IoError { none, reading, writing };
struct CopyResult {
    std::uint64_t copied = 0;
    IoError error = IoError::none;
};
// Copies size bytes from offset in `from` to to_offset (or SEQUENTIAL) in
// `to`, or as far as `from` goes; inside the kernel where the system can,
// through a buffer where it cannot (a pipe, another file system). Tells which
// side failed.
CopyResult copy_range(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to, std::uint64_t to_offset);
// True when both files hold the same size bytes from their start.
bool same_content(OsFile first, OsFile second, std::uint64_t size);

// A file this run made, by its name and its handle: POSIX deletes by the
// name, Windows through the handle.
struct TemporaryFile {
    std::string name;
    OsFile file = NO_FILE;
};

// Why a temporary folder is refused, and the folder at fault: itself or one
// above it.
enum class FolderProblem { none, missing, not_folder, not_writable, others_may_rename, other_owner };
struct FolderCheck {
    std::string folder;
    FolderProblem problem = FolderProblem::none;
    std::string culprit;
};

// Makes a new, empty file of our own in the user's temporary folder (TMPDIR,
// or /tmp when that is unset or empty; on Windows TMP, TEMP or the profile's),
// named *.png, open for reading and writing, created exclusively and readable
// by the user alone. False when none can be made, or when others could rename
// or delete it there (a folder that others may write to without the sticky
// bit, or one of another user's), so that a backup it names stays ours; the
// check then says why.
bool create_temporary_file(TemporaryFile& temporary, FolderCheck& check);

// The folder (ending in its separator) and the name of the file that `name`
// leads to, after every link.
bool real_location(const std::string& name, std::string& folder, std::string& file_name);
// Where the copies of an input go whose own folder takes none: a folder that
// survives a reboot (/var/tmp; on Windows the user's temporary folder, which
// Windows does not empty), ending in its separator.
std::string fallback_folder();
// Makes folder + name exclusively, for reading and writing, with the
// permission bits of `like` (within the umask; hidden on Windows), never
// through a link, and never in a folder that others may write to without the
// sticky bit. Until hold_interrupts(), an interrupt deletes it.
bool create_copy_file(const std::string& folder, const std::string& name, const FileState& like, TemporaryFile& made);
// Opens folder + name for reading where it is a regular file (not a link)
// owned by us or by the input's owner; NO_FILE, with `found` telling whether
// the name exists at all, where not.
OsFile open_trusted_copy(const std::string& path, OsFile input, bool& found);
// Gives the file the name `name` in its folder, never over an existing file,
// and waits until the new name is on the storage.
bool commit_file(TemporaryFile& file, const std::string& name);
// Deletes a file this run made or found; one already gone is no error. It
// stays open.
bool delete_file(const TemporaryFile& file);
// An interrupt no longer deletes the file.
void forget_on_interrupt(OsFile file);

void hold_interrupts();
// True when an interrupt came while held: release_interrupts() ends the run.
bool interrupt_pending();
void release_interrupts();

// Prints a message, formatted as printf does. Names appear as typed: on a
// Windows console through the wide console functions, elsewhere as UTF-8
// (with CR LF line ends on Windows).
void print_out(const char* format, ...);
void print_error(const char* format, ...);
// True when standard error takes a line now, without waiting.
bool error_stream_ready();
