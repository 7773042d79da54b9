#include <gtest/gtest.h>
#include <lzma.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <fstream>
#include <sstream>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "platform/tar_xz.h"
#include "support/folder_swap.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::FilesBelow;
using Files = std::vector<std::string>;

// The archives made by tests/support/make_tar_fixtures.sh when the tests were built.
fs::path Fixture(const std::string& name) {
    return test::SelfDir() / "tar-fixtures" / name;
}

// "<size> <sha256> <path>" per file, sorted by path: what tar extracted, or what lies below a folder.
std::string ExpectedListing(const std::string& archive) {
    return test::ReadFile(Fixture(archive + ".expected"));
}

std::string Listing(const fs::path& dir) {
    std::ostringstream out;
    for (const std::string& file : FilesBelow(dir)) {
        const fs::path path = dir / Utf8Path(file);
        out << fs::file_size(path) << ' ' << Sha256File(path) << ' ' << file << '\n';
    }
    return out.str();
}

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    ProgressSink sink() {
        return [this](uint64_t done, uint64_t total) { calls.emplace_back(done, total); };
    }
};

struct ExtractTarXzTest : ::testing::Test {
    test::TempDir tmp;
    fs::path dest = tmp / "out" / "tool";
    std::string err = "untouched";
    Progress progress;

    fs::path Copy(const std::string& fixture, const std::string& bytes) {
        fs::path file = tmp / fixture;
        test::WriteFile(file, bytes);
        return file;
    }
};

TEST_F(ExtractTarXzTest, UnpacksWhatTarUnpacks) {
    // Formats gnu, pax and ustar; integrity checks crc32, crc64, sha256 and none; the x86 filter; names
    // that begin "./"; a file of several blocks (the threaded decoder); one tar in two xz streams, read
    // by each decoder; and GNU's incremental format.
    for (const char* name : {"gnu-crc64", "pax-crc32", "gnu-sha256", "pax-none-x86", "ustar-crc64", "dot-slash",
                             "blocks", "streams", "streams-blocks", "incremental"}) {
        SCOPED_TRACE(name);
        const fs::path archive = Fixture(std::string(name) + ".tar.xz");
        const fs::path out = tmp / name;
        Progress seen;
        ASSERT_TRUE(ExtractTarXz(archive, out, {}, seen.sink(), nullptr, err)) << err;
        EXPECT_EQ(err, "untouched");
        // Links inside became copies (one to a folder, of the files below it); links leading out and the
        // fifo gave nothing.
        EXPECT_EQ(Listing(out), ExpectedListing(name));
        EXPECT_FALSE(fs::exists(out / "top" / "empty-folder"));  // folders come only as parents of files
        ASSERT_FALSE(seen.calls.empty());
        const uint64_t size = fs::file_size(archive);
        EXPECT_EQ(seen.calls.back(), (std::pair<uint64_t, uint64_t>{size, size}));
        for (size_t i = 1; i < seen.calls.size(); ++i) EXPECT_GE(seen.calls[i].first, seen.calls[i - 1].first);
#ifndef _WIN32
        const fs::perms runnable = fs::status(out / "top" / "bin" / "run.sh").permissions();
        EXPECT_NE(runnable & fs::perms::owner_exec, fs::perms::none);
        EXPECT_EQ(fs::status(out / "top" / "bin" / "tool.c").permissions() & fs::perms::owner_exec, fs::perms::none);
#endif
    }
}

// Archives in name order, as `tar --sort=name` writes them, where links come before what they name: a
// link to a folder (with and without a trailing "/") before the folder, a link to such a link, a chain of
// links in reverse order, a hard link and a link to it. Each unpacks as tar unpacks it, links as copies.
TEST_F(ExtractTarXzTest, LinksBeforeWhatTheyNameAreMadeAtTheEnd) {
    for (const char* name : {"links-gnu", "links-pax"}) {
        SCOPED_TRACE(name);
        const fs::path out = tmp / name;
        ASSERT_TRUE(ExtractTarXz(Fixture(std::string(name) + ".tar.xz"), out, {}, {}, nullptr, err)) << err;
        EXPECT_EQ(Listing(out), ExpectedListing(name));
        EXPECT_FALSE(IsLink(out / "links" / "bin"));
    }
    // The links follow the mapper: a folder link lands where its own name maps, with the files its
    // folder's members were mapped to; a link whose target was skipped gives nothing.
    EntryMapper map = [](const std::string& name) -> std::string {
        if (name == "links/usr/lib/libz.so.1.3") return "";
        if (name.rfind("links/usr/", 0) == 0) return "system/" + name.substr(10);
        return name.substr(6);
    };
    ASSERT_TRUE(ExtractTarXz(Fixture("links-gnu.tar.xz"), tmp / "mapped", map, {}, nullptr, err)) << err;
    EXPECT_EQ(FilesBelow(tmp / "mapped"),
              (Files{"bin/clang++.exe", "bin/clang-cl.exe", "bin/clang.exe", "include/zlib.h", "lib32/sub/deep.txt",
                     "lib64/sub/deep.txt", "system/bin/clang++.exe", "system/bin/clang-cl.exe", "system/bin/clang.exe",
                     "system/include/zlib.h", "system/lib/sub/deep.txt"}));
}

