#include <gtest/gtest.h>

#include <thread>

#include "game/disc_image.h"
#include "support/test_support.h"
#include "support/xdvdfs_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::XDir;
using test::XdvdfsExtent;
using test::XdvdfsRawEntry;
using test::XdvdfsWriter;
using test::XFile;

constexpr uint32_t kMiB = 1u << 20;

std::string Bytes(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> ChildNames(const DiscEntry& dir) {
    std::vector<std::string> names;
    for (const DiscEntry& child : dir.children) names.push_back(child.name);
    return names;
}

std::vector<test::XdvdfsNode> SampleTree() {
    return {
        XFile("default.xbe", "main xbe bytes"),
        XFile("Driving.xbe", std::string(5000, 'd')),
        XFile("empty.bin", ""),
        XDir("Media", {XFile("Intro.BIK", "movie"), XDir("Sub", {XFile("deep.txt", "deep")})}),
        XDir("Nothing", {}),
    };
}

struct DiscImageTest : ::testing::Test {
    test::TempDir dir;

    // Opens `file`, expecting success.
    void OpenOk(DiscImage& image, const fs::path& file) {
        std::string err;
        ASSERT_TRUE(image.Open(file, err)) << err;
    }
    std::string OpenError(const fs::path& file) {
        DiscImage image;
        std::string err;
        EXPECT_FALSE(image.Open(file, err));
        return err;
    }
    // An image whose root folder is `rootBytes` as they stand.
    fs::path RawRoot(const std::string& rootBytes) {
        XdvdfsWriter writer;
        XdvdfsExtent root = writer.AddData(rootBytes);
        fs::path file = dir / "raw.iso";
        EXPECT_TRUE(writer.Write(file, root));
        return file;
    }
};

TEST_F(DiscImageTest, ReadsTheTreeAtEitherPartitionOffset) {
    for (uint32_t partition : {0u, DiscImage::kFarPartition}) {
        SCOPED_TRACE(partition);
        fs::path file = dir / ("image-" + std::to_string(partition) + ".iso");
        ASSERT_TRUE(test::WriteXdvdfsImage(file, SampleTree(), partition));
        DiscImage image;
        OpenOk(image, file);
        EXPECT_EQ(image.partitionOffset, partition);
        EXPECT_EQ(image.volumeTime, 0x01D2A3B489ABCDEFull);
        EXPECT_EQ(ChildNames(image.root),
                  (std::vector<std::string>{"default.xbe", "Driving.xbe", "empty.bin", "Media", "Nothing"}));

        std::vector<unsigned char> bytes;
        ASSERT_TRUE(image.ReadFile("default.xbe", bytes));
        EXPECT_EQ(Bytes(bytes), "main xbe bytes");
        ASSERT_TRUE(image.ReadFile("Driving.xbe", bytes));
        EXPECT_EQ(Bytes(bytes), std::string(5000, 'd'));
        ASSERT_TRUE(image.ReadFile("Media\\Sub\\deep.txt", bytes));
        EXPECT_EQ(Bytes(bytes), "deep");
        const DiscEntry* sub = image.FindPath("Media\\Sub");
        ASSERT_NE(sub, nullptr);
        EXPECT_TRUE(sub->isDirectory);
        EXPECT_GE(sub->offset, partition);
    }
}

TEST_F(DiscImageTest, FindPathIsCaseBlindAndWalksDotsAndEmptyComponents) {
    fs::path file = dir / "image.iso";
    ASSERT_TRUE(test::WriteXdvdfsImage(file, SampleTree()));
    DiscImage image;
    OpenOk(image, file);
    struct Case {
        const char* path;
        const char* found;  // nullptr: not found
    } cases[] = {
        {"DEFAULT.XBE", "default.xbe"},
        {"media\\sub\\DEEP.TXT", "deep.txt"},
        {"MEDIA\\intro.bik", "Intro.BIK"},
        {"\\Media\\\\Sub\\", "Sub"},
        {".\\Media\\.\\..\\default.xbe", "default.xbe"},
        {"..\\..\\default.xbe", "default.xbe"},
        {"", ""},
        {"Media\\..", ""},
        {"Med", nullptr},
        {"default.xb", nullptr},
        {"default.xbe\\x", nullptr},
        {"Media/Sub", nullptr},
        {"Nothing\\x", nullptr},
    };
    for (const Case& c : cases) {
        const DiscEntry* entry = image.FindPath(c.path);
        if (!c.found) {
            EXPECT_EQ(entry, nullptr) << c.path;
        } else {
            ASSERT_NE(entry, nullptr) << c.path;
            EXPECT_EQ(entry->name, c.found) << c.path;
        }
    }
    EXPECT_EQ(image.FindEntry({"MEDIA", "Sub", "deep.txt"}), image.FindPath("Media\\Sub\\deep.txt"));
}

TEST_F(DiscImageTest, ReadFileOfEmptyFilesFoldersAndMissingNames) {
    fs::path file = dir / "image.iso";
    ASSERT_TRUE(test::WriteXdvdfsImage(file, SampleTree()));
    DiscImage image;
    OpenOk(image, file);
    std::vector<unsigned char> bytes{1, 2, 3};
    EXPECT_TRUE(image.ReadFile("empty.bin", bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(image.ReadFile("Media", bytes));
    EXPECT_FALSE(image.ReadFile("Nothing", bytes));
    EXPECT_FALSE(image.ReadFile("", bytes));
    EXPECT_FALSE(image.ReadFile("missing.xbe", bytes));
}

TEST(EntryNameLess, UpperCasesLettersThenComparesBytes) {
    struct Case {
        const char* a;
        const char* b;
        bool less;
    } cases[] = {
        {"abc", "ABD", true}, {"ABD", "abc", false}, {"ab", "abc", true}, {"abc", "ab", false},
        {"a", "A", false},    {"A", "a", false},     {"z", "_", true},    {"_", "z", false},
        {"Z", "\x80", true},  {"\x80", "Z", false},  {"", "a", true},     {"a1", "A2", true},
    };
    for (const Case& c : cases) {
        DiscEntry a, b;
        a.name = c.a;
        b.name = c.b;
        EXPECT_EQ(EntryNameLess(a, b), c.less) << c.a << " < " << c.b;
    }
}

TEST_F(DiscImageTest, ChildrenComeInDiscOrderWhateverTheStoredTree) {
    // A degenerate tree (every entry to the right of the one before) in no particular order.
    std::vector<std::string> names = {"zeta", "Alpha", "_under", "beta", "ALPHA2", "b"};
    std::string root;
    size_t at = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        size_t length = (14 + names[i].size() + 3) / 4 * 4;
        XdvdfsRawEntry entry;
        entry.right = i + 1 < names.size() ? static_cast<uint16_t>((at + length) / 4) : 0;
        entry.name = names[i];
        XdvdfsWriter::PutEntry(root, at, entry);
        at += length;
    }
    DiscImage image;
    OpenOk(image, RawRoot(root));
    EXPECT_EQ(ChildNames(image.root),
              (std::vector<std::string>{"Alpha", "ALPHA2", "b", "beta", "zeta", "_under"}));
}

// Trees no well-made disc has: each is read without looping, and what is broken is left out.
TEST_F(DiscImageTest, DamagedTreesAreReadSafely) {
    struct Case {
        const char* what;
        std::vector<std::pair<size_t, XdvdfsRawEntry>> entries;
        size_t folderSize;  // 0: as the entries need
        std::vector<std::string> children;
    } cases[] = {
        {"a tree that links back to entries already read",
         {{0, {0, 5, 0, 0, 0, "a"}}, {20, {10, 5, 0, 0, 0, "b"}}, {40, {5, 10, 0, 0, 0, "c"}}},
         0,
         {"a", "b", "c"}},
        {"an entry that links to itself",
         {{0, {0, 0, 0, 0, 0, "solo"}}, {0, {0, 0, 0, 0, 0, "solo"}}},
         0,
         {"solo"}},
        {"a padding entry hides its subtrees",
         {{0, {0, 5, 0, 0, 0, "kept"}}, {20, {0xFFFF, 10, 0, 0, 0, "pad"}}, {40, {0, 0, 0, 0, 0, "hidden"}}},
         0,
         {"kept"}},
        {"a name that runs past the folder's end",
         {{0, {0, 5, 0, 0, 0, "kept"}}, {20, {0, 0, 0, 0, 0, "long", 40}}},
         40,
         {"kept"}},
        {"a header that runs past the folder's end",
         {{0, {0, 7, 0, 0, 0, "kept"}}, {28, {0, 0, 0, 0, 0, ""}}},
         40,
         {"kept"}},
        {"a link past the folder's end",
         {{0, {0x4000, 0xFFFE, 0, 0, 0, "kept"}}},
         0,
         {"kept"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string root;
        for (const auto& [at, entry] : c.entries) XdvdfsWriter::PutEntry(root, at, entry);
        if (c.folderSize) root.resize(c.folderSize, '\xFF');
        DiscImage image;
        OpenOk(image, RawRoot(root));
        EXPECT_EQ(ChildNames(image.root), c.children);
    }
}

// Folders whose entries lead back into the tree would be read again and again (two entries leading to
// the root make 2^32 folder reads before the depth limit stops it): such an image is refused at once.
TEST_F(DiscImageTest, FoldersReachedTwiceAreRefused) {
    for (bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "two entries share a folder" : "folders lead back to the root");
        XdvdfsWriter writer;
        std::string leaf;
        XdvdfsWriter::PutEntry(leaf, 0, {0, 0, 0, 0, 0x20, "file"});
        XdvdfsExtent leafExtent = writer.AddData(leaf);
        // The root is placed right after the leaf; its sector is known before it is written.
        uint32_t rootSector = leafExtent.sector + 1;
        uint32_t target = shared ? leafExtent.sector : rootSector;
        uint32_t size = shared ? leafExtent.size : 40;
        std::string root;
        XdvdfsWriter::PutEntry(root, 0, {0, 5, target, size, 0x10, "one"});
        XdvdfsWriter::PutEntry(root, 20, {0, 0, target, size, 0x10, "two"});
        root.resize(40, '\xFF');
        XdvdfsExtent rootExtent = writer.AddData(root);
        ASSERT_EQ(rootExtent.sector, rootSector);
        fs::path file = dir / "loop.iso";
        ASSERT_TRUE(writer.Write(file, rootExtent));
        EXPECT_EQ(OpenError(file), "its folders cannot be read");
    }
}

TEST_F(DiscImageTest, FolderDepthLimit) {
    for (int depth : {32, 33}) {
        SCOPED_TRACE(depth);
        test::XdvdfsNode node = XDir("d", {XFile("leaf.txt", "leaf")});
        for (int i = 1; i < depth; ++i) node = XDir("d", {node});
        fs::path file = dir / ("deep" + std::to_string(depth) + ".iso");
        ASSERT_TRUE(test::WriteXdvdfsImage(file, {node}));
        DiscImage image;
        std::string err;
        if (depth == 32) {
            ASSERT_TRUE(image.Open(file, err)) << err;
            std::string path;
            for (int i = 0; i < depth; ++i) path += "d\\";
            std::vector<unsigned char> bytes;
            EXPECT_TRUE(image.ReadFile(path + "leaf.txt", bytes));
        } else {
            EXPECT_FALSE(image.Open(file, err));
            EXPECT_EQ(err, "its folders cannot be read");
        }
    }
}

TEST_F(DiscImageTest, FolderSizeLimit) {
    for (uint32_t size : {16 * kMiB, 16 * kMiB + 4}) {
        SCOPED_TRACE(size);
        XdvdfsWriter writer;
        XdvdfsExtent data = writer.AddData("inside");
        std::string root(size, '\xFF');
        XdvdfsWriter::PutEntry(root, 0, {0, 0, data.sector, data.size, 0x20, "default.xbe"});
        XdvdfsExtent rootExtent = writer.AddData(root);
        fs::path file = dir / "big.iso";
        ASSERT_TRUE(writer.Write(file, rootExtent));
        DiscImage image;
        std::string err;
        if (size == 16 * kMiB) {
            ASSERT_TRUE(image.Open(file, err)) << err;
            std::vector<unsigned char> bytes;
            ASSERT_TRUE(image.ReadFile("default.xbe", bytes));
            EXPECT_EQ(Bytes(bytes), "inside");
        } else {
            EXPECT_FALSE(image.Open(file, err));
            EXPECT_EQ(err, "its folders cannot be read");
        }
    }
}

// More folder data than any disc holds (here zero-filled folders, in holes of a sparse file).
TEST_F(DiscImageTest, TreeSizeLimit) {
    for (int folders : {3, 4}) {
        SCOPED_TRACE(folders);
        XdvdfsWriter writer;
        std::string root;
        size_t at = 0;
        std::vector<XdvdfsExtent> big;
        for (int i = 0; i < folders; ++i) big.push_back(writer.Reserve(16 * kMiB));
        for (int i = 0; i < folders; ++i) {
            XdvdfsRawEntry entry{0, 0, big[i].sector, big[i].size, 0x10, "f" + std::to_string(i)};
            entry.right = i + 1 < folders ? static_cast<uint16_t>((at + 16) / 4) : 0;
            XdvdfsWriter::PutEntry(root, at, entry);
            at += 16;
        }
        XdvdfsExtent rootExtent = writer.AddData(root);
        fs::path file = dir / "wide.iso";
        ASSERT_TRUE(writer.Write(file, rootExtent));
        DiscImage image;
        std::string err;
        EXPECT_EQ(image.Open(file, err), folders == 3) << err;
    }
}

TEST_F(DiscImageTest, OpenFailures) {
    fs::path good = dir / "good.iso";
    ASSERT_TRUE(test::WriteXdvdfsImage(good, SampleTree()));

    test::WriteFile(dir / "empty.iso", "");
    fs::create_directories(dir / "folder.iso");

    XdvdfsWriter spoilt;
    XdvdfsExtent spoiltRoot = spoilt.AddTree(XDir("", SampleTree()));
    ASSERT_TRUE(spoilt.Write(dir / "second-magic.iso", spoiltRoot, 0, false));

    // The descriptor cut short, and the same at the far offset.
    std::string goodBytes = test::ReadFile(good);
    test::WriteFile(dir / "cut-descriptor.iso", goodBytes.substr(0, 0x10000 + 2047));
    XdvdfsWriter far(DiscImage::kFarPartition);
    XdvdfsExtent farRoot = far.AddTree(XDir("", SampleTree()));
    ASSERT_TRUE(far.Write(dir / "far-cut.iso", farRoot));
    fs::resize_file(dir / "far-cut.iso", uint64_t{DiscImage::kFarPartition} + 0x10000 + 100);

    // A root folder that the file does not hold (claimed at 16 MiB and at 4 GiB - 1).
    XdvdfsWriter past;
    ASSERT_TRUE(past.Write(dir / "root-past-end.iso", XdvdfsExtent{5000, 16 * kMiB}));
    ASSERT_TRUE(past.Write(dir / "root-far-past-end.iso", XdvdfsExtent{0xFFFFFFFF, 0xFFFFFFFF}));
    // A subfolder in the sector just past the end of the file (the root is the first and last sector).
    XdvdfsWriter cut;
    std::string cutRoot;
    XdvdfsWriter::PutEntry(cutRoot, 0, {0, 0, 34, 2048, 0x10, "Media"});
    XdvdfsExtent cutExtent = cut.AddData(cutRoot);
    ASSERT_EQ(cutExtent.sector, 33u);
    ASSERT_TRUE(cut.Write(dir / "folder-cut.iso", cutExtent));

    struct Case {
        const char* file;
        const char* err;
    } cases[] = {
        {"missing.iso", "cannot open the file"},
        {"folder.iso", "cannot open the file"},
        {"empty.iso", "no Xbox disc image"},
        {"second-magic.iso", "no Xbox disc image"},
        {"cut-descriptor.iso", "no Xbox disc image"},
        {"far-cut.iso", "no Xbox disc image"},
        {"root-past-end.iso", "its folders cannot be read"},
        {"root-far-past-end.iso", "its folders cannot be read"},
        {"folder-cut.iso", "its folders cannot be read"},
    };
    for (const Case& c : cases) EXPECT_EQ(OpenError(dir / c.file), c.err) << c.file;
}

// A damaged or truncated image may claim up to 4 GiB for a file: nothing of that size is allocated.
TEST_F(DiscImageTest, FileDataPastTheEndFailsBeforeAllocating) {
    XdvdfsWriter writer;
    XdvdfsExtent inside = writer.AddData("0123456789");
    std::string root;
    XdvdfsWriter::PutEntry(root, 0, {0, 7, inside.sector, inside.size, 0, "whole.bin"});
    // The file ends with the root's sector, right after the data's: one byte more than that is too much.
    XdvdfsWriter::PutEntry(root, 28, {0, 14, inside.sector, 2 * 2048 + 1, 0, "longer.bin"});
    XdvdfsWriter::PutEntry(root, 56, {0, 21, inside.sector, 0xFFFFFFFF, 0, "huge.bin"});
    XdvdfsWriter::PutEntry(root, 84, {0, 28, 0xFFFFFFFF, 1, 0, "far.bin"});
    XdvdfsWriter::PutEntry(root, 112, {0, 0, inside.sector, 2 * 2048, 0, "to-the-end.bin"});
    XdvdfsExtent rootExtent = writer.AddData(root);
    ASSERT_EQ(rootExtent.sector, inside.sector + 1);
    fs::path file = dir / "claims.iso";
    ASSERT_TRUE(writer.Write(file, rootExtent));

    DiscImage image;
    OpenOk(image, file);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(image.ReadFile("whole.bin", bytes));
    EXPECT_EQ(Bytes(bytes), "0123456789");
    ASSERT_TRUE(image.ReadFile("to-the-end.bin", bytes));
    EXPECT_EQ(bytes.size(), 2 * 2048u);
    for (const char* name : {"longer.bin", "huge.bin", "far.bin"}) {
        std::vector<unsigned char> none;
        EXPECT_FALSE(image.ReadFile(name, none)) << name;
        EXPECT_EQ(none.capacity(), 0u) << name;
    }
}

TEST_F(DiscImageTest, ReadAtPastTheEndAndWhenClosed) {
    fs::path file = dir / "image.iso";
    ASSERT_TRUE(test::WriteXdvdfsImage(file, SampleTree()));
    uint64_t size = fs::file_size(file);
    DiscImage image;
    char buffer[64];
    EXPECT_EQ(image.ReadAt(0, buffer, sizeof buffer), 0u);
    OpenOk(image, file);
    EXPECT_EQ(image.ReadAt(size - 10, buffer, sizeof buffer), 10u);
    EXPECT_EQ(image.ReadAt(size, buffer, sizeof buffer), 0u);
    EXPECT_EQ(image.ReadAt(uint64_t{1} << 40, buffer, sizeof buffer), 0u);
}

TEST_F(DiscImageTest, ConcurrencyReadAtFromManyThreads) {
    std::vector<test::XdvdfsNode> files;
    for (int i = 0; i < 8; ++i) files.push_back(XFile("f" + std::to_string(i), std::string(300000, char('a' + i))));
    fs::path file = dir / "many.iso";
    ASSERT_TRUE(test::WriteXdvdfsImage(file, files));
    DiscImage image;
    OpenOk(image, file);
    std::vector<const DiscEntry*> entries;
    for (int i = 0; i < 8; ++i) entries.push_back(image.FindPath("f" + std::to_string(i)));
    for (const DiscEntry* entry : entries) ASSERT_NE(entry, nullptr);

    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> buffer(300000);
            for (int round = 0; round < 20; ++round) {
                const DiscEntry* entry = entries[(t + round) % 8];
                uint32_t got = image.ReadAt(entry->offset, buffer.data(), entry->size);
                char expected = static_cast<char>('a' + (t + round) % 8);
                if (got != entry->size || buffer.front() != expected || buffer.back() != expected) ++wrong[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

}  // namespace
}  // namespace launcher
