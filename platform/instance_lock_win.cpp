#include <windows.h>

#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace launcher {

namespace fs = std::filesystem;

InstanceLock::~InstanceLock() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

InstanceLock::Result InstanceLock::Take(const fs::path& folder, std::string& err) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    const fs::path file = folder / "launcher.lock";
    // Opened without sharing: a second open fails until this process ends, whichever way it ends. Not
    // inheritable, so no child keeps it.
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return Result::HeldElsewhere;
        SetLastError(code);
        err = SystemErrorText("cannot open " + PathUtf8(file));
        return Result::Failed;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return Result::Taken;
}

bool RemoveUnlessHeld(const fs::path& file, bool) {
    // Opened for deletion without sharing, which fails while any other handle is open (a git that holds
    // its lock), and deleted as it is closed: nothing can open it between the look and the removal.
    HANDLE h = CreateFileW(file.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

}  // namespace launcher
