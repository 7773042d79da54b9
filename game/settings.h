#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace launcher {

// The string under `key` of a settings file; empty when the file cannot be read, does not parse, is not
// an object or has no string under `key`.
std::string ReadStringKey(const std::filesystem::path& file, const char* key);

// The "game" string of a settings file as a path; empty when the file cannot be read, does not parse,
// is not an object or has no string "game".
std::filesystem::path ReadGameKey(const std::filesystem::path& file);

// A settings object as written: two-space indentation, UTF-8 as it is, no line end after the last brace.
std::string DumpSettings(const nlohmann::json& doc);

// The two file calls that updating a settings file makes; empty ones are the real ReadWholeFile and
// MoveReplacing. Tests put in calls that fail for a while, as a file held open by a virus scanner does
// on Windows.
struct SettingsFileCalls {
    std::function<bool(const std::filesystem::path&, std::string&)> read;
    std::function<bool(const std::filesystem::path&, const std::filesystem::path&, std::string&)> move;
};

// Writes a settings file whole: into a temporary file beside it, then renamed over it, so a crash or
// a full disk never leaves the user's settings empty or cut short. A rename that fails is tried again
// for about a second. False when it could not be written.
bool WriteSettingsFile(const std::filesystem::path& file, const nlohmann::json& doc);

// Sets `key` of a settings file to the string `value` and keeps every other key. A file that exists
// but cannot be read is tried again for about a second and, when it stays unreadable, left as it is:
// starting from an empty object would drop the other settings. A missing or broken file starts from
// an empty object. False with `err` (what went wrong, without the file's name) when the file was not
// changed.
bool UpdateSettingsFile(const std::filesystem::path& file, const std::string& key, const std::string& value,
                        std::string& err, const SettingsFileCalls& calls = {});

}  // namespace launcher
