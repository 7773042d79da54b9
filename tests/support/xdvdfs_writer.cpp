#include "support/xdvdfs_writer.h"

#include <algorithm>
#include <fstream>

namespace launcher::test {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSector = 2048;
constexpr char kMagic[] = "MICROSOFT*XBOX*MEDIA";

void Put16(std::string& out, size_t at, uint16_t value) {
    out[at] = static_cast<char>(value & 0xFF);
    out[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The disc's own order: ASCII letters upper-cased, then bytewise (written out independently of the
// reader's, so the tests compare two readings of the format).
bool DiscOrder(const XdvdfsNode* a, const XdvdfsNode* b) {
    auto key = [](std::string s) {
        for (char& c : s) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        }
        return s;
    };
    return key(a->name) < key(b->name);  // std::string compares chars as unsigned via char_traits
}

uint32_t SectorsFor(uint64_t size) {
    return static_cast<uint32_t>(std::max<uint64_t>(1, (size + kSector - 1) / kSector));
}

}  // namespace

XdvdfsNode XFile(const std::string& name, const std::string& data) {
    XdvdfsNode node;
    node.name = name;
    node.data = data;
    return node;
}

XdvdfsNode XDir(const std::string& name, std::vector<XdvdfsNode> children) {
    XdvdfsNode node;
    node.name = name;
    node.directory = true;
    node.children = std::move(children);
    return node;
}

uint64_t XdvdfsWriter::FileOffset(uint32_t sector) const {
    return uint64_t{partitionOffset_} + uint64_t{sector} * kSector;
}

XdvdfsExtent XdvdfsWriter::AddData(const std::string& bytes) {
    if (bytes.empty()) return {};
    XdvdfsExtent extent{nextSector_, static_cast<uint32_t>(bytes.size())};
    nextSector_ += SectorsFor(bytes.size());
    pieces_[extent.sector] = bytes;
    end_ = std::max(end_, FileOffset(nextSector_));
    return extent;
}

XdvdfsExtent XdvdfsWriter::Reserve(uint64_t size) {
    XdvdfsExtent extent{nextSector_, static_cast<uint32_t>(size)};
    nextSector_ += SectorsFor(size);
    return extent;
}

std::string XdvdfsWriter::EntryBytes(const XdvdfsRawEntry& entry) {
    size_t length = 14 + entry.name.size();
    std::string bytes((length + 3) / 4 * 4, '\xFF');
    Put16(bytes, 0, entry.left);
    Put16(bytes, 2, entry.right);
    Put32(bytes, 4, entry.sector);
    Put32(bytes, 8, entry.size);
    bytes[12] = static_cast<char>(entry.attributes);
    bytes[13] = static_cast<char>(entry.storedNameLength >= 0 ? entry.storedNameLength : entry.name.size());
    std::copy(entry.name.begin(), entry.name.end(), bytes.begin() + 14);
    return bytes;
}

void XdvdfsWriter::PutEntry(std::string& folder, size_t at, const XdvdfsRawEntry& entry) {
    std::string bytes = EntryBytes(entry);
    if (folder.size() < at + bytes.size()) folder.resize(at + bytes.size(), '\xFF');
    std::copy(bytes.begin(), bytes.end(), folder.begin() + static_cast<std::ptrdiff_t>(at));
}

XdvdfsExtent XdvdfsWriter::AddTree(const XdvdfsNode& folder) {
    std::vector<const XdvdfsNode*> sorted;
    for (const XdvdfsNode& child : folder.children) sorted.push_back(&child);
    std::sort(sorted.begin(), sorted.end(), DiscOrder);
    if (sorted.empty()) return {};

    std::vector<XdvdfsRawEntry> entries(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
        const XdvdfsNode& node = *sorted[i];
        XdvdfsExtent extent = node.directory ? AddTree(node) : AddData(node.data);
        entries[i].sector = extent.sector;
        entries[i].size = extent.size;
        entries[i].attributes = node.directory ? 0x10 : 0x20;
        entries[i].name = node.name;
    }

    // Balanced tree over the sorted entries: the middle one is the root; entries take their places in
    // pre-order, so the root lands at offset 0.
    std::vector<size_t> offsets(entries.size());
    size_t position = 0;
    auto place = [&](auto&& self, size_t lo, size_t hi) -> void {
        if (lo >= hi) return;
        size_t mid = lo + (hi - lo) / 2;
        size_t length = (14 + entries[mid].name.size() + 3) / 4 * 4;
        if (position % kSector + length > kSector) position = (position / kSector + 1) * kSector;
        offsets[mid] = position;
        position += length;
        self(self, lo, mid);
        self(self, mid + 1, hi);
    };
    place(place, 0, entries.size());
    auto link = [&](auto&& self, size_t lo, size_t hi) -> long {
        if (lo >= hi) return -1;
        size_t mid = lo + (hi - lo) / 2;
        long left = self(self, lo, mid);
        long right = self(self, mid + 1, hi);
        entries[mid].left = left < 0 ? 0 : static_cast<uint16_t>(offsets[left] / 4);
        entries[mid].right = right < 0 ? 0 : static_cast<uint16_t>(offsets[right] / 4);
        return static_cast<long>(mid);
    };
    link(link, 0, entries.size());

    std::string bytes;
    for (size_t i = 0; i < entries.size(); ++i) PutEntry(bytes, offsets[i], entries[i]);
    bytes.resize((bytes.size() + kSector - 1) / kSector * kSector, '\xFF');
    return AddData(bytes);
}

bool XdvdfsWriter::Write(const fs::path& file, XdvdfsExtent root, uint64_t minimumSize, bool secondMagic) const {
    std::string descriptor(kSector, '\0');
    std::copy(kMagic, kMagic + 20, descriptor.begin());
    Put32(descriptor, 0x14, root.sector);
    Put32(descriptor, 0x18, root.size);
    Put32(descriptor, 0x1C, 0x89ABCDEF);
    Put32(descriptor, 0x20, 0x01D2A3B4);
    std::copy(kMagic, kMagic + 20, descriptor.begin() + 0x7EC);
    if (!secondMagic) descriptor[0x7EC + 9] = 'x';

    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        auto put = [&](uint64_t at, const std::string& bytes) {
            out.seekp(static_cast<std::streamoff>(at));
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        };
        put(uint64_t{partitionOffset_} + 0x10000, descriptor);
        for (const auto& [sector, bytes] : pieces_) put(FileOffset(sector), bytes);
        if (!out) return false;
    }
    uint64_t size = std::max({end_, uint64_t{partitionOffset_} + 0x10000 + kSector, minimumSize});
    std::error_code ec;
    fs::resize_file(file, size, ec);
    return !ec;
}

bool WriteXdvdfsImage(const fs::path& file, const std::vector<XdvdfsNode>& rootChildren, uint32_t partitionOffset) {
    XdvdfsWriter writer(partitionOffset);
    XdvdfsExtent root = writer.AddTree(XDir("", rootChildren));
    return writer.Write(file, root);
}

}  // namespace launcher::test
