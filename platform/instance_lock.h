#pragma once

// One launcher at a time in a data folder, and the lock files of programs that may have died.

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// The data folder's lock: the file "launcher.lock" in it, held open and locked (flock on POSIX, opened
// without sharing on Windows) from Take until the object goes or the process ends, however it ends, so a
// crash never leaves it behind.
class InstanceLock {
public:
    enum class Result { Taken, HeldElsewhere, Failed };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Makes `folder` when it is missing and takes its lock. HeldElsewhere when another process holds
    // it; Failed, with the system's message in `err`, when the lock file cannot be opened.
    Result Take(const std::filesystem::path& folder, std::string& err);
    bool Held() const { return handle_ != -1; }

private:
    intptr_t handle_ = -1;  // a file descriptor, or a Windows file handle
};

// Removes the file `file` unless a running process holds it open. Where that cannot be told (Linux
// hides other users' processes from this one), it is removed only when `whenUnknown`. True when it was
// removed.
bool RemoveUnlessHeld(const std::filesystem::path& file, bool whenUnknown);

}  // namespace launcher
