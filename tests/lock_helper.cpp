// Holds the lock restamp takes on a file (one byte far beyond its data),
// exclusive or shared, until its standard input ends. Says "ready" once it
// holds the lock. Then writes what it read, if anything, into the file and
// ends, releasing the lock: a run that waited for it reads the new content.
//   lock_helper FILE exclusive|shared
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    const std::string mode = argc == 3 ? argv[2] : "";
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = mode == "exclusive" || mode == "shared" ? CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE,
                                                                              share, nullptr, OPEN_EXISTING, 0, nullptr)
                                                                : INVALID_HANDLE_VALUE;
    OVERLAPPED beyond{};
    beyond.Offset = 0xFFFFFFFE;
    beyond.OffsetHigh = 0xFFFFFFFF;
    const DWORD flags = mode == "exclusive" ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (file == INVALID_HANDLE_VALUE || !LockFileEx(file, flags, 0, 1, 0, &beyond)) {
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
