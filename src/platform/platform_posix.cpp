#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif

namespace {

// Large enough for few system calls where the kernel cannot copy for us. The
// fuzzing build copies through a tiny one alone, so that short inputs cross
// many refills.
#if defined(__linux__) && !defined(RESTAMP_BUFFER_SIZE)
#define RESTAMP_KERNEL_COPY
#endif
#ifndef RESTAMP_BUFFER_SIZE
#define RESTAMP_BUFFER_SIZE 131072 // 128 KiB
#endif
constexpr std::size_t BUFFER_SIZE = RESTAMP_BUFFER_SIZE;

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The temporary file an interrupt deletes; written only while interrupts are blocked.
char temporary_name[4096];

int descriptor(OsFile file)
{
    return static_cast<int>(file);
}

OsFile open_file(const std::string& name, int flags)
{
    int fd = 0;
    do {
        fd = open(name.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

FileState state_from(const struct stat& status)
{
    FileState state;
    state.device = status.st_dev;
    state.index = status.st_ino;
    state.size = static_cast<std::uint64_t>(status.st_size);
    state.modified = std::int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    state.changed = std::int64_t{status.st_ctim.tv_sec} * 1000000000 + status.st_ctim.tv_nsec;
    return state;
}

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : INTERRUPTS) {
        sigaddset(&set, signal_number);
    }
    return set;
}

// An interrupt ignored when the program started (nohup, a background job)
// stays ignored.
void set_interrupt_handler(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = interrupt_set();
    for (const int signal_number : INTERRUPTS) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

// Only async-signal-safe calls: the partial temporary file goes, then the
// signal ends the program as it would have without us.
void remove_temporary_and_end(int signal_number)
{
    if (temporary_name[0] != '\0') {
        unlink(temporary_name);
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number); // blocked until the handler returns, then fatal
}

// Copies through a buffer, reading at offsets and writing at the position.
CopyResult copy_through_buffer(int from, std::uint64_t offset, std::uint64_t size, int to)
{
    static char buffer[BUFFER_SIZE];
    CopyResult result;
    while (result.copied < size) {
        const std::size_t wanted = std::min<std::uint64_t>(size - result.copied, BUFFER_SIZE);
        const std::int64_t got = read_at(from, offset + result.copied, buffer, wanted);
        if (got < 0) {
            result.error = IoError::reading;
            return result;
        }
        if (got == 0) {
            return result;
        }
        if (!write_all(to, buffer, static_cast<std::size_t>(got))) {
            result.error = IoError::writing;
            return result;
        }
        result.copied += static_cast<std::uint64_t>(got);
    }
    return result;
}

#ifdef RESTAMP_KERNEL_COPY
// True when the error means this way of copying is not available for these
// two files, rather than that reading or writing failed.
bool refused(int error)
{
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP || error == EBADF ||
           error == ESPIPE || error == EPERM || error == ETXTBSY || error == EOVERFLOW;
}

// Kernel copies, from the offset to the position of `to`. One call per 1 GiB
// keeps every count within what both calls take. Stops early, leaving the rest
// to the buffer, when the kernel refuses or fails: the buffer's copy then tells
// reading errors from writing errors.
std::uint64_t copy_in_kernel(int from, std::uint64_t offset, std::uint64_t size, int to)
{
    constexpr std::uint64_t MOST_PER_CALL = 1U << 30U;
    std::uint64_t copied = 0;
    bool use_copy_file_range = true;
    while (copied < size) {
        const auto count = static_cast<std::size_t>(std::min(size - copied, MOST_PER_CALL));
        auto at = static_cast<off_t>(offset + copied);
        ssize_t done = 0;
        if (use_copy_file_range) {
            done = copy_file_range(from, &at, to, nullptr, count, 0);
            if (done < 0 && refused(errno)) {
                use_copy_file_range = false;
                continue;
            }
        } else {
            done = sendfile(to, from, &at, count);
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            break; // end of input (checked by the buffer's copy), or an error
        }
        copied += static_cast<std::uint64_t>(done);
    }
    return copied;
}
#endif

// Writes all size bytes, at the file's position or, when offset is given, there.
bool write_fully(OsFile file, const void* data, std::size_t size, const std::uint64_t* offset)
{
    std::size_t done = 0;
    while (done < size) {
        const char* from = static_cast<const char*>(data) + done;
        const ssize_t written = offset == nullptr
                                    ? write(descriptor(file), from, size - done)
                                    : pwrite(descriptor(file), from, size - done, static_cast<off_t>(*offset + done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

void prepare_process()
{
    for (int fd = open("/dev/null", O_RDWR); fd >= 0 && fd <= STDERR_FILENO; fd = open("/dev/null", O_RDWR)) {
    }
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> command_line(int argc, char* argv[])
{
    return {argv, argv + argc};
}

OsFile open_for_reading(const std::string& name)
{
    return open_file(name, O_RDONLY);
}

OsFile open_or_create_for_writing(const std::string& name)
{
    return open_file(name, O_WRONLY | O_CREAT);
}

OsFile reopen_for_writing(OsFile file, const std::string& name)
{
#ifdef __linux__
    static_cast<void>(name);
    return open_file("/proc/self/fd/" + std::to_string(descriptor(file)), O_WRONLY);
#else
    // Non-blocking, so that a name now leading to a FIFO cannot hold the run;
    // the caller checks that it is the same file.
    static_cast<void>(file);
    const OsFile reopened = open_file(name, O_WRONLY | O_NONBLOCK);
    if (reopened != NO_FILE) {
        fcntl(descriptor(reopened), F_SETFL, 0);
    }
    return reopened;
#endif
}

bool close_file(OsFile file)
{
    // Linux releases the descriptor even when close fails, so no retry.
    return close(descriptor(file)) == 0 || errno == EINTR;
}

bool lock_file(OsFile file)
{
    int result = 0;
    do {
        result = flock(descriptor(file), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool state_of(OsFile file, FileState& state)
{
    struct stat status {};
    if (fstat(descriptor(file), &status) != 0) {
        return false;
    }
    state = state_from(status);
    return true;
}

bool state_of(const std::string& name, FileState& state)
{
    struct stat status {};
    if (stat(name.c_str(), &status) != 0) {
        return false;
    }
    state = state_from(status);
    return true;
}

std::int64_t read_at(OsFile file, std::uint64_t offset, void* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got =
            pread(descriptor(file), static_cast<char*>(data) + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

bool write_all(OsFile file, const void* data, std::size_t size)
{
    return write_fully(file, data, size, nullptr);
}

bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size)
{
    return write_fully(file, data, size, &offset);
}

bool set_file_size(OsFile file, std::uint64_t size)
{
    int result = 0;
    do {
        result = ftruncate(descriptor(file), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool sync_file(OsFile file)
{
    return fsync(descriptor(file)) == 0;
}

CopyResult copy_range(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to)
{
    std::uint64_t copied = 0;
#ifdef RESTAMP_KERNEL_COPY
    copied = copy_in_kernel(descriptor(from), offset, size, descriptor(to));
#endif
    CopyResult rest = copy_through_buffer(descriptor(from), offset + copied, size - copied, descriptor(to));
    rest.copied += copied;
    return rest;
}

bool create_temporary_file(std::string& name, OsFile& file)
{
    // TMPDIR, or /tmp when it is unset or empty, as mktemp reads it.
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') {
        folder = "/tmp";
    }
    // The .png suffix lets the user open a backup copy left behind after a failure.
    std::string pattern = folder;
    pattern += pattern.back() == '/' ? "restamp-XXXXXX.png" : "/restamp-XXXXXX.png";
    struct stat status {};
    const bool others_may_rename = stat(folder, &status) != 0 || (status.st_uid != 0 && status.st_uid != geteuid()) ||
                                   ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0);
    if (pattern.size() >= sizeof temporary_name || others_may_rename) {
        return false;
    }
    // The name and the handler that deletes the file come with the file, with
    // no moment between them for an interrupt.
    const sigset_t interrupts = interrupt_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &interrupts, &previous);
    const int fd = mkostemps(pattern.data(), 4, O_CLOEXEC); // O_EXCL, mode 0600
    if (fd >= 0) {
        std::memcpy(temporary_name, pattern.c_str(), pattern.size() + 1);
        set_interrupt_handler(remove_temporary_and_end);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        return false;
    }
    name = pattern;
    file = fd;
    return true;
}

bool remove_file(const std::string& name)
{
    return unlink(name.c_str()) == 0 || errno == ENOENT;
}

void hold_interrupts()
{
    const sigset_t interrupts = interrupt_set();
    sigprocmask(SIG_BLOCK, &interrupts, nullptr);
    set_interrupt_handler(SIG_DFL); // a held interrupt, once let through, just ends the run
    temporary_name[0] = '\0';
}

void release_interrupts()
{
    std::fflush(stdout);
    std::fflush(stderr);
    const sigset_t interrupts = interrupt_set();
    sigprocmask(SIG_UNBLOCK, &interrupts, nullptr);
}

void print_out(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_error(const std::string& text)
{
    std::fflush(stdout); // in the order the lines were issued, when both go to one file
    std::fwrite(text.data(), 1, text.size(), stderr);
}
