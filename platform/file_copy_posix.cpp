#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/file_copy.h"

namespace launcher {

namespace {

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
bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err) {
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
    if (out.fd < 0 || ::fchmod(out.fd, st.st_mode & 07777) != 0) {
        err = ErrnoText(errno);
        return false;
    }
    // The kernel copies without the bytes passing through here; where it cannot, a plain loop does.
    off_t done = 0;
    bool plain = false;
    while (done < st.st_size) {
        ssize_t n;
        if (!plain) {
            n = ::sendfile(out.fd, in.fd, nullptr, static_cast<size_t>(st.st_size - done));
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                plain = true;
                continue;
            }
        } else {
            char buffer[1 << 16];
            n = ::read(in.fd, buffer, sizeof buffer);
            for (ssize_t written = 0; n > 0 && written < n;) {
                const ssize_t w = ::write(out.fd, buffer + written, static_cast<size_t>(n - written));
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) {
                    n = -1;
                    break;
                }
                written += w;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = ErrnoText(errno);
            return false;
        }
        if (n == 0) break;  // the file became shorter meanwhile
        done += n;
    }
    const int closed = ::close(out.fd);
    out.fd = -1;
    if (closed != 0) {
        err = ErrnoText(errno);
        return false;
    }
    return true;
}

}  // namespace launcher
