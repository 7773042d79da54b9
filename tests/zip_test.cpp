#include <gtest/gtest.h>

#include <fstream>
#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/zip.h"
#include "support/folder_swap.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::FilesBelow;
using test::ZipEntry;

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    ProgressSink sink() {
        return [this](uint64_t done, uint64_t total) { calls.emplace_back(done, total); };
    }
};

TEST(IsSafeEntryPath, Table) {
    struct Case {
        const char* name;
        bool safe;
    } cases[] = {
        {"", false},
        {"/etc/passwd", false},
        {"\\windows\\x.dll", false},
        {"C:/x.txt", false},
        {"C:x.txt", false},
        {"a/file.txt:stream", false},
        {"..", false},
        {"../x", false},
        {"..\\x", false},
        {"a/../b", false},
        {"a\\..\\b", false},
        {"a/b/..", false},
        {"a/..", false},
        {"a/b/../", false},
        // Windows drops trailing dots and blanks, so these climb out there too...
        {".. /x", false},
        {"a/.../b", false},
        {"a/..  /b", false},
        // ...and these land on another entry's file.
        {"dir./x", false},
        {"x /y", false},
        {"a/b..", false},
        {"a/ /b", false},
        {"a/file.", false},
        // Device names, in any case and with any extension.
        {"con", false},
        {"CON.txt", false},
        {"aux.h", false},
        {"com1", false},
        {"lpt9.log", false},
        {"data/Nul.tar.gz", false},
        {"prn/x", false},
        {"nul .txt", false},
        {"COM0", false},
        {"lpt\xC2\xB9.txt", false},
        {"console.txt", true},
        {"con_fig", true},
        {"a.b", true},
        {"com10", true},
        {"lpt", true},
        {"a/connection/aux_data.bin", true},
        {"file.txt", true},
        {"bin/game.dll", true},
        {"./bin/x", true},
        {"a/./b", true},
        {"a..b/c", true},
        {"..a/b", true},
        {"a/.hidden", true},
        {"dir/", true},
        {"Spiel/\xC3\x9C" "ber.txt", true},
    };
    for (const Case& c : cases) EXPECT_EQ(IsSafeEntryPath(c.name), c.safe) << '"' << c.name << '"';
}

TEST(JoinEntryPath, JoinsUnderTheFolderWithUtf8Names) {
    fs::path dir = fs::path("base") / "dest";
    EXPECT_EQ(JoinEntryPath(dir, "a/b.txt"), dir / "a" / "b.txt");
    fs::path joined = JoinEntryPath(dir, "\xC3\x9C" "ber.txt");
    EXPECT_EQ(PathUtf8(joined.filename()), "\xC3\x9C" "ber.txt");
}

struct ExtractZipTest : ::testing::Test {
    test::TempDir tmp;
    fs::path zip = tmp / "archive.zip";
    fs::path dest = tmp / "out" / "deeper";
    std::string err = "untouched";
    Progress progress;
};

TEST_F(ExtractZipTest, WritesEveryEntryUnderItsNameAndReportsProgressPerEntry) {
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
    test::WriteZipOrFail(zip, {
                                  {"top.txt", "top"},
                                  {"bin/game.dll", big},
                                  {"a..b/c.txt", "dots inside a name", true},
                                  {"win\\style\\name.txt", "backslashes"},
                                  {"Spiel/\xC3\x9C" "ber.txt", "utf-8"},
                                  {"empty.txt", ""},
                              });
    std::vector<std::string> seen;
    EntryMapper map = [&](const std::string& name) {
        seen.push_back(name);
        return name;
    };
    ASSERT_TRUE(ExtractZip(zip, dest, map, progress.sink(), nullptr, err)) << err;
    EXPECT_EQ(err, "untouched");

    EXPECT_EQ(FilesBelow(dest), (std::vector<std::string>{"Spiel/\xC3\x9C" "ber.txt", "a..b/c.txt", "bin/game.dll",
                                                          "empty.txt", "top.txt", "win/style/name.txt"}));
    EXPECT_EQ(test::ReadFile(dest / "bin" / "game.dll"), big);
    EXPECT_EQ(test::ReadFile(dest / "win" / "style" / "name.txt"), "backslashes");
    EXPECT_EQ(test::ReadFile(dest / "a..b" / "c.txt"), "dots inside a name");
    EXPECT_EQ(seen[3], "win/style/name.txt");  // the mapper only ever sees '/'

    const uint64_t total = 3 + big.size() + 18 + 11 + 5;
    std::vector<std::pair<uint64_t, uint64_t>> expected = {
        {3, total}, {3 + big.size(), total}, {21 + big.size(), total},
        {32 + big.size(), total}, {total, total}, {total, total}};
    EXPECT_EQ(progress.calls, expected);
}

