#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Copies a file over `to`, replacing a file already there (the Windows build's standard library refuses
// to replace one). Fails when the file there is held open, as a running program's is. On failure `err`
// holds the system's message.
bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

}  // namespace launcher
