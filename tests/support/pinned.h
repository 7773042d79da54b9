#pragma once

#include <filesystem>
#include <string>

namespace launcher::test {

// Keeps one file from being deleted while the object lives, the way a running program or a virus scanner
// keeps its files: on Windows (and under Wine) it is held open without delete sharing; on Linux, where the
// tests run as root and no permission stops a delete, it is marked immutable. `pinned()` is false (and
// `why()` says why) when this machine does not allow it.
class PinnedFile {
public:
    explicit PinnedFile(const std::filesystem::path& file);
    ~PinnedFile();
    PinnedFile(const PinnedFile&) = delete;
    PinnedFile& operator=(const PinnedFile&) = delete;

    bool pinned() const { return pinned_; }
    const std::string& why() const { return why_; }

private:
    std::filesystem::path file_;
    bool pinned_ = false;
    std::string why_;
    void* handle_ = nullptr;  // Windows: the open file
};

}  // namespace launcher::test
