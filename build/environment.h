#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// The last subfolder of `folder` in path order (textual: "14.9.1" comes after "14.44.35207"); links to
// folders count. Empty when there is none or the folder cannot be listed.
std::filesystem::path NewestSubfolder(const std::filesystem::path& folder);

// A path as a child program is given it: UTF-8 with the platform's own separators.
std::string CommandPath(std::filesystem::path path);

// The program the launcher installed at `installed` when it is there, else `name` for the search path.
std::string InstalledOrOnPath(const std::filesystem::path& installed, const std::string& name);

// The paths' UTF-8 forms joined with `separator`.
std::string JoinPaths(char separator, const std::vector<std::filesystem::path>& paths);

}  // namespace launcher
