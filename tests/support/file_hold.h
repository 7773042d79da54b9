#pragma once

#include <filesystem>

namespace launcher::test {

// Holds a file open the way a virus scanner or a second program does on Windows, so that opening,
// replacing or deleting it fails with a sharing violation until it is let go. POSIX has no sharing
// modes that bind root: there Hold always fails.
class FileHold {
public:
    enum class Share {
        Nothing,  // no one else may open the file at all
        Reading,  // others may read it, but not write, rename over or delete it
    };

    FileHold() = default;
    ~FileHold();
    FileHold(const FileHold&) = delete;
    FileHold& operator=(const FileHold&) = delete;

    bool Hold(const std::filesystem::path& file, Share share);
    void Release();

private:
    void* handle_ = nullptr;
};

}  // namespace launcher::test