// Archives that Python's tarfile makes, for what tar cannot write: where GNU tar reports an error (and
// exits with 2), the run fails with a sentence, after what tar writes too; a hard link to a member that
// comes later is made, where tar gives up on it.
TEST_F(ExtractTarXzTest, HeadersAreCheckedAndHardLinksNeedTheirMember) {
    struct Case {
        const char* archive;
        std::string error;  // "" for a run that succeeds
        Files files;
    } cases[] = {
        // A byte of b.txt's header changed: its checksum no longer holds.
        {"bad-checksum", "the archive is damaged: a header's checksum is wrong at byte 1024", {"a.txt"}},
        // A pax "size=0" over data: the data comes where a header belongs.
        {"pax-size-0", "the archive is damaged: a header's checksum is wrong at byte 1536", {"data.bin"}},
        {"hard-link-missing", "the archive is damaged: its hard link a.txt names nothere.txt, which it does not hold",
         {"b.txt"}},
        {"hard-link-later", "", {"a.txt", "b.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        test::TempDir scratch;
        const fs::path out = scratch / "a" / "b";
        err = "untouched";
        EXPECT_EQ(ExtractTarXz(Fixture(std::string(c.archive) + ".tar.xz"), out, {}, {}, nullptr, err),
                  c.error.empty());
        EXPECT_EQ(err, c.error.empty() ? "untouched" : c.error);
        EXPECT_EQ(FilesBelow(out), c.files);
        EXPECT_EQ(FilesBelow(scratch.path()).size(), c.files.size());
    }
    EXPECT_EQ(test::ReadFile(tmp / "hard-link-later" / "a.txt"), test::ReadFile(tmp / "hard-link-later" / "b.txt"));
}

TEST_F(ExtractTarXzTest, NothingIsWrittenOutsideTheDestination) {
    struct Case {
        const char* archive;
        bool ok;
        const char* errorStart;
        Files files;
    } cases[] = {
        {"dotdot-name", false, "unsafe path in the archive: ../evil.txt", {"first.txt"}},
        {"absolute-name", false, "unsafe path in the archive: /", {"first.txt"}},
        // The link leads out and gives nothing, so the file behind it lands in a folder of that name.
        {"through-link", true, "untouched", {"escape/evil.txt", "first.txt"}},
        // A link before its target is made at the end; an absolute one and one climbing above the top give
        // nothing, even where dropping the "/" or "../" would name a file of the archive.
        {"order", true, "untouched", {"early-link", "etc/hosts", "target.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        test::TempDir scratch;
        const fs::path out = scratch / "a" / "b";
        err = "untouched";
        EXPECT_EQ(ExtractTarXz(Fixture(std::string(c.archive) + ".tar.xz"), out, {}, {}, nullptr, err), c.ok);
        EXPECT_EQ(err.rfind(c.errorStart, 0), 0u) << err;
        EXPECT_EQ(FilesBelow(out), c.files);
        EXPECT_EQ(FilesBelow(scratch.path()).size(), c.files.size());  // and nothing beside it
    }
}

// Archives cut short, or holding sparse files: each fails with a sentence (GNU tar fails on the cuts
// inside data too, and unpacks a sparse file whole), never true with less than tar unpacks. What was
// written before stays; nothing is left under a temporary name.
TEST_F(ExtractTarXzTest, CutArchivesAndSparseFilesFailWithASentence) {
    const std::string sparse = "the archive holds a sparse file, which is not supported: ";
    const std::string huge = "the archive ends inside huge.bin: 8589934583 of its 8589934592 bytes are missing";
    struct Case {
        const char* archive;
        std::string error;  // "" for an archive that is whole
        Files files;
    } cases[] = {
        {"cut-data", "the archive ends inside a.bin: 10512 of its 20000 bytes are missing", {}},
        {"cut-padding", "the archive ends inside a.bin: its last block is cut short", {"a.bin"}},
        {"cut-header", "the archive ends inside a header: only 208 of its 512 bytes are there", {"a.bin"}},
        {"cut-pax", "the archive ends inside a pax header: ", {}},
        {"cut-after-pax", "the archive ends after a long name or pax header, before the entry it belongs to", {}},
        // A base-256 size, and a pax "size=" record.
        {"huge-gnu", huge, {}},
        {"huge-pax", huge, {}},
        // The 6-region file's extension block is never read as a header: its data holds one.
        {"sparse-gnu-2", sparse + "sparse2.bin", {}},
        {"sparse-gnu-6", sparse + "sparse6.bin", {}},
        {"sparse-pax-1.0", sparse + "sparse6.bin", {}},
        // Complete members without the closing zero blocks: accepted, as tar accepts them.
        {"no-end-blocks", "", {"a.bin", "b.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        test::TempDir scratch;
        const fs::path out = scratch / "a" / "b";
        err = "untouched";
        const bool ok = ExtractTarXz(Fixture(std::string(c.archive) + ".tar.xz"), out, {}, {}, nullptr, err);
        if (c.error.empty()) {
            EXPECT_TRUE(ok) << err;
            EXPECT_EQ(Listing(out), ExpectedListing(c.archive));
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(err.substr(0, c.error.size()), c.error);
        }
        EXPECT_EQ(FilesBelow(out), c.files);
        EXPECT_EQ(FilesBelow(scratch.path()).size(), c.files.size());
    }
}

// The user's files outside the destination, reached by links and hard links that stand in it.
struct Outside {
    fs::path dir;
    std::map<std::string, std::string> before;

    explicit Outside(const fs::path& at) : dir(at) {
        test::WriteFile(dir / "hard.txt", "hard-linked, keep me");
        test::WriteFile(dir / "copy-hard.txt", "hard-linked where a link's copy goes, keep me");
        test::WriteFile(dir / "linked.txt", "linked, keep me");
        test::WriteFile(dir / "folder" / "inside.txt", "inside, keep me");
        before = test::TreeContents(dir);
    }
};

TEST_F(ExtractTarXzTest, NeverWritesThroughALinkStandingInTheDestination) {
    Outside outside(tmp / "outside");
    fs::create_directories(dest);
    ASSERT_TRUE(test::MakeLink(dest / "top", outside.dir / "folder"));
    EXPECT_FALSE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), dest, {}, {}, nullptr, err));
    EXPECT_EQ(err.rfind("cannot write " + PathUtf8(dest / "top"), 0), 0u) << err;
    EXPECT_NE(err.find(": a link stands in its way"), std::string::npos) << err;
    EXPECT_EQ(test::TreeContents(outside.dir), outside.before);
}

TEST_F(ExtractTarXzTest, LinksStandingWhereFilesGoAreReplacedNeverWrittenThrough) {
    Outside outside(tmp / "outside");
    const fs::path bin = dest / "top" / "bin";
    fs::create_directories(bin);
    // A regular file's place and a link copy's place (tool-hardlink.c is a hard link entry) hold hard
    // links; another holds a link to a file.
    fs::create_hard_link(outside.dir / "hard.txt", bin / "tool.c");
    fs::create_hard_link(outside.dir / "copy-hard.txt", bin / "tool-hardlink.c");
    // Wine shows a host link to a file as a plain file whose data lies elsewhere, as a hard link is.
    if (!test::RunningUnderWine()) {
        ASSERT_TRUE(test::MakeLink(bin / "run.sh", outside.dir / "linked.txt"));
    }
    ASSERT_TRUE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), dest, {}, {}, nullptr, err)) << err;
    EXPECT_EQ(Listing(dest), ExpectedListing("gnu-crc64"));
    for (const fs::path& file : {bin / "tool.c", bin / "tool-hardlink.c", bin / "run.sh"}) {
        EXPECT_FALSE(IsLink(file)) << file;
    }
    EXPECT_EQ(test::TreeContents(outside.dir), outside.before);
#ifndef _WIN32
    EXPECT_NE(fs::status(bin / "run.sh").permissions() & fs::perms::owner_exec, fs::perms::none);
#endif
}

