// The Linux stand-ins: zenity for the picker, xdg-open for opening, statvfs for free space.
#include <fcntl.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "app/shell.h"
#include "platform/paths.h"

extern char** environ;

namespace launcher {

namespace {

// Runs `argv` (looked up in PATH) with stdin from /dev/null and stdout captured; false when it cannot be
// started or does not exit with 0.
bool RunCapture(const std::vector<std::string>& args, std::string& out) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string NarrowUtf16(const WideText& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

}  // namespace

std::filesystem::path PickPath(void* /*owner*/, bool folderMode, const WideText* title) {
    std::vector<std::string> args = {"zenity", "--file-selection"};
    if (folderMode) {
        args.push_back("--directory");
        args.push_back("--title=" + (title != nullptr ? NarrowUtf16(*title)
                                                       : std::string("Choose the folder with the game's files")));
    } else {
        args.push_back("--title=Choose the game's disc image");
        args.push_back("--file-filter=Xbox disc image or default.xbe | *.iso default.xbe");
        args.push_back("--file-filter=All files | *");
    }
    std::string out;
    if (!RunCapture(args, out)) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    if (out.empty()) return {};
    return Utf8Path(out);
}

void OpenInShell(const std::string& utf8) {
    // The shell puts xdg-open in the background and ends at once, so nothing is left to wait for.
    std::string ignored;
    RunCapture({"/bin/sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &", "sh", utf8}, ignored);
}

void OpenPathInShell(const std::filesystem::path& path) {
    OpenInShell(PathUtf8(path));
}

uint64_t FreeSpaceOf(const std::filesystem::path& path) {
    std::filesystem::path p = path;
    std::error_code ec;
    while (!p.empty()) {
        if (std::filesystem::status(p, ec).type() != std::filesystem::file_type::not_found && !ec) break;
        std::filesystem::path parent = p.parent_path();
        if (parent == p) break;  // a root that cannot be examined
        p = parent;
    }
    struct statvfs info {};
    if (p.empty() || statvfs(p.c_str(), &info) != 0) return 0;
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

WideText WidenUtf8(const std::string& utf8) {
    WideText out;
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char b = static_cast<unsigned char>(utf8[i]);
        uint32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b >> 5) == 0x6) {
            len = 2;
        } else if ((b >> 4) == 0xE) {
            len = 3;
        } else if ((b >> 3) == 0x1E) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > utf8.size()) {
                len = 1;
            } else {
                c = b & (0x7F >> len);
                for (size_t k = 1; k < len; ++k) {
                    unsigned char cont = static_cast<unsigned char>(utf8[i + k]);
                    if ((cont >> 6) != 0x2) {
                        c = 0xFFFD;
                        len = k;
                        break;
                    }
                    c = (c << 6) | (cont & 0x3F);
                }
            }
        }
        i += len;
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c);
        }
    }
    return out;
}

}  // namespace launcher
