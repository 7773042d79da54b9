#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/file_ops.h"
#include "platform/tree_walk.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

using tree_walk::Kind;

constexpr int kChangedCode = -1;

std::string ErrnoText(int code) {
    if (code == kChangedCode) return "The folder changed while it was being worked on";
    return std::error_code(code, std::generic_category()).message();
}

// What the walk needs to know of an entry: statx where the kernel has it (it tells mount roots and the
// mount an entry is on), fstatat where not.
struct Info {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t size = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t mount = 0;
    bool mountKnown = false;
    bool mountRoot = false;
};

std::atomic<bool> noStatx{false};

int StatAt(int dir, const char* name, int flags, Info& out) {
    if (!noStatx.load(std::memory_order_relaxed)) {
        struct statx sx;
        const unsigned mask =
            STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_INO | STATX_SIZE | STATX_MNT_ID;
        if (::statx(dir, name, flags | AT_NO_AUTOMOUNT, mask, &sx) == 0) {
            out.mode = sx.stx_mode;
            out.uid = sx.stx_uid;
            out.gid = sx.stx_gid;
            out.size = sx.stx_size;
            out.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
            out.ino = sx.stx_ino;
            out.mountKnown = (sx.stx_mask & STATX_MNT_ID) != 0;
            out.mount = sx.stx_mnt_id;
            out.mountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                            (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
            return 0;
        }
        if (errno != ENOSYS) return errno;
        noStatx.store(true, std::memory_order_relaxed);
    }
    struct stat st;
    if (::fstatat(dir, name, &st, flags) != 0) return errno;
    out = Info{};
    out.mode = st.st_mode;
    out.uid = st.st_uid;
    out.gid = st.st_gid;
    out.size = static_cast<uint64_t>(st.st_size);
    out.dev = st.st_dev;
    out.ino = st.st_ino;
    return 0;
}

// An open folder of the walk. `mode` is its mode as found; `modeChanged` when the walk added rights.
struct PosixDir {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t mount = 0;
    bool mountKnown = false;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    bool modeChanged = false;
    bool fixable = false;  // inside the tree: rights may be added where a delete needs them
};

struct PosixEntry {
    std::string name;
    Kind kind = Kind::File;
    uint64_t size = 0;
    int code = 0;
};

void Take(PosixDir& dir, const Info& info) {
    dir.dev = info.dev;
    dir.ino = info.ino;
    dir.mount = info.mount;
    dir.mountKnown = info.mountKnown;
    dir.uid = info.uid;
    dir.gid = info.gid;
    dir.mode = info.mode;
}

// A folder that another file system is mounted on (a bind mount included, which keeps the device).
bool MountedOn(const Info& child, const PosixDir& parent) {
    if (child.mountRoot) return true;
    if (child.mountKnown && parent.mountKnown) return child.mount != parent.mount;
    return child.dev != parent.dev;
}

Kind KindOf(const Info& info, const PosixDir& parent) {
    if (S_ISLNK(info.mode)) return Kind::Link;
    if (S_ISDIR(info.mode)) return MountedOn(info, parent) ? Kind::MountRoot : Kind::Folder;
    // A file that a bind mount covers cannot be unlinked: the walk reports it, and never counts it.
    if (info.mountRoot) return Kind::MountRoot;
    return Kind::File;
}

class PosixOps {
public:
    using Code = int;
    using Name = std::string;
    using Dir = PosixDir;
    using Entry = PosixEntry;
    static constexpr Code kGone = ENOENT;
    static constexpr Code kChanged = kChangedCode;
    static constexpr Code kMounted = EBUSY;
    // Descriptors are few (often 1024 for the whole process): a walk keeps at most 64 open.
    static constexpr size_t kWindow = 32;
    static constexpr size_t kCheckpoints = 32;
    static constexpr size_t kFlattenDepth = 0;  // the kernel opens relative to a folder at any depth alike

    explicit PosixOps(bool remove) : remove_(remove), euid_(::geteuid()) {
        if (!remove_ || euid_ == 0) return;
        groups_.push_back(::getegid());
        const int n = ::getgroups(0, nullptr);
        if (n > 0) {
            std::vector<gid_t> more(static_cast<size_t>(n));
            const int got = ::getgroups(n, more.data());
            if (got > 0) groups_.insert(groups_.end(), more.begin(), more.begin() + got);
        }
    }

    Code LookUp(Dir& parent, const Name& name, Entry& out) {
        Info info;
        const Code code = Fixing(parent, [&] { return StatAt(parent.fd, name.c_str(), AT_SYMLINK_NOFOLLOW, info); });
        if (code != 0) return code;
        out.name = name;
        out.kind = KindOf(info, parent);
        out.size = S_ISREG(info.mode) ? info.size : 0;
        return 0;
    }

    Code Open(Dir& parent, const Entry& entry, Dir& out) {
        int fd = -1;
        Code code = Fixing(parent, [&] { return OpenFolder(parent.fd, entry.name, fd); });
        if (code == EACCES && remove_ && euid_ != 0) code = OpenUnreadable(parent, entry.name, fd, out);
        if (code != 0) return code;
        Info info;
        code = StatAt(fd, "", AT_EMPTY_PATH, info);
        if (code == 0 && MountedOn(info, parent)) code = kMounted;
        if (code != 0) {
            ::close(fd);
            return code;
        }
        const bool modeChanged = out.modeChanged;
        const mode_t mode = out.mode;
        Take(out, info);
        if (modeChanged) out.mode = mode;
        out.modeChanged = modeChanged;
        out.fd = fd;
        out.fixable = remove_ && euid_ != 0 && info.uid == euid_;
        return 0;
    }

    Code Reopen(Dir& parent, const Name& name, Dir& dir) {
        int fd = -1;
        Code code = OpenFolder(parent.fd, name, fd);
        if (code == EACCES && dir.fixable) {
            // A folder the walk could open only by giving it rights, which it took back when it closed it.
            code = OpenUnreadable(parent, name, fd, dir, &dir);
        }
        if (code != 0) return code;
        struct stat st;
        if (::fstat(fd, &st) != 0 || st.st_dev != dir.dev || st.st_ino != dir.ino) {
            ::close(fd);
            return kChanged;
        }
        dir.fd = fd;
        return 0;
    }

    template <class Each>
    Code List(Dir& dir, Each&& each) {
        const int listed = ::fcntl(dir.fd, F_DUPFD_CLOEXEC, 0);
        if (listed < 0) return errno;
        DIR* stream = ::fdopendir(listed);
        if (stream == nullptr) {
            const int code = errno;
            ::close(listed);
            return code;
        }
        for (;;) {
            errno = 0;
            const dirent* item = ::readdir(stream);
            if (item == nullptr) break;
            const char* name = item->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            Entry entry;
            entry.name = name;
            if (remove_ && item->d_type != DT_DIR && item->d_type != DT_UNKNOWN) {
                // Removal needs no more than the type for what is not a folder: unlink decides the rest.
                entry.kind = item->d_type == DT_LNK ? Kind::Link : Kind::File;
            } else {
                Info info;
                const Code code = Fixing(dir, [&] { return StatAt(dir.fd, name, AT_SYMLINK_NOFOLLOW, info); });
                if (code == ENOENT) continue;
                if (code != 0) {
                    entry.kind = Kind::Unreadable;
                    entry.code = code;
                } else {
                    entry.kind = KindOf(info, dir);
                    entry.size = S_ISREG(info.mode) ? info.size : 0;
                }
            }
            each(std::move(entry));
        }
        const int code = errno;
        ::closedir(stream);
        return code;
    }

    Code RemoveFile(Dir& parent, const Entry& entry) {
        const Code code = Fixing(parent, [&] { return Unlink(parent.fd, entry.name, 0); });
        return code == EISDIR ? kChanged : code;
    }

    Code RemoveLink(Dir& parent, const Entry& entry) { return RemoveFile(parent, entry); }

    Code RemoveFolder(Dir& parent, Dir&, const Name& name) {
        const Code code = Fixing(parent, [&] { return Unlink(parent.fd, name, AT_REMOVEDIR); });
        return code == ENOTDIR ? kChanged : code;
    }

    // A folder that stays, or whose handle closes, gets its own mode back.
    void KeepFolder(Dir& dir) {
        if (dir.modeChanged && ::fchmod(dir.fd, dir.mode & 07777) == 0) dir.modeChanged = false;
    }

    void Close(Dir& dir) {
        if (dir.fd >= 0) ::close(dir.fd);
        dir.fd = -1;
    }

private:
    static Code OpenFolder(int parent, const Name& name, int& fd) {
        fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return 0;
        const int code = errno;
        return code == ELOOP || code == ENOTDIR ? kChanged : code;
    }

    static Code Unlink(int parent, const Name& name, int flags) {
        return ::unlinkat(parent, name.c_str(), flags) == 0 ? 0 : errno;
    }

    // Runs `operation` in `dir`; when it is refused for want of rights there, gives the owner write and
    // search rights on `dir` once and runs it again. Only removals do so, only inside the tree, and never
    // as root, whom no mode stops.
    template <class Operation>
    Code Fixing(Dir& dir, Operation&& operation) {
        Code code = operation();
        if (code != EACCES || !dir.fixable || dir.modeChanged || dir.fd < 0) return code;
        if ((dir.mode & S_IRWXU) == S_IRWXU || !KeepsItsBits(dir.mode, dir.gid)) return code;
        if (::fchmod(dir.fd, (dir.mode | S_IRWXU) & 07777) != 0) return code;
        dir.modeChanged = true;
        return operation();
    }

    // Whether the owner can change a folder's mode and later give it back whole. The system clears the
    // setgid bit of a folder whose group is none of the caller's when its mode is changed, and only a
    // member of that group could set it again: such a folder is left as it is.
    bool KeepsItsBits(mode_t mode, gid_t gid) const {
        return (mode & S_ISGID) == 0 || std::find(groups_.begin(), groups_.end(), gid) != groups_.end();
    }

    // A folder that cannot even be listed (no read right): opened by itself without following, given
    // its rights through the opened file (never through its name, which may meanwhile be a link), then
    // opened for listing through the same open file. With `same`, it must be that very folder.
    Code OpenUnreadable(Dir& parent, const Name& name, int& fd, Dir& out, const Dir* same = nullptr) {
        const int held = ::openat(parent.fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (held < 0) return errno == ELOOP || errno == ENOTDIR ? kChanged : errno;
        Info info;
        Code code = StatAt(held, "", AT_EMPTY_PATH, info);
        if (code == 0 && same != nullptr && (info.dev != same->dev || info.ino != same->ino)) code = kChanged;
        if (code == 0 && MountedOn(info, parent)) code = kMounted;
        if (code == 0 && (info.uid != euid_ || !KeepsItsBits(info.mode, info.gid))) code = EACCES;
        const std::string self = "/proc/self/fd/" + std::to_string(held);
        if (code == 0 && ::chmod(self.c_str(), (info.mode | S_IRWXU) & 07777) != 0) code = EACCES;
        if (code == 0) {
            out.modeChanged = true;
            out.mode = info.mode;
            fd = ::open(self.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) {
                code = errno;
                ::chmod(self.c_str(), info.mode & 07777);
                out.modeChanged = false;
            }
        }
        ::close(held);
        return code;
    }

    const bool remove_;
    const uid_t euid_;
    std::vector<gid_t> groups_;  // the caller's: its own and the supplementary ones
};

// Removes trailing separators and "." from the top path and splits it into the folder to open and the
// name in it. False for a path that names no entry of a folder ("/", ".", "..", "a/..").
bool SplitTop(const fs::path& path, fs::path& parent, std::string& name) {
    std::string text = path.native();
    for (;;) {
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "/.") == 0) {
            text.resize(text.size() - 2);
            if (text.empty()) text = "/";
            continue;
        }
        break;
    }
    const size_t slash = text.rfind('/');
    name = slash == std::string::npos ? text : text.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    if (slash == std::string::npos) {
        parent = ".";
    } else {
        parent = slash == 0 ? std::string("/") : text.substr(0, slash);
    }
    return true;
}