// A link to a folder where a file goes is removed itself, and the file put there. No Windows call under
// Wine removes a host link to a folder: there the file cannot be written, and still nothing outside changes.
TEST_F(ExtractTarXzTest, ALinkToAFolderWhereAFileGoesIsReplaced) {
    Outside outside(tmp / "outside");
    const fs::path empty = dest / "top" / "lib" / "empty.txt";
    fs::create_directories(empty.parent_path());
    ASSERT_TRUE(test::MakeLink(empty, outside.dir / "folder"));
    if (test::RunningUnderWine()) {
        EXPECT_FALSE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), dest, {}, {}, nullptr, err));
        EXPECT_EQ(err.rfind("cannot write " + PathUtf8(empty) + ": ", 0), 0u) << err;
        EXPECT_TRUE(IsLink(empty));
    } else {
        ASSERT_TRUE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), dest, {}, {}, nullptr, err)) << err;
        EXPECT_EQ(Listing(dest), ExpectedListing("gnu-crc64"));
        EXPECT_FALSE(IsLink(empty));
    }
    EXPECT_EQ(test::TreeContents(outside.dir), outside.before);
}

TEST_F(ExtractTarXzTest, TheMapperRenamesAndSkipsAndLinksFollowIt) {
    std::vector<std::string> seen;
    EntryMapper map = [&](const std::string& name) -> std::string {
        seen.push_back(name);
        const std::string s = name.substr(4);                        // "top/" goes
        if (s == "bin/tool-hardlink.c") return "";                   // the regular file of the hard-linked pair
        if (s == "bin/numbers-up-and-down.h") return "../escape.h";  // a link: silently skipped
        if (s.rfind("lib/", 0) == 0) return "library/" + s.substr(4);
        return s;
    };
    ASSERT_TRUE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), dest, map, {}, nullptr, err)) << err;
    // tool.c links to the skipped file and tool-symlink.c to tool.c: neither has anything to copy. The
    // link to the folder "lib" takes the files written from it, where they were mapped.
    EXPECT_EQ(FilesBelow(dest), (Files{"a-rather-long-folder-name-number-one/a-rather-long-folder-name-number-two/"
                                       "a-rather-long-folder-three/deep-file-with-a-long-name.txt",
                                       "a-rather-long-folder-name-number-one/a-rather-long-folder-name-number-two/"
                                       "a-rather-long-folder-three/link-back-to-big.bin",
                                       "bin/big.bin", "bin/folder-link/clang/19/include/numbers.h",
                                       "bin/folder-link/empty.txt", "bin/run.sh", "library/clang/19/include/numbers.h",
                                       "library/empty.txt", "long-link"}));
    EXPECT_EQ(test::ReadFile(dest / "long-link"), "deep file\n");
    EXPECT_FALSE(fs::exists(dest.parent_path() / "escape.h"));
    // The mapper sees every member with its whole name, long ones included, folders and fifos too.
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        "top/a-rather-long-folder-name-number-one/a-rather-long-folder-name-number-two/"
                        "a-rather-long-folder-three/deep-file-with-a-long-name.txt"),
              seen.end());

    // A regular file mapped to an unsafe name fails the whole run, told by its name in the archive.
    EntryMapper unsafe = [](const std::string& name) { return name == "top/lib/empty.txt" ? "../x" : name; };
    EXPECT_FALSE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), tmp / "unsafe", unsafe, {}, nullptr, err));
    EXPECT_EQ(err, "unsafe path in the archive: top/lib/empty.txt");
}

