#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/file_ops.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int code) {
    return std::error_code(code, std::generic_category()).message();
}

// Gives the owner write and search rights on `folder`, so the entries in it can be deleted.
void MakeWritable(const fs::path& folder) {
    struct stat st;
    if (::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        ::chmod(folder.c_str(), st.st_mode | S_IRWXU);
    }
}

// unlink or rmdir with one retry after the parent folder was made writable.
int RemoveEntry(const fs::path& path, bool folder) {
    auto once = [&] { return folder ? ::rmdir(path.c_str()) : ::unlink(path.c_str()); };
    if (once() == 0 || errno == ENOENT) return 0;
    if (errno != EACCES && errno != EPERM) return errno;
    MakeWritable(path.parent_path());
    if (once() == 0 || errno == ENOENT) return 0;
    return errno;
}

bool Fail(const fs::path& at, int code, std::string& err, fs::path* failedAt) {
    err = ErrnoText(code);
    if (failedAt) *failedAt = at;
    return false;
}

bool RemoveBelow(const fs::path& path, std::string& err, fs::path* failedAt) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        return Fail(path, errno, err, failedAt);
    }
    // A symbolic link is a file of its own here: unlink removes the link, never what it leads to.
    if (!S_ISDIR(st.st_mode)) {
        if (int code = RemoveEntry(path, false)) return Fail(path, code, err, failedAt);
        return true;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr && (errno == EACCES || errno == EPERM)) {
        MakeWritable(path);
        dir = ::opendir(path.c_str());
    }
    if (dir == nullptr) {
        if (errno == ENOENT) return true;
        return Fail(path, errno, err, failedAt);
    }
    // An entry that cannot go does not keep the others: the first failure is the one reported.
    bool ok = true;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (ok) {
            ok = RemoveBelow(path / entry->d_name, err, failedAt);
        } else {
            std::string ignored;
            RemoveBelow(path / entry->d_name, ignored, nullptr);
        }
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (!ok) return false;
    if (readError != 0) return Fail(path, readError, err, failedAt);
    if (int code = RemoveEntry(path, true)) return Fail(path, code, err, failedAt);
    return true;
}

uint64_t SizeBelow(const fs::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
    if (!S_ISDIR(st.st_mode)) return 0;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return 0;
    uint64_t total = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        total += SizeBelow(path / entry->d_name);
    }
    ::closedir(dir);
    return total;
}

}  // namespace

bool IsLink(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool EntryExists(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool RemoveTree(const fs::path& path, std::string& err, fs::path* failedAt) {
    if (path.empty()) return true;
    return RemoveBelow(path, err, failedAt);
}

uint64_t TreeSize(const fs::path& folder) {
    if (folder.empty()) return 0;
    return SizeBelow(folder);
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