// The top's folder, opened following links on the way (they are the caller's), for the walk to work
// relative to. kGone when it is not there (or is no folder): then neither is the top.
int OpenAnchor(const fs::path& parent, PosixDir& anchor) {
    anchor.fd = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (anchor.fd < 0) return errno == ENOTDIR ? ENOENT : errno;
    Info info;
    if (int code = StatAt(anchor.fd, "", AT_EMPTY_PATH, info)) {
        ::close(anchor.fd);
        anchor.fd = -1;
        return code;
    }
    Take(anchor, info);
    anchor.fixable = false;  // the tree's parent keeps its mode whatever happens
    return 0;
}

fs::path Below(const fs::path& parent, const std::vector<std::string>& names) {
    fs::path out = parent == "." ? fs::path() : parent;
    for (const std::string& name : names) out /= name;
    return out;
}

// A path with a "." or ".." part: refused before anything else looks at it.
bool Dotted(const std::string& text) {
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(text.find('/', start), text.size());
        const size_t n = end - start;
        if ((n == 1 || n == 2) && text.compare(start, n, std::string(n, '.')) == 0) return true;
        if (end == text.size()) return false;
        start = end + 1;
    }
}

// One plain name of an entry: no separator, not "." or "..", not empty.
bool PlainName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && !Dotted(name);
}

