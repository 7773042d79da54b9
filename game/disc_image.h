#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

namespace launcher {

// One file or folder of an Xbox disc image.
struct DiscEntry {
    std::string name;        // as stored on the disc
    uint64_t offset = 0;     // byte offset of the data in the image file
    uint32_t size = 0;
    bool isDirectory = false;
    std::vector<DiscEntry> children;  // sorted by EntryNameLess; empty for a file
};

// The order of a folder's children: ASCII letters upper-cased, then bytewise.
bool EntryNameLess(const DiscEntry& a, const DiscEntry& b);

// Reads files straight out of an XDVDFS image. The whole folder tree is read once, by Open.
// Used by one thread at a time; never writes to the image.
class DiscImage {
public:
    static constexpr uint32_t kSectorSize = 2048;
    static constexpr uint32_t kFarPartition = 0x18300000;
    static constexpr int kMaxDepth = 32;
    static constexpr uint32_t kMaxDirectorySize = 0x1000000;
    // A damaged image must not make the UI thread read or hold unbounded amounts of tree data.
    static constexpr uint64_t kMaxTreeBytes = 64ull << 20;
    static constexpr uint64_t kMaxEntries = 1u << 20;

    DiscImage() = default;
    ~DiscImage();
    DiscImage(const DiscImage&) = delete;
    DiscImage& operator=(const DiscImage&) = delete;

    // False with "cannot open the file", "no Xbox disc image" or "its folders cannot be read".
    bool Open(const std::filesystem::path& imagePath, std::string& err);
    // `inside` uses '\\' between components, in any letter case.
    bool ReadFile(const std::string& inside, std::vector<unsigned char>& bytes);
    const DiscEntry* FindPath(const std::string& inside) const;
    const DiscEntry* FindEntry(const std::vector<std::string>& components) const;
    // Bytes read at `offset`; 0 on failure.
    uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count);
    bool ReadDirectory(DiscEntry& dir, int depth);

    std::intptr_t handle = -1;  // the open file (a HANDLE or a descriptor); -1 while closed
    std::filesystem::path path;
    uint32_t partitionOffset = 0;
    uint64_t volumeTime = 0;  // FILETIME of the volume descriptor
    DiscEntry root;
    uint64_t fileSize = 0;

private:
    // Platform twins: disc_image_win.cpp, disc_image_posix.cpp.
    bool OpenHandle();
    void CloseHandle();
    bool ReadDescriptor(uint64_t at);

    std::unordered_set<uint64_t> readDirectories_;  // offsets of the folders read so far
    uint64_t treeBytes_ = 0;
    uint64_t entryCount_ = 0;
};

}  // namespace launcher