TEST_F(ExtractTarXzTest, AnExistingFileIsReplacedWhole) {
    test::WriteFile(dest / "top" / "lib" / "empty.txt", "old content");
    ASSERT_TRUE(ExtractTarXz(Fixture("pax-crc32.tar.xz"), dest, {}, {}, nullptr, err)) << err;
    EXPECT_EQ(test::ReadFile(dest / "top" / "lib" / "empty.txt"), "");
}

// The fields of an xz file's first stream and block that the damaged cases change.
struct XzLayout {
    size_t blockHeader = 12;
    size_t blockHeaderSize = 0;
    size_t filterId = 0;    // the LZMA2 filter's id byte
    size_t dictionary = 0;  // its dictionary-size byte
};

XzLayout Layout(const std::string& xz) {
    XzLayout layout;
    const auto* b = reinterpret_cast<const unsigned char*>(xz.data());
    layout.blockHeaderSize = (static_cast<size_t>(b[12]) + 1) * 4;
    size_t p = 14;
    auto skipVli = [&] {
        while (b[p++] & 0x80) {
        }
    };
    if (b[13] & 0x40) skipVli();
    if (b[13] & 0x80) skipVli();
    for (int filter = 0; filter <= (b[13] & 3); ++filter) {
        const size_t id = p;
        skipVli();
        const size_t propsSize = b[p];
        skipVli();
        if (b[id] == 0x21) {
            layout.filterId = id;
            layout.dictionary = p;
        }
        p += propsSize;
    }
    return layout;
}

void PutCrc32(std::string& bytes, size_t from, size_t length, size_t at) {
    const uint32_t crc = lzma_crc32(reinterpret_cast<const uint8_t*>(bytes.data()) + from, length, 0);
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(crc >> (8 * i));
}

// Changes one byte of the first block header and mends that header's CRC32, so only the change counts.
std::string WithBlockHeaderByte(std::string xz, size_t XzLayout::*field, unsigned char value) {
    XzLayout layout = Layout(xz);
    xz[layout.*field] = static_cast<char>(value);
    PutCrc32(xz, layout.blockHeader, layout.blockHeaderSize - 4, layout.blockHeader + layout.blockHeaderSize - 4);
    return xz;
}

