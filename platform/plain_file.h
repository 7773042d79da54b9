#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// The small files and partial downloads the launcher writes under names of its own ("x.part", "x.new")
// are written as themselves, never through what stands at the name: a link there (or a second name of
// another file) is removed as itself, never followed, and a new file is made in its place, created
// exclusively. Where a link cannot be removed as itself (Wine acts on what a host's link leads to, even
// when asked for the link itself), the open fails and the file the link leads to is left alone.
class PlainFile {
public:
    PlainFile() = default;
    ~PlainFile();
    PlainFile(const PlainFile&) = delete;
    PlainFile& operator=(const PlainFile&) = delete;

    // Opens `path` to write at its end. A plain file there is kept and `size` receives its length; when
    // nothing or a link stands there, a new empty file is made (size 0). On failure `err` holds the
    // system's reason.
    bool OpenForAppend(const std::filesystem::path& path, uint64_t& size, std::string& err);
    // Makes `path` a new empty file in place of whatever file or link stands there.
    bool Create(const std::filesystem::path& path, std::string& err);
    bool Write(const char* data, size_t size, std::string& err);
    // Drops everything the file holds; later writes start at 0.
    bool Truncate(std::string& err);
    // Closes the file; false when the last writes could not be completed.
    bool Close(std::string& err);
    bool IsOpen() const { return handle_ != kNone; }

private:
    static constexpr intptr_t kNone = -1;
    intptr_t handle_ = kNone;
};

// Writes `bytes` as a new file at `path` (see PlainFile::Create). On failure a cut file may stay.
bool WritePlainFile(const std::filesystem::path& path, const std::string& bytes, std::string& err);

// Writes `bytes` to `file` whole or not at all: as a new file at `file` + `suffix` (see WritePlainFile),
// then renamed over `file`, so that a run killed meanwhile leaves the old file or the new one. The
// temporary file goes again on failure.
bool ReplaceFileWhole(const std::filesystem::path& file, const std::string& bytes, const char* suffix,
                      std::string& err);

// Removes the file or link at `path` as itself, never what a link leads to; nothing there counts as
// removed. A folder is not removed. On failure `err` holds the system's reason.
bool RemovePlainFile(const std::filesystem::path& path, std::string& err);

}  // namespace launcher
