// rand_s, the C runtime's cryptographic random numbers, is declared only on request.
#define _CRT_RAND_S

#include "platform.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <shellapi.h>

namespace {

#ifdef RESTAMP_BUFFER_SIZE
constexpr std::size_t COPY_BUFFER_SIZE = RESTAMP_BUFFER_SIZE;
#else
constexpr std::size_t COPY_BUFFER_SIZE = 1 << 20;
#endif
constexpr DWORD MAX_IO = 1 << 30; // one ReadFile or WriteFile call at most
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handle_of(OsFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

OsFile file_of(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? NO_FILE : reinterpret_cast<OsFile>(handle);
}

// UTF-16 to UTF-8. A lone surrogate, which Windows allows in names, becomes the
// three bytes of its own code point (as in WTF-8), so that every name converts
// back to exactly the file the user named.
std::string narrow(const wchar_t* text)
{
    std::string result;
    for (; *text != L'\0'; ++text) {
        std::uint32_t code = static_cast<std::uint16_t>(*text);
        const auto next = static_cast<std::uint16_t>(text[1]);
        if (code >= 0xD800 && code < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            ++text;
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
            continue;
        }
        constexpr unsigned char LEAD[] = {0, 0xC0, 0xE0, 0xF0};
        const int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        result += static_cast<char>(LEAD[extra] | (code >> (6 * extra)));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) {
            result += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
        }
    }
    return result;
}

// UTF-8 (and the lone surrogates of narrow) back to UTF-16.
std::wstring widen(const std::string& text)
{
    std::wstring result;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        const int extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 0; k < extra && i < text.size(); ++k) {
            code = code << 6 | (static_cast<unsigned char>(text[i++]) & 0x3F);
        }
        if (code >= 0x10000) {
            result += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            code = 0xDC00 + (code & 0x3FF);
        }
        result += static_cast<wchar_t>(code);
    }
    return result;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The name for the wide file functions. A full path of MAX_PATH characters or
// more works only with the \\?\ prefix, which also turns off the system's own
// clean-up of names (/, . and .., trailing dots), so GetFullPathNameW does that
// first. A name that cannot be made whole comes back empty, and opening it fails.
std::wstring wide_path(const std::string& name)
{
    const std::wstring wide = widen(name);
    const DWORD needed = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return L"";
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return L"";
    }
    full.resize(length);
    if (length < MAX_PATH) {
        return wide;
    }
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) {
        return full;
    }
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

