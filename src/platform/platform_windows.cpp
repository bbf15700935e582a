// rand_s, the C runtime's cryptographic random numbers, is declared only on request.
#define _CRT_RAND_S

#include "system.hpp"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <shellapi.h>

namespace {

constexpr DWORD MAX_IO = 1 << 30; // one ReadFile or WriteFile call at most
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FileDispositionInfoEx (Windows 10 1607), which MinGW-w64 declares only for a
// _WIN32_WINNT that never comes: the class after FileIdExtdDirectoryRestartInfo.
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(FileIdExtdDirectoryRestartInfo + 1);

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

// ReadFile and WriteFile at an offset move a synchronous handle's position,
// which pread and pwrite leave alone: the caller puts it back.
bool position_of(HANDLE handle, LARGE_INTEGER& position)
{
    return SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) != 0;
}

bool set_position(HANDLE handle, LARGE_INTEGER position)
{
    return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) != 0;
}

// Writes all size bytes, at the handle's position or, when offset is given, there.
bool write_fully(HANDLE handle, const void* data, std::size_t size, const std::uint64_t* offset)
{
    for (std::size_t done = 0; done < size;) {
        OVERLAPPED at = offset == nullptr ? OVERLAPPED{} : at_offset(*offset + done);
        DWORD count = 0;
        if (!WriteFile(handle, static_cast<const char*>(data) + done, chunk_size(size - done), &count,
                       offset == nullptr ? nullptr : &at) ||
            count == 0) {
            return false;
        }
        done += count;
    }
    return true;
}

// Deletes a file through a handle that may delete it: at once with POSIX
// semantics, so that another program's handle (a virus scanner, an indexer)
// neither fails the deletion nor keeps the name; where the file system has no
// such deletion, once the last handle closes. A file already on its way out
// counts as deleted.
bool delete_through(HANDLE handle)
{
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    FILE_DISPOSITION_INFO classic{TRUE};
    FILE_STANDARD_INFO standard{};
    return SetFileInformationByHandle(handle, DISPOSITION_INFO_EX, &posix, sizeof posix) ||
           SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic) ||
           (GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) &&
            standard.DeletePending);
}