TEST_F(ExtractTarXzTest, DamagedAndForeignFiles) {
    const std::string good = test::ReadFile(Fixture("gnu-sha256.tar.xz"));
    const std::string blocks = test::ReadFile(Fixture("blocks.tar.xz"));
    const std::string streams = test::ReadFile(Fixture("streams.tar.xz"));
    ASSERT_EQ(Layout(good).dictionary, 16u) << "a plain single-filter block header";
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x55;

    struct Case {
        const char* name;
        std::string bytes;
        const char* error;  // followed by the archive's path
    } cases[] = {
        {"empty", "", "the xz file ends early: "},
        {"cut", good.substr(0, good.size() / 2), "the xz file ends early: "},
        {"cut-blocks", blocks.substr(0, blocks.size() - 100), "the xz file ends early: "},
        {"cut-second-stream", streams.substr(0, streams.size() - 100), "the xz file ends early: "},
        // After a stream only padding (zero bytes, four at a time) or another stream may follow.
        {"junk-after-stream", good + "some text that is no xz stream", "the xz data is damaged (7) in "},
        {"odd-padding", good + std::string(3, '\0'), "the xz data is damaged (7) in "},
        {"text", "this is not an xz file, only some text\n", "the xz data is damaged (5) in "},
        {"flipped", flipped, "the xz data is damaged (7) in "},
        {"filter", WithBlockHeaderByte(good, &XzLayout::filterId, 0x7F), "the xz data is damaged (6) in "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = Copy(std::string(c.name) + ".tar.xz", c.bytes);
        err.clear();
        EXPECT_FALSE(ExtractTarXz(file, tmp / "out" / c.name, {}, {}, nullptr, err));
        EXPECT_EQ(err, c.error + PathUtf8(file));
    }

    EXPECT_FALSE(ExtractTarXz(tmp / "missing.tar.xz", dest, {}, {}, nullptr, err));
    EXPECT_EQ(err, "cannot open " + PathUtf8(tmp / "missing.tar.xz"));
}

// Sound streams that ask for a dictionary of 1.5 GiB, the next size above the 1 GiB the decoder allows:
// xz's own (a small file made with `--lzma2=dict=1536MiB`), and a stream whose header was changed to ask
// for it. The limit is the launcher's: the message says so, and what the stream needs.
TEST_F(ExtractTarXzTest, AStreamPastTheMemoryLimitSaysSo) {
    const std::string good = test::ReadFile(Fixture("gnu-sha256.tar.xz"));
    for (const fs::path& file : {Fixture("huge-dictionary.tar.xz"),
                                 Copy("dictionary.tar.xz", WithBlockHeaderByte(good, &XzLayout::dictionary, 37))}) {
        SCOPED_TRACE(PathUtf8(file));
        err.clear();
        EXPECT_FALSE(ExtractTarXz(file, tmp / "out" / file.filename(), {}, {}, nullptr, err));
        EXPECT_EQ(err, "the xz data in " + PathUtf8(file) +
                           " needs more memory than the launcher allows for unpacking (1537 MiB, at most 1088 MiB)");
    }
}

TEST_F(ExtractTarXzTest, UnusualButSoundStreamsDecode) {
    const std::string good = test::ReadFile(Fixture("gnu-sha256.tar.xz"));
    // A dictionary of exactly 1 GiB is still allowed.
    const fs::path largest = Copy("largest.tar.xz", WithBlockHeaderByte(good, &XzLayout::dictionary, 36));
    ASSERT_TRUE(ExtractTarXz(largest, tmp / "largest", {}, {}, nullptr, err)) << err;
    EXPECT_EQ(Listing(tmp / "largest"), ExpectedListing("gnu-sha256"));

    // An integrity check of a kind this decoder does not know (id 5, reserved, 8 bytes like CRC64):
    // the data is decoded unchecked. The kind stands in the stream header and footer, each with a CRC32.
    std::string unknownCheck = test::ReadFile(Fixture("gnu-crc64.tar.xz"));
    ASSERT_EQ(unknownCheck[7], 0x04);
    unknownCheck[7] = 0x05;
    PutCrc32(unknownCheck, 6, 2, 8);
    const size_t footer = unknownCheck.size() - 12;
    unknownCheck[footer + 9] = 0x05;
    PutCrc32(unknownCheck, footer + 4, 6, footer);
    const fs::path file = Copy("unknown-check.tar.xz", unknownCheck);
    ASSERT_TRUE(ExtractTarXz(file, tmp / "unknown-check", {}, {}, nullptr, err)) << err;
    EXPECT_EQ(Listing(tmp / "unknown-check"), ExpectedListing("gnu-crc64"));
}

TEST_F(ExtractTarXzTest, StopEndsTheRunBeforeTheNextDecodingStep) {
    std::atomic<bool> stop{true};
    EXPECT_FALSE(ExtractTarXz(Fixture("gnu-crc64.tar.xz"), dest, {}, progress.sink(), &stop, err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_TRUE(progress.calls.empty());

    // A stop during the first read: that step is decoded and written, then the run ends.
    stop = false;
    ProgressSink stopAtOnce = [&](uint64_t, uint64_t) { stop = true; };
    err.clear();
    EXPECT_FALSE(ExtractTarXz(Fixture("blocks.tar.xz"), dest, {}, stopAtOnce, &stop, err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_LT(Listing(dest).size(), ExpectedListing("blocks").size());
    // The file that was being written when the run stopped is not left under a temporary name.
    for (const std::string& file : FilesBelow(dest)) EXPECT_EQ(file.find(".unpack-"), std::string::npos) << file;
}

// The archive is decoded on a thread of its own (and a file of several blocks on more) while the calling
// thread writes: the buffers pass between them, and a stop from a third thread ends the run.
TEST(ExtractTarXzConcurrency, TheDecoderRunsAheadOfTheWriterAndStops) {
    test::TempDir tmp;
    std::string err;
    for (const char* name : {"blocks", "gnu-crc64"}) {
        ASSERT_TRUE(ExtractTarXz(Fixture(std::string(name) + ".tar.xz"), tmp / name, {}, {}, nullptr, err)) << err;
        EXPECT_EQ(Listing(tmp / name), ExpectedListing(name)) << name;
    }

    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false;
    std::thread stopper([&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return asked; });
        stop = true;
        changed.notify_all();
    });
    // The first progress report waits until the other thread has stopped the run.
    ProgressSink waitForStop = [&](uint64_t, uint64_t) {
        std::unique_lock<std::mutex> lock(mutex);
        asked = true;
        changed.notify_all();
        changed.wait(lock, [&] { return stop.load(); });
    };
    EXPECT_FALSE(ExtractTarXz(Fixture("blocks.tar.xz"), tmp / "stopped", {}, waitForStop, &stop, err));
    EXPECT_EQ(err, "cancelled");
    stopper.join();
}

TEST(NormalizeEntryPath, Table) {
    struct Case {
        const char* path;
        const char* normal;
    } cases[] = {
        {"a/b/c", "a/b/c"},
        {"./a//b/", "a/b"},
        {"a/./b/../c", "a/c"},
        {"../a", "a"},
        {"a/../../b", "b"},
        {"/abs/x", "abs/x"},
        {"", ""},
        {"..", ""},
        {"a/b/..", "a"},
        {"a..b/c", "a..b/c"},
    };
    for (const Case& c : cases) EXPECT_EQ(NormalizeEntryPath(c.path), c.normal) << c.path;
}

// Tar blocks made by hand, for what GNU tar does not write: headers are filled only as far as the reader
// looks at them.
const std::string kPosixMagic("ustar\0" "00", 8);
const std::string kGnuMagic("ustar  \0", 8);

// Writes the header's checksum, as tar does: six octal digits, a NUL and a blank, of the sum of its bytes
// with the field itself counted as blanks. `delta` is added to the sum (a wrong one).
std::string Sealed(std::string h, int delta = 0) {
    h.replace(148, 8, 8, ' ');
    int sum = delta;
    for (char c : h) sum += static_cast<unsigned char>(c);
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    h.replace(148, 7, field, 7);  // the digits and their NUL; the blank stays
    return h;
}

std::string Header(const std::string& name, char type, uint64_t size, const std::string& magic = kPosixMagic) {
    std::string h(512, '\0');
    h.replace(0, std::min<size_t>(name.size(), 100), name.substr(0, 100));
    char octal[13];
    std::snprintf(octal, sizeof octal, "%011llo", static_cast<unsigned long long>(size));
    h.replace(124, 11, octal);
    h[156] = type;
    h.replace(257, magic.size(), magic);
    return Sealed(h);
}

std::string Padded(std::string data) {
    data.resize((data.size() + 511) / 512 * 512, '\0');
    return data;
}

std::string PaxRecord(const std::string& keyValue) {
    // The length counts itself: try the digit counts until it fits.
    for (size_t digits = 1;; ++digits) {
        const size_t length = digits + 1 + keyValue.size() + 1;
        if (std::to_string(length).size() == digits) return std::to_string(length) + " " + keyValue + "\n";
    }
}

struct TarReaderTest : ::testing::Test {
    test::TempDir tmp;
    TarState state;
    std::string err;

    TarReaderTest() { state.destination = tmp / "out"; }

    // Feeds `bytes` in runs of `run` bytes, as a decoder's output buffer would come.
    bool Feed(const std::string& bytes, size_t run = 7) {
        for (size_t at = 0; at < bytes.size(); at += run) {
            const size_t n = std::min(run, bytes.size() - at);
            if (!TarFeed(state, reinterpret_cast<const unsigned char*>(bytes.data()) + at, n, err)) return false;
        }
        return true;
    }
};

TEST_F(TarReaderTest, NamesFromLongNameEntriesPaxRecordsAndPrefixes) {
    const std::string longName = std::string(150, 'n') + "/file.txt";
    std::string prefixed = Header("name-part.txt", '0', 2);
    prefixed = Sealed(prefixed.replace(345, 11, "prefix/part"));
    // GNU headers keep other fields where ustar has its prefix (an incremental archive's times).
    std::string gnu = Header("gnu.txt", '0', 1, kGnuMagic);
    gnu = Sealed(gnu.replace(345, 11, "15306612310"));
    std::string archive = Header("././@LongLink", 'L', longName.size() + 1) + Padded(longName + '\0');
    archive += Header("cut-short", '0', 3) + Padded("one");
    // A long name and then a pax header: the pax header's own header uses up the long name.
    archive += Header("././@LongLink", 'L', 6) + Padded("gnu-x");
    archive += Header("pax", 'x', PaxRecord("path=from-pax.txt").size()) + Padded(PaxRecord("path=from-pax.txt"));
    archive += Header("cut", '0', 3) + Padded("two");
    archive += prefixed + Padded("pr") + gnu + Padded("g");
    // A global header's records are ignored.
    archive += Header("global", 'g', PaxRecord("path=ignored").size()) + Padded(PaxRecord("path=ignored"));
    archive += Header("plain.txt", '0', 5) + Padded("plain") + std::string(1024, '\0');
    ASSERT_TRUE(Feed(archive)) << err;
    EXPECT_EQ(FilesBelow(state.destination),
              (Files{"from-pax.txt", "gnu.txt", std::string(150, 'n') + "/file.txt", "plain.txt",
                     "prefix/part/name-part.txt"}));
    EXPECT_EQ(test::ReadFile(state.destination / "from-pax.txt"), "two");
}

TEST_F(TarReaderTest, SizeFields) {
    // Base-256 (first byte 0x80, value in the last 8 bytes), octal with blanks, and a pax "size=" that
    // stands for the header's.
    std::string base256 = Header("b256.bin", '0', 0);
    std::memset(&base256[124], 0, 12);
    base256[124] = static_cast<char>(0x80);
    base256[135] = 5;
    base256 = Sealed(base256);
    std::string blanks = Header("blanks.bin", '0', 0);
    std::memcpy(&blanks[124], "   0000004 \0", 12);
    blanks = Sealed(blanks);
    const std::string pax = PaxRecord("size=6");
    ASSERT_TRUE(Feed(base256 + Padded("12345") + blanks + Padded("abcd") + Header("p", 'x', pax.size()) + Padded(pax) +
                     Header("paxsize.bin", '0', 0) + Padded("sixsix")))
        << err;
    EXPECT_EQ(test::ReadFile(state.destination / "b256.bin"), "12345");
    EXPECT_EQ(test::ReadFile(state.destination / "blanks.bin"), "abcd");
    EXPECT_EQ(test::ReadFile(state.destination / "paxsize.bin"), "sixsix");

    // Past the octal field's 8 GiB: the size is taken whole.
    std::string huge = Header("huge.bin", '0', 0);
    std::memset(&huge[124], 0, 12);
    huge[124] = static_cast<char>(0x80);
    huge[130] = 0x02;  // 2^41 bytes
    ASSERT_TRUE(Feed(Sealed(huge) + "start")) << err;
    EXPECT_EQ(state.remaining, (uint64_t{1} << 41) - 5);
}

TEST_F(TarReaderTest, WhereTheTarDataMayEnd) {
    const std::string file = Header("f.txt", '0', 3) + Padded("abc");
    const std::string longName = Header("././@LongLink", 'L', 300) + Padded(std::string(299, 'n') + '\0');
    const std::string zero(512, '\0');
    struct Case {
        const char* name;
        std::string bytes;
        const char* error;  // "" when the data may end there
    } cases[] = {
        {"nothing", "", ""},
        {"after a member", file, ""},
        {"after the closing blocks", file + zero + zero, ""},
        // tar reads nothing after the two zero blocks, a cut block included.
        {"a cut block past the closing blocks", file + zero + zero + "trailing", ""},
        {"a cut block after one zero block", file + zero + "trailing",
         "the archive ends inside a header: only 8 of its 512 bytes are there"},
        {"inside a long name", longName.substr(0, 612), "the archive ends inside a long name record: 200 of its 300"},
        {"after a long name", longName, "the archive ends after a long name or pax header, before the entry"},
        {"after a long name and a zero block", longName + zero, "the archive ends after a long name or pax header"},
        {"inside data", file.substr(0, 513), "the archive ends inside f.txt: 2 of its 3 bytes are missing"},
    };
    for (const Case& c : cases) {
        TarState fresh;
        fresh.destination = tmp / "end";
        err.clear();
        ASSERT_TRUE(TarFeed(fresh, reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), err))
            << c.name << ": " << err;
        EXPECT_EQ(TarEnd(fresh, err), *c.error == '\0') << c.name;
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.name << ": " << err;
    }
}

// The checksum as POSIX defines it (the unsigned sum) and as old tars wrote it (the signed one, which
// differs for bytes past 127); anything else is damage, told with the header's place in the tar data.
TEST_F(TarReaderTest, EachHeadersChecksumIsChecked) {
    const std::string first = Header("first.txt", '0', 3) + Padded("one");
    std::string high = Header("na\xC3\xAFve.txt", '0', 1);
    int negative = 0;  // what the signed sum is below the unsigned one
    for (char c : high) negative += static_cast<signed char>(c) < 0 ? 256 : 0;
    std::string junk(512, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 2654435761u) >> 7);
    struct Case {
        const char* name;
        std::string header;  // after `first`
        const char* error;   // "" when it holds
    } cases[] = {
        {"unsigned", high, ""},
        {"signed", Sealed(high, -negative), ""},
        {"one off", Sealed(high, 1), "the archive is damaged: a header's checksum is wrong at byte 1024"},
        {"no digits", std::string(high).replace(148, 8, 8, '\0'), "the archive is damaged: a header's checksum"},
        {"a block of junk", junk, "the archive is damaged: a header's checksum is wrong at byte 1024"},
    };
    ASSERT_GT(negative, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TarState fresh;
        fresh.destination = tmp / c.name;
        const std::string bytes = first + c.header + Padded("x");
        err.clear();
        EXPECT_EQ(TarFeed(fresh, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), err),
                  *c.error == '\0');
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << err;
    }
    // Past the two zero blocks that end an archive nothing is read, junk included.
    const std::string zero(512, '\0');
    ASSERT_TRUE(Feed(first + zero + zero + junk + Header("after.txt", '0', 1) + Padded("a"))) << err;
    ASSERT_TRUE(TarEnd(state, err)) << err;
    EXPECT_EQ(FilesBelow(state.destination), Files{"first.txt"});
}

