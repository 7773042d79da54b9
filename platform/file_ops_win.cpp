#include <windows.h>

#include "platform/file_ops.h"

namespace launcher {

namespace {

std::string SystemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string out;
    if (n > 0 && buffer) {
        int len = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        out.resize(static_cast<size_t>(len));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), out.data(), len, nullptr, nullptr);
    }
    if (buffer) LocalFree(buffer);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    if (out.empty()) out = "error " + std::to_string(code);
    return out;
}

}  // namespace

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
    err = SystemMessage(GetLastError());
    return false;
}

}  // namespace launcher
