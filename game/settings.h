#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace launcher {

// The "game" string of a settings file as a path; empty when the file cannot be read, does not parse,
// is not an object or has no string "game".
std::filesystem::path ReadGameKey(const std::filesystem::path& file);

// A settings object as written: two-space indentation, UTF-8 as it is, no line end after the last brace.
std::string DumpSettings(const nlohmann::json& doc);

// Writes a settings file whole: into a temporary file beside it, then renamed over it, so a crash or
// a full disk never leaves the user's settings empty or cut short. False when it could not be written.
bool WriteSettingsFile(const std::filesystem::path& file, const nlohmann::json& doc);

}  // namespace launcher
