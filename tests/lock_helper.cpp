// Holds a file as another program would, until its standard input ends:
//   lock_helper FILE exclusive|shared|deny-write|map
// with the lock restamp takes on a file (one byte far beyond its data),
// exclusive or shared; with no lock but sharing reading alone, so that no one
// else may open it for writing; or with a view of it mapped, so that no one
// may make it shorter. Says "ready" once it holds the file. Then writes what
// it read, if anything, into the file and ends, releasing it: a run that
// waited for it reads the new content.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    const std::string mode = argc == 3 ? argv[2] : "";
    const bool lock = mode == "exclusive" || mode == "shared";
    const DWORD share = mode == "deny-write" ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file =
        lock || mode == "deny-write" || mode == "map"
            ? CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr)
            : INVALID_HANDLE_VALUE;
    OVERLAPPED beyond{};
    beyond.Offset = 0xFFFFFFFE;
    beyond.OffsetHigh = 0xFFFFFFFF;
    const DWORD flags = mode == "exclusive" ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    const HANDLE mapping =
        mode == "map" ? CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr) : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE || (lock && !LockFileEx(file, flags, 0, 1, 0, &beyond)) ||
        (mode == "map" && (mapping == nullptr || MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) == nullptr))) {
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