// What the console control handler works with. The lock keeps the handler from
// deleting the temporary file while interrupts are held, and from ending the
// program between the file's creation and the storing of its handle.
struct InterruptState {
    SRWLOCK lock = SRWLOCK_INIT;
    bool installed = false;
    bool held = false;
    bool pending = false;                    // an interrupt came while held
    HANDLE temporary = INVALID_HANDLE_VALUE; // deleted on an interrupt before hold_interrupts()
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
    if (interrupts.held) {
        // release_interrupts() ends the program; until then this thread waits.
        interrupts.pending = true;
        ReleaseSRWLockExclusive(&interrupts.lock);
        Sleep(INFINITE);
    }
    if (interrupts.temporary != INVALID_HANDLE_VALUE) {
        delete_through(interrupts.temporary);
    }
    // Still holding the lock: the main thread cannot hold interrupts now.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Called with the lock held.
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

HANDLE standard_handle(Stream stream)
{
    return GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

} // namespace

void prepare_process()
{
    // Windows has no signal for a closed pipe or a size limit, and no file takes
    // the place of a missing standard handle. A drive that fails (removed media)
    // is to fail the call, not to open a dialog box that holds the run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool command_line(int, char*[], std::vector<std::string>& arguments)
{
    // The ANSI argv has lost every character outside the code page: never used.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return false;
    }
    arguments.clear();
    for (int i = 0; i < count; ++i) {
        arguments.push_back(narrow(wide[i]));
    }
    LocalFree(wide);
    return true;
}

OsFile open_for_reading(const std::string& name)
{
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open.
    return open_file(name, GENERIC_READ, SHARE_ALL, OPEN_EXISTING);
}

OsFile open_for_update(const std::string& name, bool& writable)
{
    // Shared for reading and writing, so that a second run opens it too and
    // then waits for the lock; not for deleting, so that no one renames or
    // deletes it meanwhile. Refused for writing (the read-only attribute, an
    // ACL, another program that does not share writing), it opens for reading.
    const OsFile file =
        open_file(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    writable = file != NO_FILE;
    return writable ? file : open_for_reading(name);
}

OsFile open_or_create_for_writing(const std::string& name, const FileState&)
{
    // A new file gets the folder's inherited ACL; POSIX permission bits have no
    // meaning here. OPEN_ALWAYS, not CREATE_ALWAYS, which would refuse an
    // existing hidden or system file, replace its attributes and cut it before
    // it has shown not to be the input.
    return open_file(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
}

bool close_file(OsFile file)
{
    return CloseHandle(handle_of(file)) != 0;
}

LockResult lock_file(OsFile file, LockMode mode, bool wait)
{
    // One byte far beyond any file's data: other runs wait for it, while reads
    // and writes of the data through any handle are not blocked.
    OVERLAPPED overlapped = at_offset(0xFFFFFFFFFFFFFFFEull);
    const DWORD flags =
        (mode == LockMode::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(handle_of(file), flags, 0, 1, 0, &overlapped)) {
        return LockResult::locked;
    }
    const DWORD error = GetLastError();
    return !wait && (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) ? LockResult::busy
                                                                                 : LockResult::failed;
}

bool state_of(OsFile file, FileState& state)
{
    const HANDLE handle = handle_of(file);
    state = FileState{};
    // A pipe or a character device (NUL, the console) holds no data of its own.
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        state.kind = FileKind::device;
        return type != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
    }
    BY_HANDLE_FILE_INFORMATION information;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(handle, &information) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    state.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::other : FileKind::regular;
    // The 128-bit file ID where the volume has one (ReFS, Dev Drive), whose
    // 64-bit index may repeat; else the 64-bit one.
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        static_assert(sizeof id.FileId == 2 * sizeof state.index, "a 128-bit file ID");
        state.device = id.VolumeSerialNumber;
        std::memcpy(&state.index, id.FileId.Identifier, sizeof state.index);
        std::memcpy(&state.index_high, id.FileId.Identifier + sizeof state.index, sizeof state.index_high);
    } else {
        state.device = information.dwVolumeSerialNumber;
        state.index = join(information.nFileIndexHigh, information.nFileIndexLow);
    }
    state.size = join(information.nFileSizeHigh, information.nFileSizeLow);
    // The change time also moves when content is put back with an old write time.
    state.modified = basic.LastWriteTime.QuadPart;
    state.changed = basic.ChangeTime.QuadPart;
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

bool state_of(Stream stream, FileState& state)
{
    const HANDLE handle = standard_handle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && state_of(file_of(handle), state);
}

std::int64_t read_at(OsFile file, std::uint64_t offset, void* data, std::size_t size)
{
    const HANDLE handle = handle_of(file);
    LARGE_INTEGER position{};
    const bool positioned = position_of(handle, position); // a pipe has no position
    std::size_t done = 0;
    bool failed = false;
    while (done < size) {
        OVERLAPPED at = at_offset(offset + done);
        DWORD count = 0;
        if (!ReadFile(handle, static_cast<char*>(data) + done, chunk_size(size - done), &count, &at)) {
            failed = GetLastError() != ERROR_HANDLE_EOF;
            break;
        }
        if (count == 0) {
            break;
        }
        done += count;
    }
    const bool restored = !positioned || set_position(handle, position);
    return failed || !restored ? -1 : static_cast<std::int64_t>(done);
}

bool write_all(OsFile file, const void* data, std::size_t size)
{
    return write_fully(handle_of(file), data, size, nullptr);
}

bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size)
{
    const HANDLE handle = handle_of(file);
    LARGE_INTEGER position{};
    if (!position_of(handle, position)) {
        return false;
    }
    const bool written = write_fully(handle, data, size, &offset);
    return set_position(handle, position) && written;
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

std::uint64_t file_size_limit()
{
    return UINT64_MAX; // Windows has no such limit
}

std::uint64_t copy_in_kernel(OsFile, std::uint64_t, std::uint64_t, OsFile)
{
    return 0; // Windows has no copy between two open handles
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
    // A name of our own, made afresh until one is new: nothing else can claim it
    // before CREATE_NEW does, and the handle is all that is used from then on.
    // The .png suffix lets the user open a backup copy left behind after a failure.
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned int random = 0;
        if (rand_s(&random) != 0) {
            return false;
        }
        std::wstring file_name = L"rst";
        for (int shift = 28; shift >= 0; shift -= 4) {
            file_name += L"0123456789ABCDEF"[(random >> shift) & 0xF];
        }
        const std::string candidate = narrow((folder + file_name + L".png").c_str());
        const std::wstring path = wide_path(candidate);
        // The handle and the handler that deletes the file come with the file,
        // with no moment between them for an interrupt.
        AcquireSRWLockExclusive(&interrupts.lock);
        install_interrupt_handler();
        const HANDLE handle =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        &security.attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            interrupts.temporary = handle;
        }
        ReleaseSRWLockExclusive(&interrupts.lock);
        if (handle != INVALID_HANDLE_VALUE) {
            name = candidate;
            file = file_of(handle);
            return true;
        }
        // Only a name that is taken (or a file still being deleted) is worth another try.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
            return false;
        }
    }
    return false;
}

bool remove_temporary_file(const std::string&, OsFile file)
{
    return delete_through(handle_of(file));
}

void hold_interrupts()
{
    AcquireSRWLockExclusive(&interrupts.lock);
    install_interrupt_handler();
    interrupts.held = true;
    interrupts.temporary = INVALID_HANDLE_VALUE; // only remove_temporary_file() deletes it now
    ReleaseSRWLockExclusive(&interrupts.lock);
}

void release_interrupts()
{
    AcquireSRWLockExclusive(&interrupts.lock);
    const bool pending = interrupts.held && interrupts.pending;
    interrupts.held = false;
    ReleaseSRWLockExclusive(&interrupts.lock);
    if (pending) {
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT)); // here, before main can go on
    }
}

void write_text(Stream stream, const char* data, std::size_t size)
{
    const HANDLE handle = standard_handle(stream);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    try {
        const std::string text = with_crlf(std::string(data, size));
        if (!GetConsoleMode(handle, &mode)) {
            write_fully(handle, text.data(), text.size(), nullptr);
            return;
        }
        // The console shows every name as typed, whatever its code page.
        const std::wstring wide = widen(text);
        DWORD written = 0;
        for (std::size_t done = 0; done < wide.size(); done += written) {
            if (!WriteConsoleW(handle, wide.data() + done, chunk_size(wide.size() - done), &written, nullptr) ||
                written == 0) {
                return;
            }
        }
    } catch (...) {
        // Out of memory: the exit status still tells.
    }
}