// Another program swaps a folder below the destination for a link to the user's folder between two
// members: the files go only where the folders were opened, never through the link, and the run fails.
TEST_F(TarReaderTest, AFolderSwappedForALinkBetweenMembersIsNeverWrittenInto) {
    std::string archive;
    for (const std::string& member : test::FolderSwapEntries()) archive += Header(member, '0', 4) + Padded("data");
    std::string link = Header("sub/link.txt", '1', 0);
    archive += Sealed(link.replace(157, 9, "sub/a.txt"));
    std::vector<test::FolderSwap> swaps = test::FolderSwaps();
    // A link's copy goes the same way as a file.
    swaps.push_back({"before a link's copy", "sub", "sub/link.txt", ": a link stands in its way"});
    for (const test::FolderSwap& swap : swaps) {
        SCOPED_TRACE(swap.name);
        test::TempDir scratch;
        test::SwapRace race(scratch.path(), {"link.txt"});
        TarState fresh;
        fresh.destination = scratch / "out";
        fresh.mapper = [&](const std::string& name) {
            race.SwapBefore(name, swap, fresh.destination);
            return name;
        };
        err.clear();
        const bool fed = TarFeed(fresh, reinterpret_cast<const unsigned char*>(archive.data()), archive.size(), err);
        EXPECT_FALSE(fed && TarEnd(fresh, err));
        EXPECT_TRUE(test::SwapRace::Says(err, swap)) << err;
        EXPECT_TRUE(race.UsersUntouched());
    }
}

