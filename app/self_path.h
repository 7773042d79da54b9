#pragma once

#include <filesystem>

namespace launcher {

// The full path of the launcher's own executable, as the system reports it for the running process
// (or the path a test set in its place).
std::filesystem::path SelfExePath();

// Tests point the launcher at a copy of an executable in a temporary folder; an empty path goes back
// to the system's answer.
void SetSelfExePathForTesting(const std::filesystem::path& path);

// The system's answer, without the test override.
std::filesystem::path SystemSelfExePath();

}  // namespace launcher
