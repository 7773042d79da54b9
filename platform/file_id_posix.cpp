#include <sys/stat.h>

#include "platform/file_id.h"

namespace launcher {

bool IdentifyFile(const std::filesystem::path& path, FileId& id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    return IsKnownFileIndex(id.index);
}

}  // namespace launcher