// A file that replaces another goes in under a temporary name of its own first, passing over taken ones;
// when every name it may take is taken, the failure says so.
TEST_F(TarReaderTest, AReplacementWhoseTemporaryNamesAreAllTakenSaysWhy) {
    const fs::path out = state.destination;
    test::WriteFile(out / "a.txt", "old");
    test::WriteFile(out / "b.txt", "old");
    const std::string first = Header("a.txt", '0', 1000) + Padded(std::string(1000, 'a'));
    ASSERT_TRUE(Feed(first.substr(0, 600))) << err;
    // a.txt is being written: its temporary name shows the names to come.
    std::string temporary;
    for (const std::string& file : FilesBelow(out)) {
        if (file.rfind(".unpack-", 0) == 0) temporary = file;
    }
    const size_t dash = temporary.rfind('-');
    ASSERT_NE(dash, std::string::npos) << temporary;
    const unsigned next = static_cast<unsigned>(std::stoul(temporary.substr(dash + 1))) + 1;
    for (unsigned n = next; n < next + 100; ++n) {
        test::WriteFile(out / (temporary.substr(0, dash + 1) + std::to_string(n) + ".tmp"), "taken");
    }
    ASSERT_TRUE(Feed(first.substr(600))) << err;
    EXPECT_EQ(test::ReadFile(out / "a.txt"), std::string(1000, 'a'));
    EXPECT_FALSE(Feed(Header("b.txt", '0', 1) + Padded("b")));
    EXPECT_EQ(err, "cannot write " + PathUtf8(out / "b.txt") + ": " +
                       (test::RunningUnderWine() ? "File already exists" : "File exists"));
    EXPECT_EQ(test::ReadFile(out / "b.txt"), "old");
}

