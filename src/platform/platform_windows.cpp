#include "platform.hpp"

#include <windows.h>

int create_temporary_file(char* buffer, std::size_t size)
{
    // The user's temporary folder (TMP, TEMP, then the profile's), never the
    // drive's root, where an ordinary account may not create files.
    char folder[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH || size < MAX_PATH) {
        return 1;
    }
    // Creates the file, so that the name is ours until we delete it.
    return GetTempFileNameA(folder, "rst", 0, buffer) == 0 ? 1 : 0;
}

std::filesystem::path native_path(const std::string& name)
{
    // fopen reads narrow names in the code page of the file functions, while
    // std::filesystem would take each byte for one character: a name holding €
    // would then lead the copy-back to another file.
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int length = MultiByteToWideChar(code_page, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
    return wide;
}