// The whole walk for both RemoveTree and TreeSize. On failure `code` is set and `at` is where.
bool Walk(const fs::path& path, bool remove, uint64_t& bytes, int& code, fs::path& at) {
    bytes = 0;
    fs::path parent;
    std::string name;
    if (Dotted(path.native()) || !SplitTop(path, parent, name)) {
        code = EINVAL;
        at = path;
        return false;
    }
    PosixDir anchor;
    code = OpenAnchor(parent, anchor);
    if (code == ENOENT) {
        code = 0;
        return true;
    }
    if (code != 0) {
        at = parent;
        return false;
    }
    std::vector<std::string> below;
    if (tree_walk::WalkFrom<PosixOps>(anchor, name, remove, bytes, code, below)) return true;
    at = Below(parent, below);
    return false;
}

// Opens the folder `name` of `parent` into `dir` without following anything, and says what stands there.
HeldFolder::Found Hold(PosixDir& parent, const std::string& name, PosixDir& dir) {
    PosixOps ops(false);
    // Something that changes between the look and the open is looked at once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        PosixEntry entry;
        int code = ops.LookUp(parent, name, entry);
        if (code == ENOENT) return HeldFolder::Found::Nothing;
        if (code != 0) return HeldFolder::Found::Other;
        switch (entry.kind) {
        case Kind::Link:
            return HeldFolder::Found::Link;
        case Kind::MountRoot:
            return HeldFolder::Found::Mounted;
        case Kind::File:
        case Kind::Unreadable:
            return HeldFolder::Found::Other;
        case Kind::Folder:
            break;
        }
        code = ops.Open(parent, entry, dir);
        if (code == 0) return HeldFolder::Found::Folder;
        if (code == EBUSY) return HeldFolder::Found::Mounted;
        if (code != ENOENT && code != kChangedCode) return HeldFolder::Found::Other;
    }
    return HeldFolder::Found::Other;
}

