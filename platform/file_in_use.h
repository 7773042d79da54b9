#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Whether another program holds `file` open so that it cannot be written, renamed or replaced: on
// Windows a running program's executable or libraries, or a file opened without write and delete
// sharing (a sharing violation). Then `why` gets the system's text. POSIX has no such holds: false.
bool FileInUse(const std::filesystem::path& file, std::string& why);

}  // namespace launcher
