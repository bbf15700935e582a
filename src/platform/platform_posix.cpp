#include "system.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
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

// The files an interrupt deletes (the temporary file, and the copy beside the
// input or an explicit run's new output), by descriptor and name; changed
// only while interrupts are blocked.
struct Registered {
    int fd = -1;
    char name[PATH_MAX] = {};
};
Registered registered[2];
bool handler_installed = false;
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
// Only another program's lease (a file server's, say) can make it wait, after
// the notice: it ends when that program lets go, or after the system's
// lease-break time.
OsFile open_file(const std::string& name, int flags, WaitNotice notice, mode_t mode = 0)
{
    int fd = open_interrupted(name, flags | O_NONBLOCK, mode);
    if (fd < 0 && errno == EWOULDBLOCK) {
        if (notice != nullptr) {
            notice(name);
        }
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
    state.kind = S_ISREG(status.st_mode)                               ? FileKind::regular
                 : S_ISDIR(status.st_mode)                             ? FileKind::folder
                 : S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode) ? FileKind::device_or_pipe
                 : S_ISBLK(status.st_mode)                             ? FileKind::block_device
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

// Only async-signal-safe calls: the files go (an empty name, once forgotten,
// held or gone, is no file), then the signal ends the program as it would
// have without us.
void delete_files_and_end(int signal_number)
{
    for (const Registered& file : registered) {
        unlink(file.name);
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number); // blocked until the handler returns, then fatal
}

// An interrupt ignored when the program started (nohup, a background job)
// stays ignored: it is blocked meanwhile, and ignoring it again drops it.
void install_interrupt_handler(const sigset_t& interrupts)
{
    struct sigaction action {};
    action.sa_handler = delete_files_and_end;
    action.sa_mask = interrupts;
    for (const int signal_number : interrupt_signals()) {
        struct sigaction previous {};
        if (sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            sigaction(signal_number, &previous, nullptr);
        }
    }
    handler_installed = true;
}

sigset_t block_interrupts()
{
    const sigset_t interrupts = interrupt_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &interrupts, &previous);
    return previous;
}

