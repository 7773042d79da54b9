#include <windows.h>

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

}  // namespace launcher
