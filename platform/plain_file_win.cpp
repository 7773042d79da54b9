#include <windows.h>

#include "platform/file_ops.h"
#include "platform/plain_file.h"
#include "platform/process.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int kTries = 5;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Our own codes beside the system's (bit 29 marks codes that are no system's).
constexpr DWORD kFollowedLinkCode = 0x20000101;
constexpr DWORD kFolderCode = 0x20000102;

std::string Reason(DWORD code) {
    if (code == kFollowedLinkCode) return "a link stands there that cannot be removed as itself";
    if (code == kFolderCode) return "a folder stands there";
    return SystemReason(code);
}

std::wstring FinalPath(HANDLE h) {
    std::wstring out(MAX_PATH, L'\0');
    for (int i = 0; i < 2; ++i) {
        const DWORD n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < out.size()) {
            out.resize(n);
            return out;
        }
        out.resize(n + 1);
    }
    return {};
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Whether the handle is on the entry at `path` itself rather than on what a link there leads to. Windows
// opens the link itself when asked (its attributes then say so), Wine opens the host link's target: the
// handle's own path then is not the folder's path and the name.
bool OnTheNameItself(HANDLE h, const fs::path& path) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(L".");
    HANDLE parent = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) return false;
    std::wstring expected = FinalPath(parent);
    CloseHandle(parent);
    const std::wstring actual = FinalPath(h);
    if (expected.empty() || actual.empty()) return false;
    if (expected.back() != L'\\') expected += L'\\';
    return SameName(actual, expected + path.filename().native());
}

enum class Standing { kPlain, kReplace, kRefuse };

// What the open handle shows: a plain file of one name to keep; a link on Windows, a second name of a
// file or another kind of entry to replace; a folder, or a link Wine followed, to refuse.
Standing Look(HANDLE h, const fs::path& path, DWORD& code) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandle(h, &info)) {
        code = GetLastError();
        return Standing::kRefuse;
    }
    if (IsLinkReparsePoint(tag.FileAttributes, tag.ReparseTag)) return Standing::kReplace;
    if (!OnTheNameItself(h, path)) {
        code = kFollowedLinkCode;
        return Standing::kRefuse;
    }
    if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        code = kFolderCode;
        return Standing::kRefuse;
    }
    return info.nNumberOfLinks > 1 ? Standing::kReplace : Standing::kPlain;
}

// Removes the entry at `path` itself through a handle opened on it; 0 when nothing stands there now.
DWORD Remove(const fs::path& path) {
    HANDLE h = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? 0 : code;
    }
    DWORD code = 0;
    if (Look(h, path, code) != Standing::kRefuse) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        if (!SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose)) code = GetLastError();
    }
    CloseHandle(h);
    return code;
}

// A new file at `path` in place of what stands there; created exclusively, so nothing at the name is
// ever opened through.
HANDLE CreateFresh(const fs::path& path, DWORD& code) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if ((code = Remove(path)) != 0) return INVALID_HANDLE_VALUE;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
    }
    // Something stands there that no call opens or removes: under Wine, a host link to nothing.
    code = kFollowedLinkCode;
    return INVALID_HANDLE_VALUE;
}

}  // namespace

PlainFile::~PlainFile() {
    if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool PlainFile::OpenForAppend(const fs::path& path, uint64_t& size, std::string& err) {
    if (handle_ != kNone) Close(err);
    // Opening an existing entry writes nothing to it, so a link Wine follows here costs nothing.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD code = 0;
    if (h != INVALID_HANDLE_VALUE) {
        const Standing standing = Look(h, path, code);
        LARGE_INTEGER length{};
        if (standing == Standing::kPlain && GetFileSizeEx(h, &length) &&
            SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_END)) {
            handle_ = reinterpret_cast<intptr_t>(h);
            size = static_cast<uint64_t>(length.QuadPart);
            return true;
        }
        CloseHandle(h);
        if (standing == Standing::kRefuse) {
            err = Reason(code);
            return false;
        }
    }
    h = CreateFresh(path, code);
    if (h == INVALID_HANDLE_VALUE) {
        err = Reason(code);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    size = 0;
    return true;
}

bool PlainFile::Create(const fs::path& path, std::string& err) {
    if (handle_ != kNone) Close(err);
    DWORD code = 0;
    HANDLE h = CreateFresh(path, code);
    if (h == INVALID_HANDLE_VALUE) {
        err = Reason(code);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

bool PlainFile::Write(const char* data, size_t size, std::string& err) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    while (size > 0) {
        const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, data, piece, &written, nullptr) || written == 0) {
            err = Reason(GetLastError());
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool PlainFile::Truncate(std::string& err) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && SetEndOfFile(h)) return true;
    err = Reason(GetLastError());
    return false;
}

bool PlainFile::Close(std::string& err) {
    if (handle_ == kNone) return true;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    handle_ = kNone;
    if (CloseHandle(h)) return true;
    err = Reason(GetLastError());
    return false;
}

bool RemovePlainFile(const fs::path& path, std::string& err) {
    const DWORD code = Remove(path);
    if (code == 0) return true;
    err = Reason(code);
    return false;
}

}  // namespace launcher
