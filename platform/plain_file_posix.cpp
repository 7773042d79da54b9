#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/plain_file.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// A name that keeps being taken between our removal and our exclusive create is given up on.
constexpr int kTries = 5;

std::string Reason(int code) {
    return std::error_code(code, std::generic_category()).message();
}

// Our own name for what stands there, unless it is a folder: the file or link it names stays as it is.
bool Unlink(const fs::path& path, std::string& err) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    err = Reason(errno);
    return false;
}

// A new file, never through anything at the name: O_EXCL fails on anything there, a dangling link too.
int CreateExclusive(const fs::path& path, int flags, std::string& err) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (!Unlink(path, err)) return -1;
        const int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            err = Reason(errno);
            return -1;
        }
    }
    err = Reason(EEXIST);
    return -1;
}

}  // namespace

PlainFile::~PlainFile() {
    if (handle_ != kNone) ::close(static_cast<int>(handle_));
}

bool PlainFile::OpenForAppend(const fs::path& path, uint64_t& size, std::string& err) {
    if (handle_ != kNone) Close(err);
    // O_NOFOLLOW refuses a symbolic link; O_NONBLOCK keeps a FIFO standing there from blocking the open.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
            handle_ = fd;
            size = static_cast<uint64_t>(st.st_size);
            return true;
        }
        // A second name of a file (a hard link) or no plain file at all: made anew below.
        ::close(fd);
    } else if (errno != ENOENT && errno != ELOOP && errno != ENXIO) {
        err = Reason(errno);
        return false;
    }
    const int fresh = CreateExclusive(path, O_WRONLY | O_APPEND, err);
    if (fresh < 0) return false;
    handle_ = fresh;
    size = 0;
    return true;
}

bool PlainFile::Create(const fs::path& path, std::string& err) {
    if (handle_ != kNone) Close(err);
    const int fd = CreateExclusive(path, O_WRONLY, err);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

bool PlainFile::Write(const char* data, size_t size, std::string& err) {
    const int fd = static_cast<int>(handle_);
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = Reason(n < 0 ? errno : EIO);
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool PlainFile::Truncate(std::string& err) {
    if (::ftruncate(static_cast<int>(handle_), 0) == 0) return true;
    err = Reason(errno);
    return false;
}

bool PlainFile::Close(std::string& err) {
    if (handle_ == kNone) return true;
    const int fd = static_cast<int>(handle_);
    handle_ = kNone;
    if (::close(fd) == 0 || errno == EINTR) return true;
    err = Reason(errno);
    return false;
}

bool RemovePlainFile(const fs::path& path, std::string& err) {
    return Unlink(path, err);
}

}  // namespace launcher
