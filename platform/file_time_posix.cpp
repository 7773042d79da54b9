#include <chrono>

#include "platform/file_time.h"

namespace launcher {

bool LastWriteTicks(const std::filesystem::path& path, int64_t& ticks) {
    std::error_code ec;
    std::filesystem::file_time_type time = std::filesystem::last_write_time(path, ec);
    if (ec) return false;
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    ticks = std::chrono::duration_cast<Ticks>(time.time_since_epoch()).count();
    return true;
}

}  // namespace launcher
