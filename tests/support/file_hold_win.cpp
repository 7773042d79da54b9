#include <windows.h>

#include "support/file_hold.h"

namespace launcher::test {

FileHold::~FileHold() {
    Release();
}

bool FileHold::Hold(const std::filesystem::path& file, Share share) {
    Release();
    const DWORD mode = share == Share::Reading ? FILE_SHARE_READ : 0;
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, mode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = h;
    return true;
}

void FileHold::Release() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

}  // namespace launcher::test
