#include <windows.h>

#include "platform/file_in_use.h"
#include "platform/process.h"

namespace launcher {

bool FileInUse(const std::filesystem::path& file, std::string& why) {
    // Asking for write and delete access while sharing everything fails only where another handle
    // refuses to share them, as the image of a running program does.
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION) return false;
    SetLastError(code);
    why = SystemErrorText("it is in use");
    return true;
}

}  // namespace launcher
