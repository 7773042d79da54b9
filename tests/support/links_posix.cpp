#include <unistd.h>

#include <string>

#include "platform/file_ops.h"
#include "support/links.h"

namespace launcher::test {

bool MakeLink(const std::filesystem::path& link, const std::filesystem::path& target) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(target, ec);
    return ::symlink((ec ? target : full).c_str(), link.c_str()) == 0;
}

bool RemoveWithHostTools(const std::filesystem::path& path) {
    // Here the launcher's own removal already removes links themselves.
    std::string err;
    return RemoveTree(path, err);
}

}  // namespace launcher::test
