#include <windows.h>

#include <string>

#include "platform/file_id.h"

namespace launcher {

// The C runtime's stat gives no file number on Windows, so the handle is asked.
bool IdentifyFile(const std::filesystem::path& path, FileId& id) {
    // Backup semantics open folders too; without FILE_FLAG_OPEN_REPARSE_POINT links are followed.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!ok) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return IsKnownFileIndex(id.index);
}

bool ResolvePath(const std::filesystem::path& path, std::filesystem::path& resolved) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::wstring name(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
    if (n >= name.size()) {
        name.resize(n);
        n = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(file);
    if (n == 0 || n >= name.size()) return false;
    name.resize(n);
    // The system's name starts with "\\?\" (a drive) or "\\?\UNC\" (a share).
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        name = L"\\\\" + name.substr(8);
    } else if (name.rfind(L"\\\\?\\", 0) == 0) {
        name = name.substr(4);
    }
    resolved = name;
    return true;
}

}  // namespace launcher
