#include <sys/stat.h>

#include "platform/file_time.h"

namespace launcher {

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochInFileTime = 11644473600;

}  // namespace

// From stat rather than std::filesystem, whose clock counts from an epoch of the library's own choosing.
bool LastWriteTicks(const std::filesystem::path& path, int64_t& ticks) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    ticks = (static_cast<int64_t>(st.st_mtim.tv_sec) + kUnixEpochInFileTime) * 10000000 + st.st_mtim.tv_nsec / 100;
    return true;
}

}  // namespace launcher