// A path that names what stands there, not what the trailing "/" or "/." would lead to.
fs::path Plain(const fs::path& path) {
    fs::path parent;
    std::string name;
    if (!SplitTop(path, parent, name)) return path;
    return Below(parent, {name});
}

// RemoveTree and TreeSize of the entry `name` of a held folder: the folder is opened again by its name
// in its own folder and must be the one held, and the walk works relative to it.
bool WalkHeld(PosixDir& parent, const std::string& heldName, const PosixDir& held, const fs::path& heldPath,
              const fs::path& name, bool remove, uint64_t& bytes, std::string& err, fs::path* failedAt) {
    bytes = 0;
    int code = PlainName(name.native()) ? 0 : EINVAL;
    PosixDir anchor = held;
    anchor.fd = -1;
    if (code == 0) {
        PosixOps ops(remove);
        code = ops.Reopen(parent, heldName, anchor);
        if (code == ENOENT) code = kChangedCode;
    }
    if (code != 0) {
        err = ErrnoText(code);
        if (failedAt) *failedAt = heldPath;
        return false;
    }
    std::vector<std::string> below;
    if (tree_walk::WalkFrom<PosixOps>(anchor, name.native(), remove, bytes, code, below)) return true;
    err = ErrnoText(code);
    if (failedAt) {
        *failedAt = heldPath;
        for (const std::string& part : below) *failedAt /= part;
    }
    return false;
}

// What is not held has no entries: nothing there holds nothing, anything else is no folder.
bool NotHeld(HeldFolder::Found found, const fs::path& path, std::string& err, fs::path* failedAt) {
    if (found == HeldFolder::Found::Nothing) return true;
    err = ErrnoText(ENOTDIR);
    if (failedAt) *failedAt = path;
    return false;
}

}  // namespace