void restore_mask(const sigset_t& mask)
{
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

// Called with interrupts blocked, so that no moment exists where a file of
// ours exists and no handler deletes it. Nothing is registered once they are
// held.
void register_file(int fd, const std::string& name)
{
    if (held) {
        return;
    }
    if (!handler_installed) {
        install_interrupt_handler(interrupt_set());
    }
    Registered* const free =
        std::find_if(std::begin(registered), std::end(registered), [](const Registered& file) { return file.fd < 0; });
    if (free != std::end(registered)) {
        free->fd = fd;
        // Whole: the kernel takes no name of PATH_MAX bytes or more.
        std::snprintf(free->name, sizeof free->name, "%s", name.c_str());
    }
}

// Opens the file made exclusively with `flags`, registered.
int create_registered(const std::string& name, int flags, mode_t mode)
{
    const sigset_t previous = block_interrupts();
    const int fd = open_interrupted(name, flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd >= 0) {
        register_file(fd, name);
    }
    restore_mask(previous);
    return fd;
}

// Others may rename or delete what the folder holds: they may write to it and
// it has no sticky bit.
bool open_to_others(const struct stat& status)
{
    return (status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0;
}

bool owned_by_another_user(const struct stat& status)
{
    return status.st_uid != 0 && status.st_uid != geteuid() && geteuid() != 0;
}

// A temporary folder is refused where another user could rename or delete
// the file it holds, or a folder above it: writable by others without the
// sticky bit, or owned by another user (root's folders, and anyone's for
// root, are fine). Group write is the user's own choice of sharing.
FolderProblem check_folder(const std::string& given, std::string& resolved, std::string& culprit)
{
    char real[PATH_MAX];
    struct stat status {};
    if (stat(given.c_str(), &status) != 0 || realpath(given.c_str(), real) == nullptr) {
        return errno == ENOTDIR  ? FolderProblem::not_folder
               : errno == ENOENT ? FolderProblem::missing
                                 : FolderProblem::not_writable;
    }
    if (!S_ISDIR(status.st_mode)) {
        return FolderProblem::not_folder;
    }
    resolved = real;
    if (owned_by_another_user(status)) {
        return FolderProblem::other_owner;
    }
    for (std::string folder = resolved;;) {
        if (stat(folder.c_str(), &status) != 0 || open_to_others(status) ||
            (folder != resolved && owned_by_another_user(status))) {
            culprit = folder;
            return FolderProblem::others_may_rename;
        }
        if (folder == "/") {
            break;
        }
        const std::size_t slash = folder.find_last_of('/'); // the name is absolute
        folder.erase(slash == 0 ? 1 : slash);
    }
    return access(real, W_OK | X_OK) == 0 ? FolderProblem::none : FolderProblem::not_writable;
}

} // namespace

void prepare_process()
{
    // /dev/null, or where a container has none, the root folder, which takes no write.
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0) {
            fd = open("/", O_RDONLY | O_DIRECTORY);
        }
        if (fd < 0 || fd > STDERR_FILENO) {
            if (fd >= 0) {
                close(fd);
            }
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

OsFile open_for_reading(const std::string& name, WaitNotice notice)
{
    return type_of(name) == S_IFCHR ? NO_FILE : open_file(name, O_RDONLY, notice);
}

OsFile open_for_update(const std::string& name, bool& writable, WaitNotice notice)
{
    if (type_of(name) != S_IFREG) {
        return NO_FILE; // a FIFO is not opened, nor a device
    }
    const OsFile file = open_file(name, O_RDWR, notice);
    writable = file != NO_FILE;
    return writable ? file : open_file(name, O_RDONLY, notice);
}

OsFile open_or_create_for_writing(const std::string& name, const FileState& like, bool& created, WaitNotice notice)
{
    const int fd = create_registered(name, O_WRONLY, like.permissions);
    created = fd >= 0;
    // An existing file, or a link: followed, as it always was.
    return created || errno != EEXIST ? fd : open_file(name, O_WRONLY | O_CREAT, notice, like.permissions);
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

void unlock_file(OsFile file)
{
    flock(descriptor(file), LOCK_UN);
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

std::string final_name(OsFile)
{
    return ""; // every file has a device and an inode
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

bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const char* from = static_cast<const char*>(data) + done;
        const ssize_t written = offset == SEQUENTIAL
                                    ? write(descriptor(file), from, size - done)
                                    : pwrite(descriptor(file), from, size - done, static_cast<off_t>(offset + done));
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

bool set_file_size(OsFile file, std::uint64_t size)
{
    int result = 0;
    do {
        result = ftruncate(descriptor(file), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool reserve_file_size(OsFile file, std::uint64_t size)
{
#ifdef __linux__
    // fallocate extends a file but never cuts it; ftruncate then sets the size.
    int result = 0;
    do {
        result = size == 0 ? 0 : fallocate(descriptor(file), 0, 0, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
        return false;
    }
#endif
    return set_file_size(file, size);
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
std::uint64_t copy_in_kernel(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to, std::uint64_t to_offset)
{
    std::uint64_t copied = 0;
#ifdef RESTAMP_KERNEL_COPY
    constexpr std::uint64_t MAX_PER_CALL = 1U << 30U;
    bool use_copy_file_range = true;
    while (copied < size) {
        const auto count = static_cast<std::size_t>(std::min(size - copied, MAX_PER_CALL));
        auto at = static_cast<off_t>(offset + copied);
        auto to_at = static_cast<off_t>(to_offset + copied);
        const bool sequential = to_offset == SEQUENTIAL;
        ssize_t done = -1;
        if (use_copy_file_range) {
            done = copy_file_range(descriptor(from), &at, descriptor(to), sequential ? nullptr : &to_at, count, 0);
        } else if (sequential || lseek(descriptor(to), to_at, SEEK_SET) == to_at) {
            done = sendfile(descriptor(to), descriptor(from), &at, count); // writes at the position
        }
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
    static_cast<void>(to_offset);
#endif
    return copied;
}

bool create_temporary_file(TemporaryFile& temporary, FolderCheck& check)
{
    // TMPDIR, or /tmp when it is unset or empty, as mktemp reads it.
    const char* folder = std::getenv("TMPDIR");
    check.folder = folder == nullptr || *folder == '\0' ? "/tmp" : folder;
    // Its links resolved once, so that the name the notice gives leads to the
    // file whatever another user's link leads to later.
    std::string resolved;
    check.problem = check_folder(check.folder, resolved, check.culprit);
    if (check.problem != FolderProblem::none) {
        return false;
    }
    // The .png suffix lets the user open a backup copy left behind after a failure.
    std::string pattern = resolved + (resolved.back() == '/' ? "restamp-XXXXXX.png" : "/restamp-XXXXXX.png");
    const sigset_t previous = block_interrupts();
    const int fd = mkostemps(pattern.data(), 4, O_CLOEXEC); // O_EXCL, mode 0600
    if (fd >= 0) {
        register_file(fd, pattern);
    }
    restore_mask(previous);
    if (fd < 0) {
        return false;
    }
    temporary = {pattern, fd};
    return true;
}

bool real_location(const std::string& name, std::string& folder, std::string& file_name)
{
    char real[PATH_MAX];
    if (realpath(name.c_str(), real) == nullptr) {
        return false;
    }
    folder = real;
    const std::size_t end = folder.find_last_of('/') + 1;
    file_name = folder.substr(end);
    folder.erase(end);
    return true;
}

std::string fallback_folder()
{
    return "/var/tmp/";
}

bool create_copy_file(const std::string& folder, const std::string& name, const FileState& like, TemporaryFile& made)
{
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0 || open_to_others(status)) {
        return false;
    }
    const int fd = create_registered(folder + name, O_RDWR, like.permissions);
    if (fd < 0) {
        return false;
    }
    made = {folder + name, fd};
    return true;
}

OsFile open_trusted_copy(const std::string& path, OsFile input, bool& found)
{
    struct stat entry {};
    struct stat owner {};
    struct stat opened {};
    found = lstat(path.c_str(), &entry) == 0;
    if (!found || !S_ISREG(entry.st_mode) || fstat(descriptor(input), &owner) != 0 ||
        (entry.st_uid != geteuid() && entry.st_uid != owner.st_uid)) {
        return NO_FILE;
    }
    const int fd = open_interrupted(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != entry.st_dev || opened.st_ino != entry.st_ino)) {
        close(fd);
        return NO_FILE;
    }
    return fd;
}

bool commit_file(TemporaryFile& file, const std::string& name)
{
    // Never over an existing file: with RENAME_NOREPLACE, or where the file
    // system lacks it (NFS), a new link and the old one removed.
    int result = renameat2(AT_FDCWD, file.name.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        result = link(file.name.c_str(), name.c_str());
        if (result == 0) {
            unlink(file.name.c_str());
        }
    }
    if (result != 0) {
        return false;
    }
    file.name = name;
    const int folder = open_interrupted(name.substr(0, name.find_last_of('/') + 1), O_RDONLY | O_DIRECTORY, 0);
    const bool synced = folder >= 0 && fsync(folder) == 0;
    if (folder >= 0) {
        close(folder);
    }
    return synced;
}

bool delete_file(const TemporaryFile& file)
{
    forget_on_interrupt(file.file);
    return unlink(file.name.c_str()) == 0 || errno == ENOENT;
}

void forget_on_interrupt(OsFile file)
{
    const sigset_t previous = block_interrupts();
    std::replace_if(
        std::begin(registered), std::end(registered), [&](const Registered& entry) { return entry.fd == file; },
        Registered{});
    restore_mask(previous);
}

void hold_interrupts()
{
    if (!held) {
        const sigset_t interrupts = held_set();
        sigprocmask(SIG_BLOCK, &interrupts, &mask_before_hold);
        std::fill(std::begin(registered), std::end(registered), Registered{});
        held = true;
    }
}

bool interrupt_pending()
{
    sigset_t pending;
    const sigset_t interrupts = held_set();
    if (!held || sigpending(&pending) != 0) {
        return false;
    }
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (sigismember(&pending, signal_number) == 1 && sigismember(&interrupts, signal_number) == 1) {
            return true;
        }
    }
    return false;
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
    write_at(stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO, SEQUENTIAL, text, size);
}

bool error_stream_ready()
{
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
}
