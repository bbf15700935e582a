// Holds a file as another program would.
//   lock_helper FILE exclusive|shared|deny-write
// Until its standard input ends: with the lock restamp takes on a file (one
// byte far beyond its data), exclusive or shared, or with no lock but sharing
// reading alone, so that no one else may open it for writing. Says "ready"
// once it holds the file. Then writes what it read, if anything, into the file
// and ends, releasing it: a run that waited for it reads the new content.
//   lock_helper FILE stdout COMMAND_LINE
// Runs the command with FILE as its standard output, opened as Windows' cmd
// opens "> FILE": shared for reading and writing (Wine's cmd does not share
// writing). Ends with the command's exit status.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

DWORD run_into(const char* name, char* command_line)
{
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE output = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    DWORD status = 255;
    if (output != INVALID_HANDLE_VALUE &&
        CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
    }
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc >= 3 ? argv[2] : "";
    if (mode == "stdout" && argc == 4) {
        return static_cast<int>(run_into(argv[1], argv[3]));
    }
    const bool deny_write = mode == "deny-write";
    const DWORD share = deny_write ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file =
        argc == 3 && (mode == "exclusive" || mode == "shared" || deny_write)
            ? CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr)
            : INVALID_HANDLE_VALUE;
    OVERLAPPED beyond{};
    beyond.Offset = 0xFFFFFFFE;
    beyond.OffsetHigh = 0xFFFFFFFF;
    const DWORD flags = mode == "exclusive" ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (file == INVALID_HANDLE_VALUE || (!deny_write && !LockFileEx(file, flags, 0, 1, 0, &beyond))) {
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    std::string content;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) && count > 0) {
        content.append(buffer, count);
    }
    return content.empty() || (WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &count, nullptr) &&
                               SetEndOfFile(file))
               ? 0
               : 1;
}
