#include <windows.h>

#include <vector>

#include "app/self_path.h"

namespace launcher {

std::filesystem::path SystemSelfExePath() {
    // Grow the buffer until the whole path fits: an install folder may lie deeper than MAX_PATH.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::filesystem::path(std::wstring(buffer.data(), n));
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace launcher
