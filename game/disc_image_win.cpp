#include <windows.h>

#include "game/disc_image.h"

namespace launcher {

namespace {

// Each thread waits on its own event, so readers on different threads never share one.
class ThreadEvent {
public:
    ThreadEvent() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ThreadEvent() {
        if (event_) ::CloseHandle(event_);
    }
    ThreadEvent(const ThreadEvent&) = delete;
    ThreadEvent& operator=(const ThreadEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

bool DiscImage::OpenHandle() {
    CloseHandle();
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    handle = reinterpret_cast<std::intptr_t>(file);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart < 0) return false;
    fileSize = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void DiscImage::CloseHandle() {
    if (AsHandle(handle) != INVALID_HANDLE_VALUE) ::CloseHandle(AsHandle(handle));
    handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

uint32_t DiscImage::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
    if (AsHandle(handle) == INVALID_HANDLE_VALUE || count == 0) return 0;
    thread_local ThreadEvent event;
    if (!event.get()) return 0;
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    overlapped.hEvent = event.get();
    if (!::ReadFile(AsHandle(handle), buffer, count, nullptr, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    DWORD transferred = 0;
    if (!::GetOverlappedResult(AsHandle(handle), &overlapped, &transferred, TRUE)) return 0;
    return transferred;
}

}  // namespace launcher
