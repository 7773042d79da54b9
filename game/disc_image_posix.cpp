#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "game/disc_image.h"

namespace launcher {

bool DiscImage::OpenHandle() {
    CloseHandle();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    handle = fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return false;
    fileSize = static_cast<uint64_t>(info.st_size);
    return true;
}

void DiscImage::CloseHandle() {
    if (handle >= 0) ::close(static_cast<int>(handle));
    handle = -1;
}

uint32_t DiscImage::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
    if (handle < 0) return 0;
    // One pread returns at most about 2 GiB, so a large file takes more than one call.
    uint32_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < count) {
        ssize_t n = ::pread(static_cast<int>(handle), out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

}  // namespace launcher