OsFile open_file(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
{
    const std::wstring path = wide_path(name);
    return file_of(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

std::uint64_t join(DWORD high, DWORD low)
{
    return static_cast<std::uint64_t>(high) << 32 | low;
}

DWORD chunk_size(std::size_t size)
{
    return size < MAX_IO ? static_cast<DWORD>(size) : MAX_IO;
}

// What the console control handler works with. The lock keeps the handler from
// deleting the temporary file while interrupts are held, and from ending the
// program between the file's creation and the storing of its name.
struct InterruptState {
    SRWLOCK lock = SRWLOCK_INIT;
    bool installed = false;
    bool held = false;
    bool pending = false;   // an interrupt came while held
    std::wstring temporary; // deleted on an interrupt before hold_interrupts()
};
InterruptState interrupts;

// Runs in a thread of its own for every console event (Ctrl+C, Ctrl+Break, a
// closed console, logoff, shutdown), each of which would end the program. It
// ends the program as Windows' own handler does, but only once the input is
// whole: for a closed console the system ends the process as soon as this
// returns, so a held interrupt waits here.
BOOL WINAPI on_interrupt(DWORD)
{
    AcquireSRWLockExclusive(&interrupts.lock);
    interrupts.pending = true;
    if (interrupts.held) {
        // release_interrupts() ends the program; until then this thread waits.
        ReleaseSRWLockExclusive(&interrupts.lock);
        Sleep(INFINITE);
    }
    if (!interrupts.temporary.empty()) {
        DeleteFileW(interrupts.temporary.c_str()); // opened with FILE_SHARE_DELETE
    }
    // Still holding the lock: the main thread cannot begin a copy-back now.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void install_interrupt_handler()
{
    if (!interrupts.installed) {
        interrupts.installed = SetConsoleCtrlHandler(on_interrupt, TRUE) != 0;
    }
}

// A security descriptor that lets the current user alone open a file: the
// user's own SID (not the owner, which for an elevated administrator is the
// Administrators group), and nothing inherited from the folder.
struct PrivateSecurity {
    std::vector<unsigned char> user;
    std::vector<unsigned char> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

bool make_private(PrivateSecurity& security)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    security.user.resize(size);
    const bool found = size != 0 && GetTokenInformation(token, TokenUser, security.user.data(), size, &size);
    CloseHandle(token);
    if (!found) {
        return false;
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(security.user.data())->User.Sid;
    security.acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    auto* acl = reinterpret_cast<ACL*>(security.acl.data());
    security.attributes = {sizeof security.attributes, &security.descriptor, FALSE};
    return InitializeAcl(acl, static_cast<DWORD>(security.acl.size()), ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
           InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// The text's "\n" as "\r\n", the line end of Windows' text files and consoles.
std::string with_crlf(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

void print(DWORD stream, const std::string& text)
{
    // Text the C runtime still buffers goes first, to keep the order of lines.
    std::fflush(stdout);
    std::fflush(stderr);
    const HANDLE handle = GetStdHandle(stream);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // The console shows every name as typed, whatever its code page.
        const std::wstring wide = widen(with_crlf(text));
        DWORD written = 0;
        for (std::size_t done = 0; done < wide.size(); done += written) {
            if (!WriteConsoleW(handle, wide.data() + done, chunk_size(wide.size() - done), &written, nullptr) ||
                written == 0) {
                return;
            }
        }
    } else {
        const std::string bytes = with_crlf(text);
        write_all(file_of(handle), bytes.data(), bytes.size());
    }
}

} // namespace

void prepare_process()
{
    // Windows has no signal for a closed pipe or a size limit, and no file takes
    // the place of a missing standard handle. A drive that fails (removed media)
    // is to fail the call, not to open a dialog box that holds the run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

std::vector<std::string> command_line(int argc, char* argv[])
{
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    for (int i = 0; i < count; ++i) {
        arguments.push_back(narrow(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

OsFile open_for_reading(const std::string& name)
{
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open.
    return open_file(name, GENERIC_READ, SHARE_ALL, OPEN_EXISTING);
}

OsFile open_or_create_for_writing(const std::string& name)
{
    // OPEN_ALWAYS, not CREATE_ALWAYS, which would refuse an existing hidden or
    // system file and replace its attributes.
    return open_file(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
}

OsFile reopen_for_writing(OsFile file, const std::string&)
{
    // The file the handle holds, whatever its name leads to now. Shared for
    // reading only: no other program writes the input during the copy-back.
    // A read-only file does not open.
    return file_of(ReOpenFile(handle_of(file), GENERIC_WRITE, FILE_SHARE_READ, 0));
}

bool close_file(OsFile file)
{
    return CloseHandle(handle_of(file)) != 0;
}

bool lock_file(OsFile file)
{
    // One byte far beyond any file's data: other runs wait for it, while our own
    // reads and writes through other handles are not blocked.
    OVERLAPPED overlapped = at_offset(0xFFFFFFFFFFFFFFFEull);
    return LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped) != 0;
}

bool state_of(OsFile file, FileState& state)
{
    // A pipe or a device (NUL) is no file on a volume: no identity, no size.
    if (GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
        state = FileState{};
        state.device = ~std::uint64_t{0};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle_of(file), &information)) {
        return false;
    }
    state.device = information.dwVolumeSerialNumber;
    state.index = join(information.nFileIndexHigh, information.nFileIndexLow);
    state.size = join(information.nFileSizeHigh, information.nFileSizeLow);
    const FILETIME& written = information.ftLastWriteTime;
    state.modified = static_cast<std::int64_t>(join(written.dwHighDateTime, written.dwLowDateTime));
    // The change time also moves when content is put back with an old write time.
    FILE_BASIC_INFO basic;
    state.changed = GetFileInformationByHandleEx(handle_of(file), FileBasicInfo, &basic, sizeof basic)
                        ? basic.ChangeTime.QuadPart
                        : 0;
    return true;
}

bool state_of(const std::string& name, FileState& state)
{
    // No access asked: opens whatever others hold open, folders too.
    const OsFile file = open_file(name, 0, SHARE_ALL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (file == NO_FILE) {
        return false;
    }
    const bool found = state_of(file, state);
    CloseHandle(handle_of(file));
    return found;
}

std::int64_t read_at(OsFile file, std::uint64_t offset, void* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED overlapped = at_offset(offset + done);
        DWORD count = 0;
        if (!ReadFile(handle_of(file), static_cast<char*>(data) + done, chunk_size(size - done), &count, &overlapped)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return -1;
        }
        if (count == 0) {
            break;
        }
        done += count;
    }
    return static_cast<std::int64_t>(done);
}

bool write_all(OsFile file, const void* data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        DWORD count = 0;
        if (!WriteFile(handle_of(file), static_cast<const char*>(data) + done, chunk_size(size - done), &count,
                       nullptr) ||
            count == 0) {
            return false;
        }
        done += count;
    }
    return true;
}

bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size)
{
    // A write at an offset moves a synchronous handle's position: put it back.
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(handle_of(file), LARGE_INTEGER{}, &position, FILE_CURRENT)) {
        return false;
    }
    bool written = true;
    for (std::size_t done = 0; written && done < size;) {
        OVERLAPPED overlapped = at_offset(offset + done);
        DWORD count = 0;
        written = WriteFile(handle_of(file), static_cast<const char*>(data) + done, chunk_size(size - done), &count,
                            &overlapped) &&
                  count != 0;
        done += count;
    }
    return SetFilePointerEx(handle_of(file), position, nullptr, FILE_BEGIN) && written;
}

bool set_file_size(OsFile file, std::uint64_t size)
{
    // Leaves the handle's position alone, as ftruncate does.
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool sync_file(OsFile file)
{
    return FlushFileBuffers(handle_of(file)) != 0;
}

CopyResult copy_range(OsFile from, std::uint64_t offset, std::uint64_t size, OsFile to)
{
    // Windows has no copy between two open handles; a large buffer keeps the
    // number of calls small.
    CopyResult result;
    std::vector<unsigned char> buffer(COPY_BUFFER_SIZE);
    while (result.copied < size) {
        const std::uint64_t left = size - result.copied;
        const std::size_t wanted = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
        const std::int64_t count = read_at(from, offset + result.copied, buffer.data(), wanted);
        if (count < 0) {
            result.error = IoError::reading;
            break;
        }
        if (count == 0) {
            break;
        }
        if (!write_all(to, buffer.data(), static_cast<std::size_t>(count))) {
            result.error = IoError::writing;
            break;
        }
        result.copied += static_cast<std::uint64_t>(count);
    }
    return result;
}

bool create_temporary_file(std::string& name, OsFile& file)
{
    // GetTempPathW: TMP, TEMP, then the profile's folder, ending in a backslash.
    std::wstring folder(32768, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0 || length >= folder.size()) {
        return false;
    }
    folder.resize(length);
    PrivateSecurity security;
    if (!make_private(security)) {
        return false;
    }
    install_interrupt_handler();
    // A name of our own, made afresh until one is new: nothing else can claim it
    // before CREATE_NEW does, and the handle is all that is used from then on.
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned int random = 0;
        if (rand_s(&random) != 0) {
            return false;
        }
        std::wstring file_name = L"rst";
        for (int shift = 28; shift >= 0; shift -= 4) {
            file_name += L"0123456789ABCDEF"[(random >> shift) & 0xF];
        }
        const std::string candidate = narrow((folder + file_name + L".tmp").c_str());
        const std::wstring path = wide_path(candidate);
        AcquireSRWLockExclusive(&interrupts.lock);
        const HANDLE handle =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        &security.attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            interrupts.temporary = path;
        }
        ReleaseSRWLockExclusive(&interrupts.lock);
        if (handle != INVALID_HANDLE_VALUE) {
            name = candidate;
            file = file_of(handle);
            return true;
        }
        // Only a name that is taken is worth another try.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
            return false;
        }
    }
    return false;
}

bool remove_file(const std::string& name)
{
    const std::wstring path = wide_path(name);
    if (DeleteFileW(path.c_str())) {
        return true;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void hold_interrupts()
{
    install_interrupt_handler();
    AcquireSRWLockExclusive(&interrupts.lock);
    interrupts.held = true;
    ReleaseSRWLockExclusive(&interrupts.lock);
}

void release_interrupts()
{
    std::fflush(stdout);
    AcquireSRWLockExclusive(&interrupts.lock);
    interrupts.held = false;
    interrupts.temporary.clear(); // deleted by now, or named by the backup notice
    const bool pending = interrupts.pending;
    ReleaseSRWLockExclusive(&interrupts.lock);
    if (pending) {
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT)); // here, before main can return 0
    }
}

void print_out(const std::string& text)
{
    print(STD_OUTPUT_HANDLE, text);
}

void print_error(const std::string& text)
{
    print(STD_ERROR_HANDLE, text);
}
