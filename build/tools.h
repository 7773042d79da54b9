#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// The whole file in binary; false (and `out` untouched) when it cannot be read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& out);

}  // namespace launcher