TEST_F(ExtractZipTest, MapperRenamesAndSkipsAndFoldersAreNeverMadeOnTheirOwn) {
    test::WriteZipOrFail(zip, {
                                  {"pkg/keep/a.txt", "aaaa"},
                                  {"pkg/skip/b.txt", "bbbbbbbb"},
                                  ZipEntry::Folder("pkg/empty-folder/"),
                                  {"pkg/keep/c.txt", "cc"},
                              });
    std::vector<std::string> seen;
    EntryMapper map = [&](const std::string& name) -> std::string {
        seen.push_back(name);
        if (name.rfind("pkg/skip/", 0) == 0) return "";
        return name.substr(4);  // drop the top folder; the folder entry maps to "empty-folder/"
    };
    ASSERT_TRUE(ExtractZip(zip, dest, map, progress.sink(), nullptr, err)) << err;
    EXPECT_EQ(FilesBelow(dest), (std::vector<std::string>{"keep/a.txt", "keep/c.txt"}));
    EXPECT_FALSE(fs::exists(dest / "empty-folder"));
    EXPECT_FALSE(fs::exists(dest / "skip"));
    EXPECT_EQ(seen.size(), 4u);  // the folder entry reaches the mapper too
    // Skipped entries count in the total but never in what is done.
    ASSERT_EQ(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls.back(), (std::pair<uint64_t, uint64_t>{6, 14}));
}

TEST_F(ExtractZipTest, AnArchiveWithoutEntriesSucceedsWithoutProgress) {
    test::WriteZipOrFail(zip, {});
    ASSERT_TRUE(ExtractZip(zip, dest, {}, progress.sink(), nullptr, err)) << err;
    EXPECT_TRUE(progress.calls.empty());
    EXPECT_EQ(err, "untouched");
}

TEST_F(ExtractZipTest, AnExistingFileIsOverwrittenWhole) {
    test::WriteFile(dest / "a.txt", "a much longer old content");
    test::WriteZipOrFail(zip, {{"a.txt", "new"}});
    ASSERT_TRUE(ExtractZip(zip, dest, {}, {}, nullptr, err)) << err;
    EXPECT_EQ(test::ReadFile(dest / "a.txt"), "new");
}

// The user's files outside the destination, reached by links and hard links that stand in it.
struct Outside {
    fs::path dir;
    std::map<std::string, std::string> before;

    explicit Outside(const fs::path& at) : dir(at) {
        test::WriteFile(dir / "hard.txt", "hard-linked, keep me");
        test::WriteFile(dir / "linked.txt", "linked, keep me");
        test::WriteFile(dir / "folder" / "inside.txt", "inside, keep me");
        before = test::TreeContents(dir);
    }
};

TEST_F(ExtractZipTest, LinksStandingWhereFilesGoAreReplacedNeverWrittenThrough) {
    Outside outside(tmp / "outside");
    fs::create_directories(dest / "sub");
    fs::create_hard_link(outside.dir / "hard.txt", dest / "hard.txt");
    // Wine shows a host link to a file as a plain file whose data lies elsewhere, as the hard link is.
    if (!test::RunningUnderWine()) {
        ASSERT_TRUE(test::MakeLink(dest / "linked.txt", outside.dir / "linked.txt"));
    }
    test::WriteZipOrFail(zip, {{"hard.txt", "new hard"}, {"linked.txt", "new linked"}});
    ASSERT_TRUE(ExtractZip(zip, dest, {}, {}, nullptr, err)) << err;
    const std::map<std::string, std::string> written = {
        {"hard.txt", "new hard"}, {"linked.txt", "new linked"}, {"sub", "<folder>"}};
    EXPECT_EQ(test::TreeContents(dest), written);
    EXPECT_EQ(test::TreeContents(outside.dir), outside.before);
}

