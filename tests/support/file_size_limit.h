#pragma once

// A disk that fills, stood in for by a limit on the size of the files this process and the children it
// starts then write: for as long as the object lives, a write past the limit fails with EFBIG ("File too
// large") instead of raising SIGXFSZ. POSIX only (Windows has no such limit).

#include <cstdint>

namespace launcher::test {

class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    uint64_t saved_ = 0;
    void (*savedHandler_)(int) = nullptr;
};

}  // namespace launcher::test
