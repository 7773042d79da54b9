#include "platform/instance_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "platform/process.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

enum class Hold { Held, Free, Unknown };

// Whether any process has the file with this device and inode open, by its descriptors in /proc.
Hold HeldByAnyProcess(dev_t device, ino_t inode) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return Hold::Unknown;
    Hold hold = Hold::Free;
    while (dirent* entry = ::readdir(proc)) {
        const char* pid = entry->d_name;
        if (*pid < '0' || *pid > '9') continue;
        const std::string fdDir = std::string("/proc/") + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) {
            // Gone meanwhile, or another user's.
            if (errno == EACCES || errno == EPERM) hold = Hold::Unknown;
            continue;
        }
        while (dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st;
            if (::stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode) {
                hold = Hold::Held;
                break;
            }
        }
        ::closedir(fds);
        if (hold == Hold::Held) break;
    }
    ::closedir(proc);
    return hold;
}

}  // namespace

InstanceLock::~InstanceLock() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
}

InstanceLock::Result InstanceLock::Take(const fs::path& folder, std::string& err) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    const fs::path file = folder / "launcher.lock";
    // Close-on-exec: a child the launcher starts must not keep the folder locked after it is gone.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        err = SystemErrorText("cannot open " + PathUtf8(file), errno);
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK) return Result::HeldElsewhere;
        err = SystemErrorText("cannot lock " + PathUtf8(file), code);
        return Result::Failed;
    }
    handle_ = fd;
    return Result::Taken;
}

bool RemoveUnlessHeld(const fs::path& file, bool whenUnknown) {
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const Hold hold = HeldByAnyProcess(st.st_dev, st.st_ino);
    if (hold == Hold::Held || (hold == Hold::Unknown && !whenUnknown)) return false;
    return ::unlink(file.c_str()) == 0;
}

}  // namespace launcher
