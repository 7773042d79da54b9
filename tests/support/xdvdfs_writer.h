#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace launcher::test {

// A file or folder to lay out on a test disc.
struct XdvdfsNode {
    std::string name;
    bool directory = false;
    std::string data;                  // a file's bytes
    std::vector<XdvdfsNode> children;  // a folder's entries
};

XdvdfsNode XFile(const std::string& name, const std::string& data);
XdvdfsNode XDir(const std::string& name, std::vector<XdvdfsNode> children);

// Where bytes lie: the first sector counted from the partition's start, and the size.
struct XdvdfsExtent {
    uint32_t sector = 0;
    uint32_t size = 0;
};

// One folder entry exactly as stored, for trees that no well-made disc has.
struct XdvdfsRawEntry {
    uint16_t left = 0;
    uint16_t right = 0;
    uint32_t sector = 0;
    uint32_t size = 0;
    uint8_t attributes = 0;  // 0x10: a folder
    std::string name;
    int storedNameLength = -1;  // the length byte when it should differ from name.size()
};

// Lays out an XDVDFS image for tests: the volume descriptor at 0x10000 of the game partition (which
// starts at 0 or at 0x18300000 of the file), folders as binary trees of entries, file data in sectors
// of their own. Only written bytes take disk space: the rest of the file is a hole.
class XdvdfsWriter {
public:
    explicit XdvdfsWriter(uint32_t partitionOffset = 0) : partitionOffset_(partitionOffset) {}

    // Bytes in fresh sectors.
    XdvdfsExtent AddData(const std::string& bytes);
    // Fresh sectors for `size` bytes that are not written (they read as zeros, or lie past the end).
    XdvdfsExtent Reserve(uint64_t size);
    // A folder as a mastering tool lays it out: entries in a balanced tree of name order (root entry at
    // offset 0), 4-byte aligned, none crossing a sector, the rest of the last sector padded with 0xFF.
    // Adds every file and subfolder below it too.
    XdvdfsExtent AddTree(const XdvdfsNode& folder);

    // One entry's bytes (header and name, padded to 4 bytes with 0xFF).
    static std::string EntryBytes(const XdvdfsRawEntry& entry);
    // Puts an entry's bytes at `at` of a folder's bytes, growing them as needed.
    static void PutEntry(std::string& folder, size_t at, const XdvdfsRawEntry& entry);

    // Writes the descriptor naming `root` and every piece added. The file ends with the last piece, or
    // at `minimumSize` when that is larger. `secondMagic` false spoils the descriptor's closing magic.
    bool Write(const std::filesystem::path& file, XdvdfsExtent root, uint64_t minimumSize = 0,
               bool secondMagic = true) const;

    uint32_t partitionOffset() const { return partitionOffset_; }
    // The byte offset in the file of a sector.
    uint64_t FileOffset(uint32_t sector) const;

private:
    uint32_t partitionOffset_;
    uint32_t nextSector_ = 0x10000 / 2048 + 1;  // the first sector after the descriptor
    std::map<uint32_t, std::string> pieces_;
    uint64_t end_ = 0;  // the file offset just past the last sector handed out
};

// The common case: `root`'s children as a whole image.
bool WriteXdvdfsImage(const std::filesystem::path& file, const std::vector<XdvdfsNode>& rootChildren,
                      uint32_t partitionOffset = 0);

}  // namespace launcher::test
