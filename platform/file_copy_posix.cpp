#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/file_copy.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Names tried for one replacing file before giving up: each taken name is passed over.
constexpr int kNameAttempts = 100;
std::atomic<unsigned> nameCounter{0};

std::string TemporaryName() {
    static const std::string start = ".unpack-" + std::to_string(::getpid()) + "-";
    return start + std::to_string(nameCounter.fetch_add(1)) + ".tmp";
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

int FdOf(intptr_t handle) {
    return static_cast<int>(handle);
}

// Opens the folder `name` of `parent` as itself: a link there fails with ELOOP or ENOTDIR.
int OpenFolderAt(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The reason a folder or file could not be opened at `name` of `parent` as itself.
std::string ReasonAt(int parent, const char* name, int code) {
    struct stat st;
    if ((code == ELOOP || code == ENOTDIR) && ::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        return "a link stands in its way";
    }
    return ErrnoText(code);
}

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

bool UnpackTree::OpenRoot(std::string& err) {
    std::error_code ec;
    fs::create_directories(root_, ec);  // a failure shows when the folder cannot be opened
    const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        err = ErrnoText(errno);
        return false;
    }
    root_handle_ = fd;
    return true;
}

bool UnpackTree::OpenLevel(intptr_t parent, Level& level, bool make, std::string& err) {
    const char* name = level.name.c_str();
    for (int attempt = 0;; ++attempt) {
        const int fd = OpenFolderAt(FdOf(parent), name);
        int code = errno;
        if (fd >= 0) {
            struct stat st;
            if (::fstat(fd, &st) == 0) {
                level.handle = fd;
                level.device = st.st_dev;
                level.id = st.st_ino;
                return true;
            }
            code = errno;
            ::close(fd);
        } else if (code == ENOENT && make && attempt == 0) {
            // Made as a plain folder; one that another program made meanwhile is opened as it stands.
            if (::mkdirat(FdOf(parent), name, 0777) == 0 || errno == EEXIST) continue;
            code = errno;
        }
        err = ReasonAt(FdOf(parent), name, code);
        return false;
    }
}

bool UnpackTree::StillInPlace(intptr_t parent, const Level& level) {
    struct stat st;
    return ::fstatat(FdOf(parent), level.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
           static_cast<uint64_t>(st.st_dev) == level.device && static_cast<uint64_t>(st.st_ino) == level.id;
}

void UnpackTree::CloseHandleOf(intptr_t handle) {
    if (handle != kNone) ::close(FdOf(handle));
}

bool UnpackTree::OpenSource(const std::string& source, intptr_t& handle, std::string& err) {
    // Its folders from the root, one by one, as the file's own are reached.
    Fd folder{::dup(FdOf(root_handle_))};
    size_t start = 0;
    for (;;) {
        const size_t end = source.find('/', start);
        const std::string part = source.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (folder.fd < 0) {
            err = ErrnoText(errno);
            return false;
        }
        if (end == std::string::npos) {
            const int fd = ::openat(folder.fd, part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                err = ReasonAt(folder.fd, part.c_str(), errno);
                return false;
            }
            handle = fd;
            return true;
        }
        if (!part.empty() && part != ".") {
            const int next = OpenFolderAt(folder.fd, part.c_str());
            if (next < 0) {
                err = ReasonAt(folder.fd, part.c_str(), errno);
                return false;
            }
            ::close(folder.fd);
            folder.fd = next;
        }
        start = end + 1;
    }
}

bool UnpackTree::MakeFile(intptr_t folder, const std::string& leaf, intptr_t source, std::string& err) {
    const int dir = FdOf(folder);
    mode_t mode = 0666;
    if (source != kNone) {
        struct stat st;
        if (::fstat(FdOf(source), &st) != 0) {
            err = ErrnoText(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            err = ErrnoText(EINVAL);
            return false;
        }
        mode = st.st_mode & 07777;
    }
    // O_EXCL and O_NOFOLLOW: never a file that stands there already, nor through a link by that name.
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    temporary_.clear();
    int fd = ::openat(dir, leaf.c_str(), kFlags, mode);
    // Something stands at the file's place: the file goes in under a name of its own and replaces it.
    for (int attempt = 0; fd < 0 && errno == EEXIST && attempt < kNameAttempts; ++attempt) {
        temporary_ = TemporaryName();
        fd = ::openat(dir, temporary_.c_str(), kFlags, mode);
    }
    if (fd < 0) {
        err = ErrnoText(errno);
        temporary_.clear();
        return false;
    }
    file_ = fd;
    // A copy gets the mode its source has, not what the umask leaves.
    if (source != kNone && !(::fchmod(fd, mode) == 0 && CopyData(FdOf(source), fd))) {
        err = ErrnoText(errno);
        RemoveUnfinished();
        return false;
    }
    return true;
}

bool UnpackTree::Write(const void* data, size_t n, std::string& err) {
    if (!Busy()) {
        err = "no file is open";
        return false;
    }
    if (WriteAll(FdOf(file_), static_cast<const char*>(data), n)) return true;
    err = ErrnoText(errno);
    return false;
}

bool UnpackTree::PutInPlace(uint32_t executeBits, std::string& err) {
    const int fd = FdOf(file_);
    file_ = kNone;
    bool ok = true;
    int code = 0;
    if (executeBits & 0111) {
        struct stat st;
        ok = ::fstat(fd, &st) == 0 && ::fchmod(fd, (st.st_mode & 07777) | (executeBits & 0111)) == 0;
        code = errno;
    }
    // A failing close can be the first word of a failed write (a full disk on a network share).
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    const int dir = FdOf(Folder());
    // renameat replaces what stands at the place, a link or a hard link included, and never follows it.
    if (ok && !temporary_.empty() && ::renameat(dir, temporary_.c_str(), dir, leaf_.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        err = ErrnoText(code);
        ::unlinkat(dir, (temporary_.empty() ? leaf_ : temporary_).c_str(), 0);
    }
    temporary_.clear();
    return ok;
}

void UnpackTree::RemoveUnfinished() {
    ::close(FdOf(file_));
    file_ = kNone;
    ::unlinkat(FdOf(Folder()), (temporary_.empty() ? leaf_ : temporary_).c_str(), 0);
    temporary_.clear();
}

}  // namespace launcher