// A link to a folder where a file goes is removed itself, and the file put there. No Windows call under
// Wine removes a host link to a folder: there the file cannot be written, and still nothing outside changes.
TEST_F(ExtractZipTest, ALinkToAFolderWhereAFileGoesIsReplaced) {
    Outside outside(tmp / "outside");
    fs::create_directories(dest);
    ASSERT_TRUE(test::MakeLink(dest / "folder", outside.dir / "folder"));
    test::WriteZipOrFail(zip, {{"folder", "new file"}});
    if (test::RunningUnderWine()) {
        EXPECT_FALSE(ExtractZip(zip, dest, {}, {}, nullptr, err));
        EXPECT_EQ(err.rfind("cannot write " + PathUtf8(dest / "folder") + " from " + PathUtf8(zip) + ": ", 0), 0u)
            << err;
        EXPECT_EQ(test::TreeContents(dest), (std::map<std::string, std::string>{{"folder", "<link>"}}));
    } else {
        ASSERT_TRUE(ExtractZip(zip, dest, {}, {}, nullptr, err)) << err;
        EXPECT_EQ(test::TreeContents(dest), (std::map<std::string, std::string>{{"folder", "new file"}}));
    }
    EXPECT_EQ(test::TreeContents(outside.dir), outside.before);
}

TEST_F(ExtractZipTest, ALinkOnTheWayIsRefused) {
    Outside outside(tmp / "outside");
    fs::create_directories(dest);
    ASSERT_TRUE(test::MakeLink(dest / "link", outside.dir / "folder"));
    test::WriteZipOrFail(zip, {{"first.txt", "first"}, {"link/evil.txt", "evil"}, {"link/inside.txt", "evil"}});
    EXPECT_FALSE(ExtractZip(zip, dest, {}, {}, nullptr, err));
    EXPECT_EQ(err, "cannot write " + PathUtf8(dest / "link" / "evil.txt") + " from " + PathUtf8(zip) +
                       ": a link stands in its way");
    EXPECT_EQ(test::TreeContents(outside.dir), outside.before);
    EXPECT_EQ(test::ReadFile(dest / "first.txt"), "first");
    EXPECT_TRUE(IsLink(dest / "link"));
}

// Only folders on the way count: a link at the file's own place is replaced.
TEST_F(ExtractZipTest, OnlyLinksOnTheWayFailTheFile) {
    struct Case {
        const char* name;
        bool written;
    } cases[] = {
        {"file.txt", true},
        {"link", true},
        {"plain/deeper/file.txt", true},
        {"new/folders/file.txt", true},
        {"./plain/./file.txt", true},
        {"link/file.txt", false},
        {"plain/inner-link/file.txt", false},
        {"plain/inner-link/new/file.txt", false},
        {"./link/file.txt", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir scratch;
        const fs::path dir = scratch / "dest";
        const fs::path elsewhere = scratch / "elsewhere";
        fs::create_directories(dir / "plain" / "deeper");
        fs::create_directories(elsewhere);
        ASSERT_TRUE(test::MakeLink(dir / "link", elsewhere));
        ASSERT_TRUE(test::MakeLink(dir / "plain" / "inner-link", elsewhere));
        test::WriteZipOrFail(zip, {{c.name, "x"}});
        err.clear();
        // Under Wine no Windows call removes a host link to a folder: one at the file's place stays.
        const bool replaced = c.written && !(test::RunningUnderWine() && std::string(c.name) == "link");
        EXPECT_EQ(ExtractZip(zip, dir, {}, {}, nullptr, err), replaced) << err;
        if (!c.written) {
            EXPECT_NE(err.find(": a link stands in its way"), std::string::npos) << err;
        }
        EXPECT_EQ(FilesBelow(elsewhere), std::vector<std::string>{});
    }
}

// Another program swaps a folder below the destination for a link to the user's folder between two
// entries: the files go only where the folders were opened, never through the link, and the run fails.
TEST_F(ExtractZipTest, AFolderSwappedForALinkBetweenEntriesIsNeverWrittenInto) {
    std::vector<ZipEntry> zipped;
    for (const std::string& entry : test::FolderSwapEntries()) zipped.emplace_back(entry, "from the archive");
    test::WriteZipOrFail(zip, zipped);
    for (const test::FolderSwap& swap : test::FolderSwaps()) {
        SCOPED_TRACE(swap.name);
        test::TempDir scratch;
        test::SwapRace race(scratch.path());
        const fs::path out = scratch / "out";
        EntryMapper map = [&](const std::string& name) {
            race.SwapBefore(name, swap, out);
            return name;
        };
        err.clear();
        EXPECT_FALSE(ExtractZip(zip, out, map, {}, nullptr, err));
        EXPECT_TRUE(test::SwapRace::Says(err, swap)) << err;
        EXPECT_TRUE(race.UsersUntouched());
    }
}

TEST_F(ExtractZipTest, UnixProgramsStayRunnable) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows files have no execute bit";
#else
    test::WriteFile(tmp / "tool", "#!/bin/sh\necho run\n");
    test::WriteZipOrFail(zip, {ZipEntry::Program("bin/tool", tmp / "tool"), {"bin/data", "plain"}});
    ASSERT_TRUE(ExtractZip(zip, dest, {}, {}, nullptr, err)) << err;
    auto exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    EXPECT_EQ(fs::status(dest / "bin" / "tool").permissions() & exec, exec);
    EXPECT_EQ(fs::status(dest / "bin" / "data").permissions() & exec, fs::perms::none);
#endif
}

