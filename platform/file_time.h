#pragma once

#include <cstdint>
#include <filesystem>

namespace launcher {

// The file's last-write time as a Windows file time on every system: 100-nanosecond intervals since
// 1601-01-01 UTC, so what the launcher stores means the same everywhere. False when it cannot be read.
bool LastWriteTicks(const std::filesystem::path& path, int64_t& ticks);

}  // namespace launcher
