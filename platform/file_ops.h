#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Moves a file to a new name, replacing a file already there; across volumes it copies and removes.
// On failure `err` holds the system's message for the error.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

}  // namespace launcher