bool IsLink(const fs::path& path) {
    struct stat st;
    return !path.empty() && ::lstat(Plain(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool EntryExists(const fs::path& path) {
    struct stat st;
    return !path.empty() && ::lstat(Plain(path).c_str(), &st) == 0;
}

bool RemoveTree(const fs::path& path, std::string& err, fs::path* failedAt) {
    if (path.empty()) return true;
    uint64_t bytes = 0;
    int code = 0;
    fs::path at;
    if (Walk(path, true, bytes, code, at)) return true;
    err = ErrnoText(code);
    if (failedAt) *failedAt = at;
    return false;
}

bool TreeSize(const fs::path& folder, uint64_t& bytes, std::string& err) {
    bytes = 0;
    if (folder.empty()) return true;
    int code = 0;
    fs::path at;
    if (Walk(folder, false, bytes, code, at)) return true;
    err = ErrnoText(code);
    return false;
}

struct HeldFolder::State {
    PosixDir parent;   // the folder it stands in
    std::string name;  // its name there
    PosixDir dir;      // the folder itself
    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (parent.fd >= 0) ::close(parent.fd);
        if (dir.fd >= 0) ::close(dir.fd);
    }
};

HeldFolder::HeldFolder(const fs::path& path) : path_(path) {
    fs::path parent;
    std::string name;
    if (path.empty() || Dotted(path.native()) || !SplitTop(path, parent, name)) {
        found_ = Found::Other;
        return;
    }
    path_ = Below(parent, {name});
    auto state = std::make_unique<State>();
    const int code = OpenAnchor(parent, state->parent);
    if (code != 0) {
        found_ = code == ENOENT ? Found::Nothing : Found::Other;
        return;
    }
    state->name = name;
    found_ = Hold(state->parent, name, state->dir);
    if (found_ == Found::Folder) state_ = std::move(state);
}

HeldFolder::HeldFolder(const HeldFolder& parent, const fs::path& name) : path_(parent.path_ / name) {
    if (!parent.state_ || !PlainName(name.native())) {
        found_ = parent.found_ == Found::Nothing ? Found::Nothing : Found::Other;
        return;
    }
    auto state = std::make_unique<State>();
    state->parent = parent.state_->dir;
    state->parent.fd = ::fcntl(parent.state_->dir.fd, F_DUPFD_CLOEXEC, 0);
    if (state->parent.fd < 0) {
        found_ = Found::Other;
        return;
    }
    state->name = name.native();
    found_ = Hold(state->parent, state->name, state->dir);
    if (found_ == Found::Folder) state_ = std::move(state);
}

HeldFolder::~HeldFolder() = default;

bool HeldFolder::List(std::vector<fs::path>& names, std::string& err) const {
    names.clear();
    if (!state_) return NotHeld(found_, path_, err, nullptr);
    // The listing's copy of the handle shares its position, which an earlier listing left at the end.
    ::lseek(state_->dir.fd, 0, SEEK_SET);
    PosixOps ops(false);
    const int code = ops.List(state_->dir, [&names](PosixEntry&& entry) { names.emplace_back(entry.name); });
    if (code == 0) return true;
    err = ErrnoText(code);
    return false;
}

bool HeldFolder::RemoveTree(const fs::path& name, std::string& err, fs::path* failedAt) const {
    uint64_t bytes = 0;
    if (!state_) return NotHeld(found_, path_, err, failedAt);
    return WalkHeld(state_->parent, state_->name, state_->dir, path_, name, true, bytes, err, failedAt);
}

bool HeldFolder::TreeSize(const fs::path& name, uint64_t& bytes, std::string& err) const {
    bytes = 0;
    if (!state_) return NotHeld(found_, path_, err, nullptr);
    return WalkHeld(state_->parent, state_->name, state_->dir, path_, name, false, bytes, err, nullptr);
}

bool MoveReplacing(const fs::path& from, const fs::path& to, std::string& err) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    const int code = errno;
    if (code != EXDEV) {
        err = ErrnoText(code);
        return false;
    }
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::remove(from, ec);
    if (ec) {
        err = ec.message();
        return false;
    }
    return true;
}

}  // namespace launcher
