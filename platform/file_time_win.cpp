#include <windows.h>

#include "platform/file_time.h"

namespace launcher {

// The C runtime's stat, and so std::filesystem here, gives whole seconds only.
bool LastWriteTicks(const std::filesystem::path& path, int64_t& ticks) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    ULARGE_INTEGER value;
    value.LowPart = data.ftLastWriteTime.dwLowDateTime;
    value.HighPart = data.ftLastWriteTime.dwHighDateTime;
    ticks = static_cast<int64_t>(value.QuadPart);
    return true;
}

}  // namespace launcher