TEST_F(ExtractZipTest, WhatIsNotAZipCannotBeOpened) {
    test::WriteFile(tmp / "text.zip", "this is plain text, no zip at all, long enough to hold an end record");
    test::WriteFile(tmp / "nothing.zip", "");
    for (fs::path bad : {tmp / "missing.zip", tmp / "text.zip", tmp / "nothing.zip"}) {
        err.clear();
        EXPECT_FALSE(ExtractZip(bad, dest, {}, progress.sink(), nullptr, err));
        EXPECT_EQ(err, "cannot open " + PathUtf8(bad) + " as a zip");
    }
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_TRUE(progress.calls.empty());
}

// Hostile names are refused before anything is written for them, and nothing lands outside the
// destination; the entries before the hostile one are already written.
TEST_F(ExtractZipTest, UnsafeNamesAreRefusedAndNothingEscapes) {
    struct Case {
        const char* stored;
        const char* reported;
    } cases[] = {
        {"../escaped.txt", "../escaped.txt"},
        {"..\\escaped.txt", "../escaped.txt"},
        {"inner/../../escaped.txt", "inner/../../escaped.txt"},
        {"inner\\..\\..\\escaped.txt", "inner/../../escaped.txt"},
        {"/tmp/escaped.txt", "/tmp/escaped.txt"},
        {"\\escaped.txt", "/escaped.txt"},
        {"C:/escaped.txt", "C:/escaped.txt"},
        {"C:\\escaped.txt", "C:/escaped.txt"},
        {"C:escaped.txt", "C:escaped.txt"},
        {"inner/.. /.. /escaped.txt", "inner/.. /.. /escaped.txt"},
        {"inner/NUL.txt", "inner/NUL.txt"},
        {"inner./escaped.txt", "inner./escaped.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        test::TempDir box;
        fs::path archive = box / "evil.zip";
        fs::path out = box / "a" / "b" / "out";
        test::WriteZipOrFail(archive, {{"first.txt", "written"},
                                       {c.stored, "escaped"},
                                       {"last.txt", "never"}});
        std::string error;
        EXPECT_FALSE(ExtractZip(archive, out, {}, {}, nullptr, error));
        EXPECT_EQ(error, "unsafe path in " + PathUtf8(archive) + ": " + c.reported);
        EXPECT_EQ(FilesBelow(box.path()), (std::vector<std::string>{"a/b/out/first.txt", "evil.zip"}));
        EXPECT_FALSE(fs::exists("/tmp/escaped.txt"));
    }
}

TEST_F(ExtractZipTest, TheMappedNameIsCheckedButTheStoredNameIsReported) {
    test::WriteZipOrFail(zip, {{"harmless.txt", "x"}});
    EntryMapper map = [](const std::string&) { return std::string("../outside.txt"); };
    EXPECT_FALSE(ExtractZip(zip, dest, map, {}, nullptr, err));
    EXPECT_EQ(err, "unsafe path in " + PathUtf8(zip) + ": harmless.txt");
    EXPECT_FALSE(fs::exists(dest.parent_path() / "outside.txt"));
}

TEST_F(ExtractZipTest, StopIsHonouredBetweenEntriesOnly) {
    test::WriteZipOrFail(zip, {{"1.txt", "one"},
                               {"2.txt", "two"},
                               {"3.txt", "three"}});
    std::atomic<bool> stop{true};
    EXPECT_FALSE(ExtractZip(zip, dest, {}, {}, &stop, err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_TRUE(FilesBelow(dest).empty());

    // A stop after the first entry keeps what was written.
    stop = false;
    ProgressSink stopAfterFirst = [&](uint64_t done, uint64_t) {
        if (done == 3) stop = true;
    };
    EXPECT_FALSE(ExtractZip(zip, dest, {}, stopAfterFirst, &stop, err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_EQ(FilesBelow(dest), std::vector<std::string>{"1.txt"});

    // A stop that comes while the last entry is written does not fail the call.
    stop = false;
    err = "untouched";
    ProgressSink stopAtLast = [&](uint64_t done, uint64_t total) {
        if (done == total) stop = true;
    };
    EXPECT_TRUE(ExtractZip(zip, dest, {}, stopAtLast, &stop, err));
    EXPECT_EQ(err, "untouched");
    EXPECT_EQ(FilesBelow(dest).size(), 3u);
}

TEST_F(ExtractZipTest, ADamagedEntryCannotBeWritten) {
    std::string body(100000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 2654435761u) >> 13);
    test::WriteZipOrFail(zip, {{"ok.txt", "fine"}, {"bad.bin", body, true}});
    // Flip bytes in the middle of the stored data: the checksum no longer matches.
    std::string bytes = test::ReadFile(zip);
    size_t at = bytes.find(body.substr(50000, 16));
    ASSERT_NE(at, std::string::npos);
    bytes[at] = static_cast<char>(~bytes[at]);
    test::WriteFile(zip, bytes);

    EXPECT_FALSE(ExtractZip(zip, dest, {}, {}, nullptr, err));
    EXPECT_EQ(err, "cannot write " + PathUtf8(dest / "bad.bin") + " from " + PathUtf8(zip) + ": CRC error");
    EXPECT_EQ(test::ReadFile(dest / "ok.txt"), "fine");
    // Nothing of the damaged file is left, neither under its own name nor under a temporary one.
    EXPECT_EQ(FilesBelow(dest), std::vector<std::string>{"ok.txt"});
}

// Each failure to write carries the system's reason.
TEST_F(ExtractZipTest, AFailedWriteSaysWhy) {
    struct Case {
        const char* name;
        std::vector<std::string> made;  // files and (ending in '/') folders made first
        const char* entry;
        const char* reason;      // natively
        const char* wineReason;  // under Wine
    } cases[] = {
        {"a file where a folder goes", {"blocked"}, "blocked/inside.txt", "Not a directory", "Directory name invalid"},
        {"a folder where the file goes", {"taken/"}, "taken", "Is a directory", "Access denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir scratch;
        const fs::path out = scratch / "out";
        for (const std::string& made : c.made) {
            if (made.back() == '/') {
                fs::create_directories(out / made);
            } else {
                test::WriteFile(out / made, "in the way");
            }
        }
        test::WriteZipOrFail(zip, {{c.entry, "x"}});
        EXPECT_FALSE(ExtractZip(zip, out, {}, {}, nullptr, err));
        EXPECT_EQ(err, "cannot write " + PathUtf8(JoinEntryPath(out, c.entry)) + " from " + PathUtf8(zip) + ": " +
                           (test::RunningUnderWine() ? c.wineReason : c.reason));
    }
#ifndef _WIN32
    // A full disk, as a file-size limit makes it: writes past 64 KiB fail with EFBIG, not SIGXFSZ.
    std::string big(256 * 1024, 'b');
    test::WriteZipOrFail(zip, {{"small.txt", "s"}, {"big.bin", big}});
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    auto* oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool ok = ExtractZip(zip, tmp / "full", {}, {}, nullptr, err);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "cannot write " + PathUtf8(tmp / "full" / "big.bin") + " from " + PathUtf8(zip) + ": File too large");
    EXPECT_EQ(FilesBelow(tmp / "full"), std::vector<std::string>{"small.txt"});
#endif
}

TEST_F(ExtractZipTest, ArchivesMadeByTheZipTool) {
    if (std::system("zip -v > /dev/null 2>&1") != 0) GTEST_SKIP() << "the zip tool is not installed";
    test::WriteFile(tmp / "src" / "bin" / "x.txt", "from zip");
    test::WriteFile(tmp / "src" / "readme.md", "readme");
    fs::create_directories(tmp / "src" / "empty");
    std::string command = "cd '" + PathUtf8(tmp / "src") + "' && zip -q -r '" + PathUtf8(zip) + "' .";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(ExtractZip(zip, dest, {}, {}, nullptr, err)) << err;
    EXPECT_EQ(FilesBelow(dest), (std::vector<std::string>{"bin/x.txt", "readme.md"}));
    EXPECT_FALSE(fs::exists(dest / "empty"));
}

}  // namespace
}  // namespace launcher
