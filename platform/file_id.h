#pragma once

#include <cstdint>
#include <filesystem>

namespace launcher {

// What makes a file or folder the same one under any of its names: the volume and the file's number on
// it. Walks that follow links use it to notice a folder they are already inside.
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};

// Whether a file number that a volume reports names one file. Some drives report 0 for every file, and
// "no number" is all ones: such a file is not identified, or every folder on it would seem to be one.
inline bool IsKnownFileIndex(uint64_t index) {
    return index != 0 && index != ~uint64_t{0};
}

// The identity of what `path` names, links and junctions followed; false when it cannot be read or the
// volume gives the file no number of its own.
bool IdentifyFile(const std::filesystem::path& path, FileId& id);

// The full path of what `path` names, every link and junction on the way resolved: where the folder
// really lies, whichever way it was reached. False when it cannot be opened.
bool ResolvePath(const std::filesystem::path& path, std::filesystem::path& resolved);

}  // namespace launcher
