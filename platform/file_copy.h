#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// Copies a file over `to`, replacing a file already there (the Windows build's standard library refuses
// to replace one). Fails when the file there is held open, as a running program's is. On failure `err`
// holds the system's message.
bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

// A file written under a temporary name of its own in the folder of its target and then renamed over the
// target, so that whatever stands there (a link, or a hard link sharing its data with a file elsewhere)
// is replaced and never written through. The temporary name is made new (nothing may stand there), and
// an unfinished file is removed when the object goes or is discarded. Errors are the system's messages.
class StagedFile {
public:
    StagedFile() = default;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() { Discard(); }

    // Starts an empty file for `target`; its folder must exist.
    bool Open(const std::filesystem::path& target, std::string& err);
    // Starts the file for `target` as a copy of the file `source`, its permissions included.
    bool OpenCopy(const std::filesystem::path& source, const std::filesystem::path& target, std::string& err);
    bool Write(const void* data, size_t n, std::string& err);
    // Closes the file, adds `executeBits` (the 0111 bits of a mode; nothing on Windows) to its permissions
    // and renames it over the target. The staged file is gone afterwards, whatever the result.
    bool Commit(uint32_t executeBits, std::string& err);
    // Closes and removes a file not committed; nothing when none is staged.
    void Discard();

    bool Staged() const { return !temporary_.empty(); }
    const std::filesystem::path& Target() const { return target_; }

private:
    bool Create(const std::filesystem::path& target, const std::filesystem::path* source, std::string& err);
    void Close();

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    intptr_t handle_ = -1;  // a file descriptor, or a Windows file handle; -1 when none is open
};

}  // namespace launcher
