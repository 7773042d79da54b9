#include <windows.h>

#include "platform/file_ops.h"

namespace launcher {

namespace fs = std::filesystem;

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

// The full path in the "\\?\" form, so build trees deeper than MAX_PATH can be walked and removed.
std::wstring LongForm(const fs::path& path) {
    const std::wstring& text = path.native();
    if (text.rfind(L"\\\\?\\", 0) == 0) return text;
    DWORD n = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (n == 0) return text;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(text.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return text;
    full.resize(n);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool Missing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Deletes one entry that is not entered: a file, a file link (DeleteFileW) or a folder link, junction or
// emptied folder (RemoveDirectoryW). A read-only attribute is cleared and the delete tried again.
DWORD DeleteEntry(const std::wstring& path, DWORD attributes) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    auto once = [&]() -> DWORD {
        BOOL ok = folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
        if (ok) return ERROR_SUCCESS;
        DWORD code = GetLastError();
        return Missing(code) ? ERROR_SUCCESS : code;
    };
    DWORD code = once();
    if (code != ERROR_SUCCESS && folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Wine shows a host symbolic link to a folder as a folder reparse point that only DeleteFileW
        // removes; on Windows DeleteFileW refuses a folder, so this never reaches what the link leads to.
        if (DeleteFileW(path.c_str())) return ERROR_SUCCESS;
    }
    if (code == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        code = once();
    }
    return code;
}

bool Fail(const std::wstring& at, DWORD code, std::string& err, fs::path* failedAt) {
    err = SystemMessage(code);
    if (failedAt) {
        std::wstring shown = at;
        if (shown.rfind(L"\\\\?\\UNC\\", 0) == 0) {
            shown = L"\\\\" + shown.substr(8);
        } else if (shown.rfind(L"\\\\?\\", 0) == 0) {
            shown = shown.substr(4);
        }
        *failedAt = fs::path(shown);
    }
    return false;
}

bool RemoveBelow(const std::wstring& path, DWORD attributes, std::string& err, fs::path* failedAt) {
    // A reparse point (symbolic link, junction, mount point) goes as itself, whatever it leads to.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (DWORD code = DeleteEntry(path, attributes)) return Fail(path, code, err, failedAt);
        return true;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (Missing(code)) return true;
        if (code != ERROR_NO_MORE_FILES) return Fail(path, code, err, failedAt);
    } else {
        // An entry that cannot go does not keep the others: the first failure is the one reported.
        bool ok = true;
        do {
            const wchar_t* name = data.cFileName;
            if ((name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0)) continue;
            if (ok) {
                ok = RemoveBelow(path + L"\\" + name, data.dwFileAttributes, err, failedAt);
            } else {
                std::string ignored;
                RemoveBelow(path + L"\\" + name, data.dwFileAttributes, ignored, nullptr);
            }
        } while (FindNextFileW(find, &data));
        const DWORD code = GetLastError();
        FindClose(find);
        if (!ok) return false;
        if (code != ERROR_NO_MORE_FILES && code != ERROR_SUCCESS) return Fail(path, code, err, failedAt);
    }
    if (DWORD code = DeleteEntry(path, attributes)) return Fail(path, code, err, failedAt);
    return true;
}

uint64_t SizeBelow(const std::wstring& path, DWORD attributes, uint64_t ownSize) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ownSize;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return 0;
    uint64_t total = 0;
    do {
        const wchar_t* name = data.cFileName;
        if ((name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0)) continue;
        const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        total += SizeBelow(path + L"\\" + name, data.dwFileAttributes, size);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return total;
}

}  // namespace

bool IsLink(const fs::path& path) {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(LongForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool EntryExists(const fs::path& path) {
    if (path.empty()) return false;
    return GetFileAttributesW(LongForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const fs::path& path, std::string& err, fs::path* failedAt) {
    if (path.empty()) return true;
    const std::wstring full = LongForm(path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD code = GetLastError();
        if (Missing(code)) return true;
        return Fail(full, code, err, failedAt);
    }
    return RemoveBelow(full, attributes, err, failedAt);
}

uint64_t TreeSize(const fs::path& folder) {
    if (folder.empty()) return 0;
    const std::wstring full = LongForm(folder);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) return 0;
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return SizeBelow(full, data.dwFileAttributes, size);
}

bool MoveReplacing(const fs::path& from, const fs::path& to, std::string& err) {
    if (MoveFileExW(LongForm(from).c_str(), LongForm(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return true;
    }
    err = SystemMessage(GetLastError());
    return false;
}

}  // namespace launcher
