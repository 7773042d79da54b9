#pragma once

// Whole reads and writes on a POSIX pipe or file descriptor, shared by the test programs and the tests
// that talk to them.

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace pipe_io {

// Reads exactly `size` bytes; false at the end of the input or on an error.
inline bool ReadAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes all `size` bytes; false when the other end went away.
inline bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace pipe_io
