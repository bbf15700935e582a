#include "system.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif

// Kernel copies, unless a build turns them off.
#if defined(__linux__) && !defined(RESTAMP_NO_KERNEL_COPY)
#define RESTAMP_KERNEL_COPY
#endif

namespace {

// The temporary file an interrupt deletes; written only while interrupts are blocked.
char temporary_name[PATH_MAX];
// The signal mask from before hold_interrupts(), which release_interrupts() restores.
sigset_t mask_before_hold;
bool held = false;

int descriptor(OsFile file)
{
    return static_cast<int>(file);
}

int open_interrupted(const std::string& name, int flags, mode_t mode)
{
    int fd = 0;
    do {
        fd = open(name.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Never waits in open for a FIFO's other end or a device, then works as usual.
// Only another program's lease (a file server's, say) can make it wait: it
// ends when that program lets go, or after the system's lease-break time.
OsFile open_file(const std::string& name, int flags, mode_t mode = 0)
{
    int fd = open_interrupted(name, flags | O_NONBLOCK, mode);
    if (fd < 0 && errno == EWOULDBLOCK) {
        fd = open_interrupted(name, flags, mode);
    }
    if (fd >= 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

// The type of what the name leads to, found without opening it.
mode_t type_of(const std::string& name)
{
    struct stat status {};
    return stat(name.c_str(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

std::int64_t nanoseconds(const timespec& time)
{
    return std::int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

bool state_from(int result, const struct stat& status, FileState& state)
{
    if (result != 0) {
        return false;
    }
    state.kind = S_ISREG(status.st_mode)   ? FileKind::regular
                 : S_ISCHR(status.st_mode) ? FileKind::device
                 : S_ISBLK(status.st_mode) ? FileKind::disk
                                           : FileKind::other;
    state.device = status.st_dev;
    state.index = status.st_ino;
    state.size = static_cast<std::uint64_t>(status.st_size);
    state.modified = nanoseconds(status.st_mtim);
    state.changed = nanoseconds(status.st_ctim);
    state.permissions = status.st_mode & 0666U;
    return true;
}

// Every catchable signal whose default action ends the program, but for the
// faults the program itself may raise (SEGV, BUS, FPE, ILL, TRAP, SYS), and
// PIPE and XFSZ, which prepare_process() ignores.
std::vector<int> interrupt_signals()
{
    std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGABRT, SIGALRM,
                                SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};
#ifdef __linux__
    signals.insert(signals.end(), {SIGIO, SIGPWR, SIGSTKFLT});
#endif
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        signals.push_back(signal_number);
    }
#endif
    return signals;
}

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interrupt_signals()) {
        sigaddset(&set, signal_number);
    }
    return set;
}

// The interrupts and the faults: a fault that another program sends waits
// like an interrupt while the input is written. The kernel delivers a fault of
// the program's own at once all the same.
sigset_t held_set()
{
    sigset_t set = interrupt_set();
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
        sigaddset(&set, fault);
    }
    return set;
}

// Only async-signal-safe calls: the partial temporary file goes (an empty
// name, once it is held or gone, is no file), then the signal ends the program
// as it would have without us.
void remove_temporary_and_end(int signal_number)
{
    unlink(temporary_name);
    signal(signal_number, SIG_DFL);
    raise(signal_number); // blocked until the handler returns, then fatal
}

// An interrupt ignored when the program started (nohup, a background job)
// stays ignored.
void install_interrupt_handler(const sigset_t& interrupts)
{
    struct sigaction action {};
    action.sa_handler = remove_temporary_and_end;
    action.sa_mask = interrupts;
    for (const int signal_number : interrupt_signals()) {
        struct sigaction previous {};
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

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
        if (written < 0 && errno == EAGAIN) {
            pollfd ready{descriptor(file), POLLOUT, 0}; // a descriptor another program made non-blocking
            poll(&ready, 1, -1);
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// True when no one but the user (and root) may rename or delete what the
// folder holds, nor what any folder above it holds: each is the user's or
// root's, and others may not write to it, or it has the sticky bit.
bool ours_alone(std::string folder)
{
    for (;;) {
        struct stat status {};
        if (stat(folder.c_str(), &status) != 0 || (status.st_uid != 0 && status.st_uid != geteuid()) ||
            ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0)) {
            return false;
        }
        if (folder == "/") {
            return true;
        }
        const std::size_t slash = folder.find_last_of('/'); // the name is absolute
        folder.erase(slash == 0 ? 1 : slash);
    }
}

} // namespace

void prepare_process()
{
    for (int fd = open("/dev/null", O_RDWR); fd >= 0; fd = open("/dev/null", O_RDWR)) {
        if (fd > STDERR_FILENO) {
            close(fd);
            break;
        }
    }
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

bool command_line(int argc, char* argv[], std::vector<std::string>& arguments)
{
    arguments.assign(argv, argv + argc);
    return true;
}

OsFile open_for_reading(const std::string& name)
{
    return type_of(name) == S_IFCHR ? NO_FILE : open_file(name, O_RDONLY);
}

OsFile open_for_update(const std::string& name, bool& writable)
{
    if (type_of(name) != S_IFREG) {
        return NO_FILE; // a FIFO is not opened, nor a device
    }
    const OsFile file = open_file(name, O_RDWR);
    writable = file != NO_FILE;
    return writable ? file : open_file(name, O_RDONLY);
}

OsFile open_or_create_for_writing(const std::string& name, const FileState& like)
{
    return open_file(name, O_WRONLY | O_CREAT, like.permissions);
}

bool close_file(OsFile file)
{
    // Linux releases the descriptor even when close fails, so no retry.
    return close(descriptor(file)) == 0 || errno == EINTR;
}

LockResult lock_file(OsFile file, LockMode mode, bool wait)
{
    const int operation = (mode == LockMode::shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    int result = 0;
    do {
        result = flock(descriptor(file), operation);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return LockResult::locked;
    }
    return errno == EWOULDBLOCK ? LockResult::busy : LockResult::failed;
}

bool state_of(OsFile file, FileState& state)
{
    struct stat status {};
    return state_from(fstat(descriptor(file), &status), status, state);
}

bool state_of(const std::string& name, FileState& state)
{
    struct stat status {};
    return state_from(stat(name.c_str(), &status), status, state);
}

bool state_of(Stream stream, FileState& state)
{
    return state_of(stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO, state);
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

std::uint64_t file_size_limit()
{
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : UINT64_MAX;
}

// copy_file_range, or sendfile where that fails (another file system, a
// pipe, an old kernel). One call per 1 GiB keeps every count within what both
// take. Stops at the end of the input or when sendfile fails too, and leaves
// the rest to the buffered copy, which tells a read error from a write error.
std::uint64_t copy_in_kernel(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to)
{
    std::uint64_t copied = 0;
#ifdef RESTAMP_KERNEL_COPY
    constexpr std::uint64_t MOST_PER_CALL = 1U << 30U;
    bool use_copy_file_range = true;
    while (copied < size) {
        const auto count = static_cast<std::size_t>(std::min(size - copied, MOST_PER_CALL));
        auto at = static_cast<off_t>(offset + copied);
        const ssize_t done = use_copy_file_range
                                 ? copy_file_range(descriptor(from), &at, descriptor(to), nullptr, count, 0)
                                 : sendfile(descriptor(to), descriptor(from), &at, count);
        if (done > 0) {
            copied += static_cast<std::uint64_t>(done);
        } else if (done < 0 && use_copy_file_range) {
            use_copy_file_range = false;
        } else {
            break;
        }
    }
#else
    static_cast<void>(from);
    static_cast<void>(offset);
    static_cast<void>(size);
    static_cast<void>(to);
#endif
    return copied;
}

bool create_temporary_file(std::string& name, OsFile& file)
{
    // TMPDIR, or /tmp when it is unset or empty, as mktemp reads it.
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') {
        folder = "/tmp";
    }
    // Its links resolved once, so that the name the notice gives leads to the
    // file whatever another user's link leads to later.
    char resolved[PATH_MAX];
    if (realpath(folder, resolved) == nullptr || !ours_alone(resolved)) {
        return false;
    }
    // The .png suffix lets the user open a backup copy left behind after a failure.
    std::string pattern = resolved;
    pattern += pattern.back() == '/' ? "restamp-XXXXXX.png" : "/restamp-XXXXXX.png";
    // The name and the handler that deletes the file come with the file, with
    // no moment between them for an interrupt.
    const sigset_t interrupts = interrupt_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &interrupts, &previous);
    const int fd = mkostemps(pattern.data(), 4, O_CLOEXEC); // O_EXCL, mode 0600
    if (fd >= 0) {
        // Whole: the kernel takes no name of PATH_MAX bytes or more.
        std::snprintf(temporary_name, sizeof temporary_name, "%s", pattern.c_str());
        install_interrupt_handler(interrupts);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        return false;
    }
    name = pattern;
    file = fd;
    return true;
}

bool remove_temporary_file(const std::string& name, OsFile)
{
    return unlink(name.c_str()) == 0 || errno == ENOENT;
}

void hold_interrupts()
{
    if (!held) {
        const sigset_t interrupts = held_set();
        sigprocmask(SIG_BLOCK, &interrupts, &mask_before_hold);
        temporary_name[0] = '\0';
        held = true;
    }
}

void release_interrupts()
{
    if (held) {
        held = false;
        sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr);
    }
}

void write_text(Stream stream, const char* text, std::size_t size)
{
    write_all(stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO, text, size);
}
