#include <windows.h>

#include <string>

#include "support/pinned.h"

namespace launcher::test {

PinnedFile::PinnedFile(const std::filesystem::path& file) : file_(file) {
    HANDLE held = CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        why_ = "the file could not be opened (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    handle_ = held;
    pinned_ = true;
}

PinnedFile::~PinnedFile() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace launcher::test
