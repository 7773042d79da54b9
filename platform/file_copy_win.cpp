#include <windows.h>

#include <algorithm>
#include <atomic>

#include "platform/file_copy.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Names tried for one staged file before giving up: each taken name is passed over.
constexpr int kNameAttempts = 100;
std::atomic<unsigned> nameCounter{0};

fs::path TemporaryBeside(const fs::path& target) {
    return target.parent_path() / (".unpack-" + std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(nameCounter.fetch_add(1)) + ".tmp");
}

bool Taken(DWORD code) {
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

// The system's text for `code`, which later calls may have overwritten as the thread's last error.
std::string ErrorText(const std::string& what, DWORD code) {
    SetLastError(code);
    return SystemErrorText(what);
}

}  // namespace

bool CopyReplacing(const fs::path& from, const fs::path& to, std::string& err) {
    if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    err = SystemErrorText("Cannot copy the file");
    return false;
}

bool StagedFile::Create(const fs::path& target, const fs::path* source, std::string& err) {
    Discard();
    DWORD code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary_ = TemporaryBeside(target);
        if (source) {
            // Fails rather than replace anything that stands at the new name.
            if (CopyFileW(source->c_str(), temporary_.c_str(), TRUE)) {
                target_ = target;
                return true;
            }
        } else {
            HANDLE file = CreateFileW(temporary_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                target_ = target;
                handle_ = reinterpret_cast<intptr_t>(file);
                return true;
            }
        }
        code = GetLastError();
        if (!Taken(code)) break;
    }
    err = ErrorText((source ? "cannot copy " + PathUtf8(*source) + " to " : "cannot create ") + PathUtf8(temporary_),
                    code);
    temporary_.clear();
    return false;
}

bool StagedFile::Open(const fs::path& target, std::string& err) {
    return Create(target, nullptr, err);
}

bool StagedFile::OpenCopy(const fs::path& source, const fs::path& target, std::string& err) {
    return Create(target, &source, err);
}

bool StagedFile::Write(const void* data, size_t n, std::string& err) {
    if (handle_ == -1) {
        err = "no file is open";
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (n > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, DWORD{1} << 30));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes, chunk, &written, nullptr) || written == 0) {
            err = SystemErrorText("cannot write " + PathUtf8(temporary_));
            return false;
        }
        bytes += written;
        n -= written;
    }
    return true;
}

void StagedFile::Close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

bool StagedFile::Commit(uint32_t, std::string& err) {
    if (!Staged()) {
        err = "no file is staged";
        return false;
    }
    bool ok = true;
    DWORD code = ERROR_SUCCESS;
    if (handle_ != -1 && !CloseHandle(reinterpret_cast<HANDLE>(handle_))) {
        ok = false;
        code = GetLastError();
    }
    handle_ = -1;
    if (ok && !MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        code = GetLastError();
        // A file is never moved over a folder: a link to one (a junction) standing at the target is
        // removed itself first, never what it leads to.
        std::string ignored;
        ok = IsLink(target_) && RemoveTree(target_, ignored) &&
             MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    if (!ok) {
        err = ErrorText("cannot put " + PathUtf8(target_) + " in place", code);
        DeleteFileW(temporary_.c_str());
    }
    temporary_.clear();
    return ok;
}

void StagedFile::Discard() {
    Close();
    if (Staged()) DeleteFileW(temporary_.c_str());
    temporary_.clear();
}

}  // namespace launcher