TEST_F(TarReaderTest, OversizedNameRecordsAreRefusedBeforeBeingRead) {
    for (char type : {'L', 'K', 'x'}) {
        TarState fresh;
        fresh.destination = state.destination;
        const std::string header = Header("././@LongLink", type, uint64_t{2} << 20);
        err.clear();
        EXPECT_FALSE(TarFeed(fresh, reinterpret_cast<const unsigned char*>(header.data()), header.size(), err));
        EXPECT_EQ(err, "a long name or extended header in the archive is too large (2097152 bytes)") << type;
    }
    // A global header is skipped without being held, whatever its size.
    const std::string global =
        Header("g", 'g', 3 << 20) + std::string(3 << 20, 'g') + Header("after.txt", '0', 1) + Padded("a");
    ASSERT_TRUE(Feed(global, 1 << 16)) << err;
    EXPECT_LE(state.metadataBuffer.capacity(), size_t{1} << 16);
    EXPECT_EQ(FilesBelow(state.destination), Files{"after.txt"});
}

TEST_F(TarReaderTest, DamagedPaxRecordsAreIgnored) {
    for (const char* records : {"0 path=zero\n", "999 path=beyond\n", "3 path=short\n", "12path=noblank\n", "nonsense",
                                "18446744073709551617 path=overflow\n", "6 path=\n", "1 x"}) {
        TarState fresh;
        fresh.destination = tmp / "damaged";
        const std::string bytes =
            Header("p", 'x', std::strlen(records)) + Padded(records) + Header("kept-name.txt", '0', 1) + Padded("k");
        err.clear();
        ASSERT_TRUE(TarFeed(fresh, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), err)) << err;
        EXPECT_EQ(FilesBelow(fresh.destination), Files{"kept-name.txt"}) << records;
        std::string ignored;
        RemoveTree(fresh.destination, ignored);
    }
}

TEST_F(TarReaderTest, ANulInANameIsUnsafe) {
    const std::string pax = PaxRecord(std::string("path=a\0/../../b", 15));
    EXPECT_FALSE(Feed(Header("p", 'x', pax.size()) + Padded(pax) + Header("x", '0', 1) + Padded("x")));
    EXPECT_EQ(err.rfind("unsafe path in the archive: a", 0), 0u) << err;
}

}  // namespace
}  // namespace launcher
