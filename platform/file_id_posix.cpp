#include <sys/stat.h>

#include <cstdlib>

#include "platform/file_id.h"

namespace launcher {

bool IdentifyFile(const std::filesystem::path& path, FileId& id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    return IsKnownFileIndex(id.index);
}

bool ResolvePath(const std::filesystem::path& path, std::filesystem::path& resolved) {
    char* full = ::realpath(path.c_str(), nullptr);
    if (full == nullptr) return false;
    resolved = full;
    std::free(full);
    return true;
}

}  // namespace launcher
