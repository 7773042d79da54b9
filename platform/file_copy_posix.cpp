#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/file_copy.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Names tried for one staged file before giving up: each taken name is passed over.
constexpr int kNameAttempts = 100;
std::atomic<unsigned> nameCounter{0};

fs::path TemporaryBeside(const fs::path& target) {
    return target.parent_path() /
           (".unpack-" + std::to_string(::getpid()) + "-" + std::to_string(nameCounter.fetch_add(1)) + ".tmp");
}

bool WriteAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd, data, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Copies the rest of `from` to `to`, in the kernel where it can.
bool CopyData(int from, int to) {
    for (;;) {
        const ssize_t k = ::copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
        if (k == 0) return true;
        if (k > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
        break;
    }
    static thread_local char buffer[256 * 1024];
    for (;;) {
        const ssize_t k = ::read(from, buffer, sizeof buffer);
        if (k == 0) return true;
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!WriteAll(to, buffer, static_cast<size_t>(k))) return false;
    }
}

std::string ErrnoText(int code) {
    return std::error_code(code, std::generic_category()).message();
}

// Closes a descriptor at the end of the scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

// The standard library's copy_file reports a copy cut short (a full disk, a file-size limit) as an
// input/output error; the user needs to read what the system said.
bool CopyReplacing(const fs::path& from, const fs::path& to, std::string& err) {
    Fd in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0) {
        err = ErrnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        err = ErrnoText(EINVAL);
        return false;
    }
    Fd out{::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777)};
    if (out.fd < 0 || ::fchmod(out.fd, st.st_mode & 07777) != 0 || !CopyData(in.fd, out.fd)) {
        err = ErrnoText(errno);
        return false;
    }
    const int closed = ::close(out.fd);
    out.fd = -1;
    if (closed != 0) {
        err = ErrnoText(errno);
        return false;
    }
    return true;
}

bool StagedFile::Create(const fs::path& target, const fs::path* source, std::string& err) {
    Discard();
    int input = -1;
    mode_t mode = 0666;
    if (source) {
        input = ::open(source->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st;
        if (input < 0 || ::fstat(input, &st) != 0) {
            const int code = errno;
            err = SystemErrorText("cannot read " + PathUtf8(*source), code);
            if (input >= 0) ::close(input);
            return false;
        }
        mode = st.st_mode & 07777;
    }
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kNameAttempts; ++attempt) {
        temporary_ = TemporaryBeside(target);
        // O_EXCL: never a file that stands there already, nor a link by that name.
        fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int code = errno;
        err = SystemErrorText("cannot create " + PathUtf8(temporary_), code);
        temporary_.clear();
        if (input >= 0) ::close(input);
        return false;
    }
    target_ = target;
    handle_ = fd;
    if (source) {
        // The mode as the source has it, not as the umask leaves it.
        const bool copied = ::fchmod(fd, mode) == 0 && CopyData(input, fd);
        const int code = errno;
        ::close(input);
        if (!copied) {
            err = SystemErrorText("cannot copy " + PathUtf8(*source), code);
            Discard();
            return false;
        }
    }
    return true;
}

bool StagedFile::Open(const fs::path& target, std::string& err) {
    return Create(target, nullptr, err);
}

bool StagedFile::OpenCopy(const fs::path& source, const fs::path& target, std::string& err) {
    return Create(target, &source, err);
}

bool StagedFile::Write(const void* data, size_t n, std::string& err) {
    if (handle_ < 0) {
        err = "no file is open";
        return false;
    }
    if (WriteAll(static_cast<int>(handle_), static_cast<const char*>(data), n)) return true;
    const int code = errno;
    err = SystemErrorText("cannot write " + PathUtf8(temporary_), code);
    return false;
}

void StagedFile::Close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool StagedFile::Commit(uint32_t executeBits, std::string& err) {
    if (!Staged()) {
        err = "no file is staged";
        return false;
    }
    const int fd = static_cast<int>(handle_);
    handle_ = -1;
    bool ok = fd >= 0;
    int code = EBADF;
    if (ok && (executeBits & 0111)) {
        struct stat st;
        ok = ::fstat(fd, &st) == 0 && ::fchmod(fd, (st.st_mode & 07777) | (executeBits & 0111)) == 0;
        code = errno;
    }
    // A failing close can be the first word of a failed write (a full disk on a network share).
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    // rename replaces what stands at the target, a link or a hard link included, and never follows it.
    if (ok && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        err = SystemErrorText("cannot put " + PathUtf8(target_) + " in place", code);
        ::unlink(temporary_.c_str());
    }
    temporary_.clear();
    return ok;
}

void StagedFile::Discard() {
    Close();
    if (Staged()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace launcher
