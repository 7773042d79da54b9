#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "support/pinned.h"

namespace launcher::test {

namespace {

// Sets or clears the immutable flag; 0 or the errno of the failure.
int SetImmutable(const std::filesystem::path& file, bool on) {
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    int flags = 0;
    int code = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        code = errno;
    } else {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) code = errno;
    }
    ::close(fd);
    return code;
}

}  // namespace

PinnedFile::PinnedFile(const std::filesystem::path& file) : file_(file) {
    if (int code = SetImmutable(file_, true)) {
        why_ = "this file system or user cannot mark a file immutable (" +
               std::error_code(code, std::generic_category()).message() + ")";
        return;
    }
    pinned_ = true;
}

PinnedFile::~PinnedFile() {
    if (pinned_) SetImmutable(file_, false);
}

}  // namespace launcher::test
