#include "game/disc_image.h"

#include <algorithm>
#include <cstring>

namespace launcher {

namespace {

constexpr char kMagic[] = "MICROSOFT*XBOX*MEDIA";
constexpr size_t kMagicSize = 20;
constexpr uint64_t kDescriptorOffset = 0x10000;
constexpr size_t kEntryHeader = 14;

uint16_t U16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t U32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

unsigned char Upper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(static_cast<unsigned char>(a[i])) != Upper(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

}  // namespace

bool EntryNameLess(const DiscEntry& a, const DiscEntry& b) {
    size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = Upper(static_cast<unsigned char>(a.name[i]));
        unsigned char y = Upper(static_cast<unsigned char>(b.name[i]));
        if (x != y) return x < y;
    }
    return a.name.size() < b.name.size();
}

DiscImage::~DiscImage() {
    CloseHandle();
}

bool DiscImage::ReadDescriptor(uint64_t at) {
    unsigned char sector[kSectorSize];
    if (ReadAt(at, sector, kSectorSize) != kSectorSize) return false;
    if (std::memcmp(sector, kMagic, kMagicSize) != 0) return false;
    if (std::memcmp(sector + 0x7EC, kMagic, kMagicSize) != 0) return false;
    uint32_t rootSector = U32(sector + 0x14);
    uint32_t rootSize = U32(sector + 0x18);
    volumeTime = static_cast<uint64_t>(U32(sector + 0x1C)) | (static_cast<uint64_t>(U32(sector + 0x20)) << 32);
    root = DiscEntry{};
    root.isDirectory = true;
    root.size = rootSize;
    root.offset = static_cast<uint64_t>(rootSector) * kSectorSize;  // partition offset added by the caller
    return true;
}

bool DiscImage::Open(const std::filesystem::path& imagePath, std::string& err) {
    path = imagePath;
    if (!OpenHandle()) {
        err = "cannot open the file";
        return false;
    }
    if (ReadDescriptor(kDescriptorOffset)) {
        partitionOffset = 0;
    } else if (ReadDescriptor(uint64_t{kFarPartition} + kDescriptorOffset)) {
        partitionOffset = kFarPartition;
    } else {
        err = "no Xbox disc image";
        return false;
    }
    root.offset += partitionOffset;
    readDirectories_.clear();
    treeBytes_ = 0;
    entryCount_ = 0;
    if (!ReadDirectory(root, 0)) {
        err = "its folders cannot be read";
        return false;
    }
    return true;
}

bool DiscImage::ReadDirectory(DiscEntry& dir, int depth) {
    if (dir.size == 0) return true;
    if (depth > kMaxDepth || dir.size > kMaxDirectorySize) return false;
    // A damaged image: a folder that lies past the end of the file, or one that was read already (a
    // cycle, or folders shared so that the tree would grow exponentially), or more tree than any disc has.
    if (dir.offset > fileSize || dir.size > fileSize - dir.offset) return false;
    if (!readDirectories_.insert(dir.offset).second) return false;
    treeBytes_ += dir.size;
    if (treeBytes_ > kMaxTreeBytes) return false;

    std::vector<unsigned char> bytes(dir.size, 0);
    if (ReadAt(dir.offset, bytes.data(), dir.size) != dir.size) return false;

    const uint64_t size = dir.size;
    std::vector<bool> visited(size / 4 + 1, false);
    std::vector<uint64_t> pending{0};
    while (!pending.empty()) {
        uint64_t d = pending.back();
        pending.pop_back();
        if (d + kEntryHeader > size) continue;
        if (visited[d / 4]) continue;
        visited[d / 4] = true;
        const unsigned char* e = bytes.data() + d;
        uint16_t left = U16(e);
        if (left == 0xFFFF) continue;
        uint16_t right = U16(e + 2);
        uint8_t nameLength = e[0x0D];
        if (d + kEntryHeader + nameLength > size) continue;
        if (left != 0) pending.push_back(uint64_t{left} * 4);
        if (right != 0) pending.push_back(uint64_t{right} * 4);
        if (++entryCount_ > kMaxEntries) return false;
        DiscEntry child;
        child.name.assign(reinterpret_cast<const char*>(e + kEntryHeader), nameLength);
        child.offset = static_cast<uint64_t>(U32(e + 4)) * kSectorSize + partitionOffset;
        child.size = U32(e + 8);
        child.isDirectory = (e[0x0C] & 0x10) != 0;
        dir.children.push_back(std::move(child));
    }
    std::stable_sort(dir.children.begin(), dir.children.end(), EntryNameLess);
    for (DiscEntry& child : dir.children) {
        if (child.isDirectory && !ReadDirectory(child, depth + 1)) return false;
    }
    return true;
}

const DiscEntry* DiscImage::FindEntry(const std::vector<std::string>& components) const {
    std::vector<const DiscEntry*> stack{&root};
    for (const std::string& component : components) {
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            if (stack.size() > 1) stack.pop_back();
            continue;
        }
        const DiscEntry* found = nullptr;
        for (const DiscEntry& child : stack.back()->children) {
            if (SameNameIgnoringCase(child.name, component)) {
                found = &child;
                break;
            }
        }
        if (!found) return nullptr;
        stack.push_back(found);
    }
    return stack.back();
}

const DiscEntry* DiscImage::FindPath(const std::string& inside) const {
    std::vector<std::string> components;
    size_t start = 0;
    for (;;) {
        size_t cut = inside.find('\\', start);
        if (cut == std::string::npos) {
            components.push_back(inside.substr(start));
            break;
        }
        components.push_back(inside.substr(start, cut - start));
        start = cut + 1;
    }
    return FindEntry(components);
}

bool DiscImage::ReadFile(const std::string& inside, std::vector<unsigned char>& bytes) {
    const DiscEntry* entry = FindPath(inside);
    if (!entry || entry->isDirectory) return false;
    // A damaged or truncated image may claim up to 4 GiB for a file it does not hold: refuse it before
    // allocating anything of that size.
    if (entry->offset > fileSize || entry->size > fileSize - entry->offset) return false;
    bytes.assign(entry->size, 0);
    if (entry->size == 0) return true;
    return ReadAt(entry->offset, bytes.data(), entry->size) == entry->size;
}

}  // namespace launcher
