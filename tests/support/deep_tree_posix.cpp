#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/deep_tree.h"

namespace launcher::test {

bool MakeDeepTree(const std::filesystem::path& top, int depth) {
    std::error_code ec;
    std::filesystem::create_directories(top, ec);
    int dir = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = dir >= 0;
    for (int level = 0; ok && level < depth; ++level) {
        const int file = ::openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ok = file >= 0 && ::write(file, "f", 1) == 1 && ::mkdirat(dir, "subfolder", 0755) == 0;
        if (file >= 0) ::close(file);
        const int next = ok ? ::openat(dir, "subfolder", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(dir);
        dir = next;
        ok = ok && dir >= 0;
    }
    if (dir >= 0) ::close(dir);
    return ok;
}

}  // namespace launcher::test
