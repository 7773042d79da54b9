#pragma once

#include <cstdint>
#include <filesystem>

namespace launcher {

// The file's last-write time as the file system keeps it, in 100-nanosecond intervals (on Windows
// since 1601, elsewhere since 1970); false when it cannot be read.
bool LastWriteTicks(const std::filesystem::path& path, int64_t& ticks);

}  // namespace launcher
