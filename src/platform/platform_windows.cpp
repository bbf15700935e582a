// rand_s, the C runtime's cryptographic random numbers, is declared only on request.
#define _CRT_RAND_S

#include "system.hpp"

#include <windows.h>

#include <aclapi.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
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

bool drive_at(const std::wstring& path, std::size_t at)
{
    return path.size() >= at + 3 && iswalpha(path[at]) != 0 && path[at + 1] == L':' && path[at + 2] == L'\\';
}

// The name for the wide file functions, or empty where it names nothing a run
// may open: decided by the name alone, before anything is opened. Only drive
// and UNC paths and their \\?\ forms are files; everything else is a device
// (AUX, COM1, CON, \\.\..., \\?\GLOBALROOT\...), and a ':' after the drive
// names a file's alternate data stream, which shares the file's identity. A
// full path of MAX_PATH characters or more works only with the \\?\ prefix,
// which also turns off the system's own clean-up of names (/, . and ..,
// trailing dots), so GetFullPathNameW does that first.
std::wstring file_path(const std::string& name)
{
    const std::wstring wide = widen(name);
    const DWORD needed = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length = needed == 0 ? 0 : GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return L"";
    }
    full.resize(length);
    const bool prefixed = starts_with(full, L"\\\\?\\");
    const std::size_t at = prefixed ? 4 : 0;
    std::size_t rest = std::wstring::npos; // where a ':' is a stream's
    if (drive_at(full, at)) {
        rest = at + 2;
    } else if (prefixed ? starts_with(full.substr(at), L"UNC\\")
                        : starts_with(full, L"\\\\") && full[2] != L'.' && full[2] != L'?') {
        rest = at;
    }
    if (rest == std::wstring::npos || full.find(L':', rest) != std::wstring::npos) {
        return L"";
    }
    if (length < MAX_PATH) {
        return wide;
    }
    return prefixed ? full : starts_with(full, L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

OsFile open_file(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
{
    const std::wstring path = file_path(name);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return NO_FILE;
    }
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

// The \\?\ form of a final path without its prefix, as the user would type it.
std::string shown(const std::wstring& path)
{
    if (starts_with(path, L"\\\\?\\UNC\\")) {
        return narrow((L"\\\\" + path.substr(8)).c_str());
    }
    return narrow(starts_with(path, L"\\\\?\\") ? path.c_str() + 4 : path.c_str());
}

std::wstring final_path(HANDLE handle)
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    path.resize(length < path.size() ? length : 0);
    return path;
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
// deleting the files while interrupts are held, and from ending the program
// between a file's creation and the storing of its handle.
struct InterruptState {
    SRWLOCK lock = SRWLOCK_INIT;
    bool held = false;
    bool pending = false; // an interrupt came while held
    // Deleted on an interrupt before hold_interrupts(): the temporary file, and
    // the copy beside the input or an explicit run's new output.
    HANDLE files[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};
InterruptState interrupts;

// Runs in a thread of its own for every console event (Ctrl+C, Ctrl+Break, a
// closed console), each of which would end the program. It ends the program
// as Windows' own handler does, but only once the input is whole: a held
// interrupt waits here. (A closed console ends the process anyway once its
// time-out passes, as kill -9 would; logoff and shutdown never reach a
// console program. The copy beside the input protects the file then.)
BOOL WINAPI on_interrupt(DWORD)
{
    AcquireSRWLockExclusive(&interrupts.lock);
    if (interrupts.held) {
        // release_interrupts() ends the program; until then this thread waits.
        interrupts.pending = true;
        ReleaseSRWLockExclusive(&interrupts.lock);
        Sleep(INFINITE);
    }
    for (const HANDLE file : interrupts.files) {
        if (file != INVALID_HANDLE_VALUE) {
            delete_through(file);
        }
    }
    // Still holding the lock: the main thread cannot hold interrupts now.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Makes a file with CreateFileW and the handler's lock held, and registers it
// for deletion by an interrupt, so that no moment exists where it exists and
// no handler deletes it. Nothing is registered once interrupts are held.
HANDLE create_registered(const std::wstring& path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                         DWORD attributes)
{
    AcquireSRWLockExclusive(&interrupts.lock);
    const HANDLE handle = CreateFileW(path.c_str(), access, share, security, CREATE_NEW, attributes, nullptr);
    const DWORD error = GetLastError();
    HANDLE* const free = std::find(std::begin(interrupts.files), std::end(interrupts.files), INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE && !interrupts.held && free != std::end(interrupts.files)) {
        *free = handle;
    }
    ReleaseSRWLockExclusive(&interrupts.lock);
    SetLastError(error);
    return handle;
}

// The user's SID, with a security descriptor that lets the user alone open a
// file: the user's own SID (not the owner, which for an elevated
// administrator is the Administrators group), and nothing inherited from the
// folder.
struct PrivateSecurity {
    std::vector<unsigned char> user;
    std::vector<unsigned char> owner;
    std::vector<unsigned char> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

bool token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<unsigned char>& information)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    information.resize(size);
    return size != 0 && GetTokenInformation(token, kind, information.data(), size, &size);
}

bool make_private(PrivateSecurity& security)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    const bool found =
        token_information(token, TokenUser, security.user) && token_information(token, TokenOwner, security.owner);
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

// The file's owner, on the heap that LocalFree releases.
PSID owner_of(HANDLE file, PSECURITY_DESCRIPTOR& descriptor)
{
    PSID owner = nullptr;
    descriptor = nullptr;
    return GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                           &descriptor) == ERROR_SUCCESS
               ? owner
               : nullptr;
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

// The user's temporary folder, ending in a backslash: TMP, TEMP, then the profile's.
std::wstring temporary_folder()
{
    std::wstring folder(32768, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    folder.resize(length < folder.size() ? length : 0);
    return folder;
}

} // namespace

void prepare_process()
{
    // Windows has no signal for a closed pipe or a size limit, and no file takes
    // the place of a missing standard handle. A drive that fails (removed media)
    // is to fail the call, not to open a dialog box that holds the run; the
    // parent's other choices stay. An interrupt ends the run through our
    // handler from the start, so that it ends alike everywhere.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SetConsoleCtrlHandler(on_interrupt, TRUE);
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

OsFile open_for_reading(const std::string& name, WaitNotice)
{
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open. Windows breaks
    // another program's opportunistic lock itself.
    return open_file(name, GENERIC_READ, SHARE_ALL, OPEN_EXISTING);
}

OsFile open_for_update(const std::string& name, bool& writable, WaitNotice notice)
{
    // Shared for reading and writing, so that a second run opens it too and
    // then waits for the lock; not for deleting, so that no one renames or
    // deletes it meanwhile. Refused for writing (the read-only attribute, an
    // ACL, another program that does not share writing), it opens for reading.
    const OsFile file =
        open_file(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    writable = file != NO_FILE;
    return writable ? file : open_for_reading(name, notice);
}

OsFile open_or_create_for_writing(const std::string& name, const FileState&, bool& created, WaitNotice)
{
    created = false;
    if (_wcsicmp(widen(name).c_str(), L"NUL") == 0) {
        return file_of(CreateFileW(L"\\\\.\\NUL", GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    // A new file gets the folder's inherited ACL (POSIX permission bits have no
    // meaning here), and may be deleted again through its handle. An existing
    // one is opened as it is: CREATE_ALWAYS would refuse a hidden or system
    // file, replace its attributes and cut it before it has shown not to be
    // the input.
    const std::wstring path = file_path(name);
    if (path.empty()) {
        return NO_FILE;
    }
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE handle = create_registered(path, GENERIC_WRITE | DELETE, share, nullptr, FILE_ATTRIBUTE_NORMAL);
    created = handle != INVALID_HANDLE_VALUE;
    return created || GetLastError() != ERROR_FILE_EXISTS
               ? file_of(handle)
               : file_of(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, 0, nullptr));
}

bool close_file(OsFile file)
{
    return CloseHandle(handle_of(file)) != 0;
}

// One byte far beyond any file's data: other runs wait for it, while reads
// and writes of the data through any handle are not blocked.
constexpr std::uint64_t LOCK_OFFSET = 0xFFFFFFFFFFFFFFFEull;

LockResult lock_file(OsFile file, LockMode mode, bool wait)
{
    OVERLAPPED overlapped = at_offset(LOCK_OFFSET);
    const DWORD flags =
        (mode == LockMode::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(handle_of(file), flags, 0, 1, 0, &overlapped)) {
        return LockResult::locked;
    }
    const DWORD error = GetLastError();
    return !wait && (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) ? LockResult::busy
                                                                                 : LockResult::failed;
}

void unlock_file(OsFile file)
{
    OVERLAPPED overlapped = at_offset(LOCK_OFFSET);
    UnlockFileEx(handle_of(file), 0, 1, 0, &overlapped);
}

bool state_of(OsFile file, FileState& state)
{
    const HANDLE handle = handle_of(file);
    state = FileState{};
    // A pipe or a character device (NUL, the console) holds no data of its own.
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        state.kind = FileKind::device_or_pipe;
        return type != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
    }
    BY_HANDLE_FILE_INFORMATION information;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(handle, &information) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    state.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::folder : FileKind::regular;
    // The volume's 32-bit serial, which both ways of asking give; the 128-bit
    // file ID where the volume has one (ReFS, Dev Drive), whose 64-bit index
    // may repeat, else the 64-bit one. Zeros, where a file system gives none,
    // are an unknown identity.
    state.device = information.dwVolumeSerialNumber;
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        static_assert(sizeof id.FileId == 2 * sizeof state.index, "a 128-bit file ID");
        std::memcpy(&state.index, id.FileId.Identifier, sizeof state.index);
        std::memcpy(&state.index_high, id.FileId.Identifier + sizeof state.index, sizeof state.index_high);
    } else {
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

std::string final_name(OsFile file)
{
    return shown(final_path(handle_of(file)));
}

std::int64_t read_at(OsFile file, std::uint64_t offset, void* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at = at_offset(offset + done);
        DWORD count = 0;
        if (!ReadFile(handle_of(file), static_cast<char*>(data) + done, chunk_size(size - done), &count, &at)) {
            return GetLastError() == ERROR_HANDLE_EOF ? static_cast<std::int64_t>(done) : -1;
        }
        if (count == 0) {
            break;
        }
        done += count;
    }
    return static_cast<std::int64_t>(done);
}

bool write_at(OsFile file, std::uint64_t offset, const void* data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        OVERLAPPED at = at_offset(offset + done);
        DWORD count = 0;
        if (!WriteFile(handle_of(file), static_cast<const char*>(data) + done, chunk_size(size - done), &count,
                       offset == SEQUENTIAL ? nullptr : &at) ||
            count == 0) {
            return false;
        }
        done += count;
    }
    return true;
}

bool set_file_size(OsFile file, std::uint64_t size)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool reserve_file_size(OsFile file, std::uint64_t size)
{
    // Setting the end allocates the space, but on sparse or compressed files.
    return set_file_size(file, size);
}

bool sync_file(OsFile file)
{
    return FlushFileBuffers(handle_of(file)) != 0;
}

std::uint64_t file_size_limit()
{
    return UINT64_MAX; // Windows has no such limit
}

std::uint64_t copy_in_kernel(OsFile, std::uint64_t, std::uint64_t, OsFile, std::uint64_t)
{
    return 0; // Windows has no copy between two open handles
}

bool create_temporary_file(TemporaryFile& temporary, FolderCheck& check)
{
    const std::wstring folder = temporary_folder();
    check.folder = narrow(folder.c_str());
    const DWORD attributes = folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
    check.problem = attributes == INVALID_FILE_ATTRIBUTES          ? FolderProblem::missing
                    : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? FolderProblem::not_folder
                                                                   : FolderProblem::none;
    PrivateSecurity security;
    if (check.problem != FolderProblem::none || !make_private(security)) {
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
        const HANDLE handle =
            create_registered(file_path(candidate), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, &security.attributes, FILE_ATTRIBUTE_NORMAL);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            temporary = {candidate, file_of(handle)};
            return true;
        }
        // Only a name that is taken (or a file still being deleted) is worth another try.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
            break;
        }
    }
    check.problem = FolderProblem::not_writable;
    return false;
}

bool real_location(const std::string& name, std::string& folder, std::string& file_name)
{
    const OsFile file = open_file(name, 0, SHARE_ALL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (file == NO_FILE) {
        return false;
    }
    const std::string path = shown(final_path(handle_of(file)));
    CloseHandle(handle_of(file));
    const std::size_t end = path.find_last_of('\\') + 1;
    folder = path.substr(0, end);
    file_name = path.substr(end);
    return !path.empty();
}

std::string fallback_folder()
{
    return narrow(temporary_folder().c_str());
}

bool create_copy_file(const std::string& folder, const std::string& name, const FileState&, TemporaryFile& made)
{
    // Hidden, as its name's leading dot would hide it elsewhere; with the
    // folder's inherited ACL, as the input has.
    const std::wstring path = file_path(folder + name);
    const HANDLE handle = path.empty()
                              ? INVALID_HANDLE_VALUE
                              : create_registered(path, GENERIC_READ | GENERIC_WRITE | DELETE,
                                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, FILE_ATTRIBUTE_HIDDEN);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    made = {folder + name, file_of(handle)};
    return true;
}

OsFile open_trusted_copy(const std::string& path, OsFile input, bool& found)
{
    const OsFile file = open_file(path, GENERIC_READ | DELETE, SHARE_ALL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    const DWORD error = GetLastError();
    found = file != NO_FILE || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND);
    if (file == NO_FILE) {
        return NO_FILE;
    }
    BY_HANDLE_FILE_INFORMATION information;
    PrivateSecurity us;
    PSECURITY_DESCRIPTOR copy_descriptor = nullptr;
    PSECURITY_DESCRIPTOR input_descriptor = nullptr;
    const PSID owner = owner_of(handle_of(file), copy_descriptor);
    const PSID input_owner = owner_of(handle_of(input), input_descriptor);
    // A regular file, no link, of ours (the user, or the owner the user's
    // files get) or of the input's owner.
    const bool trusted =
        owner != nullptr && GetFileInformationByHandle(handle_of(file), &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
        make_private(us) &&
        (EqualSid(owner, reinterpret_cast<TOKEN_USER*>(us.user.data())->User.Sid) ||
         EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(us.owner.data())->Owner) ||
         (input_owner != nullptr && EqualSid(owner, input_owner)));
    LocalFree(copy_descriptor);
    LocalFree(input_descriptor);
    if (!trusted) {
        CloseHandle(handle_of(file));
    }
    return trusted ? file : NO_FILE;
}

bool commit_file(TemporaryFile& file, const std::string& name)
{
    // Through the handle, never over an existing file; then flushed, as
    // MOVEFILE_WRITE_THROUGH does not cover a plain rename.
    const std::wstring path = file_path(name);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, path.data(), rename->FileNameLength);
    if (path.empty() ||
        !SetFileInformationByHandle(handle_of(file.file), FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
        return false;
    }
    file.name = name;
    return FlushFileBuffers(handle_of(file.file)) != 0;
}

bool delete_file(const TemporaryFile& file)
{
    forget_on_interrupt(file.file);
    return delete_through(handle_of(file.file));
}

void forget_on_interrupt(OsFile file)
{
    AcquireSRWLockExclusive(&interrupts.lock);
    std::replace(std::begin(interrupts.files), std::end(interrupts.files), handle_of(file), INVALID_HANDLE_VALUE);
    ReleaseSRWLockExclusive(&interrupts.lock);
}

void hold_interrupts()
{
    AcquireSRWLockExclusive(&interrupts.lock);
    interrupts.held = true;
    std::fill(std::begin(interrupts.files), std::end(interrupts.files), INVALID_HANDLE_VALUE); // only delete_file() now
    ReleaseSRWLockExclusive(&interrupts.lock);
}

bool interrupt_pending()
{
    AcquireSRWLockExclusive(&interrupts.lock);
    const bool pending = interrupts.held && interrupts.pending;
    ReleaseSRWLockExclusive(&interrupts.lock);
    return pending;
}

void release_interrupts()
{
    const bool pending = interrupt_pending();
    AcquireSRWLockExclusive(&interrupts.lock);
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
            write_at(file_of(handle), SEQUENTIAL, text.data(), text.size());
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

bool error_stream_ready()
{
    // A pipe may be full, and Windows cannot tell without waiting.
    const HANDLE handle = standard_handle(Stream::error);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_PIPE;
}
