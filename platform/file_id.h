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

// The identity of what `path` names, links and junctions followed; false when it cannot be read.
bool IdentifyFile(const std::filesystem::path& path, FileId& id);

}  // namespace launcher
