#include <gtest/gtest.h>

#include "build/package.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::FilesBelow;

GameDefinition BuiltinGame() {
    GameDefinition game;
    std::string err;
    EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    return game;
}

struct UnpackFixture : ::testing::Test {
    UnpackFixture() : platform(MakePlatform()), builder(BuiltinGame(), dir / "data", nullptr, platform.get()) {
        builder.statusSink = [this](const Status& status) { reports.push_back(status); };
    }
    test::TempDir dir;
    std::unique_ptr<Platform> platform;
    Builder builder;
    std::vector<Status> reports;
    fs::path play = dir / "data" / "play";
    fs::path next = play / ".next";
    std::error_code ec;
    std::string err;
};

TEST(PackageEntryName, Table) {
    struct Case {
        const char* entry;
        const char* result;
    } cases[] = {
        {"./bin/x", "bin/x"},
        {"bin/x", "bin/x"},
        {"Starblaze.exe", "Starblaze.exe"},
        {"./hdd/save", ""},
        {"HDD/Save.dat", ""},
        {"Logs/x", ""},
        {"assets/music.wma", ""},
        {"screenshots/1.png", ""},
        {"Captures/clip.mp4", ""},
        {"compiler/work/obj.o", ""},
        {"compiler/bin/cc.exe", "compiler/bin/cc.exe"},
        {"config.toml", ""},
        {"./Config.TOML", ""},
        {".toml", ".toml"},  // too short to be a settings file
        {"sub/nested.toml", "sub/nested.toml"},
        {"a..b/c", ""},
        {"../evil", ""},
        {"bin\\..\\evil", ""},
        {"C:evil.txt", ""},
        {"/etc/evil", ""},
        {"", ""},
        {"./", ""},
        {"././bin/x", "./bin/x"},  // only one "./" is taken off
        {"hdd", "hdd"},             // a file named like the folder is kept
    };
    for (const Case& c : cases) EXPECT_EQ(PackageEntryName(c.entry), c.result) << '"' << c.entry << '"';
}

TEST_F(UnpackFixture, UnpackLeavesOutTheUsersFilesAndUnsafeNamesSilently) {
    fs::path package = dir / "Starblaze-package.zip";
    test::WriteZipOrFail(package, {
                                      {"./Starblaze", "program"},
                                      {"./bin/x.dll", "x"},
                                      {"./hdd/save.dat", "must not land"},
                                      {"Logs/launch.log", "must not land"},
                                      {"config.toml", "must not land"},
                                      {"Keys.Toml", "must not land"},
                                      {"settings/nested.toml", "kept"},
                                      {"compiler/work/obj.o", "must not land"},
                                      {"compiler/cc", "kept"},
                                      {"a..b/c", "must not land"},
                                      {"../escaped", "must not land"},
                                      {"..\\escaped", "must not land"},
                                      {"/abs/escaped", "must not land"},
                                      {"C:/escaped", "must not land"},
                                      {"bin\\y.dll", "y"},
                                  });
    ASSERT_TRUE(UnpackPackage(builder, next, ec, package, err)) << err;
    EXPECT_EQ(FilesBelow(next), (std::vector<std::string>{"Starblaze", "bin/x.dll", "bin/y.dll", "compiler/cc",
                                                          "settings/nested.toml"}));
    EXPECT_EQ(FilesBelow(dir.path()), (std::vector<std::string>{
                                          "Starblaze-package.zip", "data/play/.next/Starblaze",
                                          "data/play/.next/bin/x.dll", "data/play/.next/bin/y.dll",
                                          "data/play/.next/compiler/cc", "data/play/.next/settings/nested.toml"}));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().title, "Unpacking the game's package");
    EXPECT_EQ(reports.front().progress, 0);
    EXPECT_GT(reports.back().progress, 0);
    EXPECT_LT(reports.back().progress, 1);  // skipped entries count in the total only
}

TEST_F(UnpackFixture, UnpackFailuresCarryTheExtractorsWords) {
    fs::path package = dir / "broken.zip";
    test::WriteFile(package, "not a zip");
    EXPECT_FALSE(UnpackPackage(builder, next, ec, package, err));
    EXPECT_EQ(err, "cannot open " + PathUtf8(package) + " as a zip");

    test::WriteZipOrFail(package, {{"a", "1"}, {"b", "2"}});
    builder.stop = true;
    EXPECT_FALSE(UnpackPackage(builder, next, ec, package, err));
    EXPECT_EQ(err, "cancelled");
}

TEST_F(UnpackFixture, PutInPlaceReplacesTheGameAndKeepsTheUsersFiles) {
    test::WriteFile(play / "Starblaze", "old program");
    test::WriteFile(play / "bin" / "old.dll", "old");
    test::WriteFile(play / "bin" / "deep" / "older.dll", "old");
    test::WriteFile(play / "logs" / "old.log", "the user's log");
    test::WriteFile(play / "config.toml", "the user's settings");
    test::WriteFile(play / "hdd" / "save.dat", "the user's save");
    test::WriteFile(play / "only-old.txt", "stays");
    test::WriteFile(play / "package.stamp", "old stamp");

    test::WriteFile(next / "Starblaze", "new program");
    test::WriteFile(next / "Starblaze.dll", "new code");
    test::WriteFile(next / "bin" / "new.dll", "new");
    test::WriteFile(next / "logs" / "prepare.log", "left in the unpack folder");
    test::WriteFile(next / "Settings.TOML", "left in the unpack folder");
    test::WriteFile(next / "package.stamp", "new stamp");
    test::WriteFile(next / ".next" / "odd.txt", "a package's own .next stays out");

    ASSERT_TRUE(PutGameInPlace(builder, next, ec, err)) << err;
    EXPECT_EQ(FilesBelow(play), (std::vector<std::string>{
                                    ".next/.next/odd.txt", ".next/Settings.TOML", ".next/logs/prepare.log",
                                    "Starblaze", "Starblaze.dll",
                                    "bin/new.dll", "config.toml", "hdd/save.dat", "logs/old.log", "only-old.txt",
                                    "package.stamp"}));
    EXPECT_EQ(test::ReadFile(play / "Starblaze"), "new program");
    EXPECT_EQ(test::ReadFile(play / "config.toml"), "the user's settings");
    EXPECT_EQ(test::ReadFile(play / "package.stamp"), "new stamp");
}

TEST_F(UnpackFixture, PutInPlaceNeverReplacesTheUsersFoldersWithOnesTheGameMadeThere) {
    // The game's program runs in the unpack folder and may make its saves and captures folders there.
    const fs::path copy = dir / "my game";
    test::WriteFile(copy / "default.xbe", "the user's disc");
    fs::create_directories(play);
    ASSERT_TRUE(test::MakeLink(play / "assets", copy));
    test::WriteFile(play / "hdd" / "save.dat", "the user's save");
    test::WriteFile(play / "Screenshots" / "shot.png", "the user's picture");
    test::WriteFile(play / "captures" / "clip.mp4", "the user's clip");

    test::WriteFile(next / "Starblaze", "new program");
    test::WriteFile(next / "hdd" / "empty.dat", "made by the game's program");
    test::WriteFile(next / "assets" / "made.txt", "made by the game's program");
    test::WriteFile(next / "Screenshots" / "new.png", "made by the game's program");
    test::WriteFile(next / "CAPTURES" / "new.mp4", "made by the game's program");

    ASSERT_TRUE(PutGameInPlace(builder, next, ec, err)) << err;
    EXPECT_EQ(test::ReadFile(play / "Starblaze"), "new program");
    EXPECT_EQ(test::ReadFile(copy / "default.xbe"), "the user's disc");
    EXPECT_EQ(test::ReadFile(play / "assets" / "default.xbe"), "the user's disc");
    EXPECT_EQ(test::ReadFile(play / "hdd" / "save.dat"), "the user's save");
    EXPECT_EQ(test::ReadFile(play / "Screenshots" / "shot.png"), "the user's picture");
    EXPECT_EQ(test::ReadFile(play / "captures" / "clip.mp4"), "the user's clip");
    EXPECT_FALSE(fs::exists(play / "hdd" / "empty.dat"));
    EXPECT_FALSE(fs::exists(copy / "made.txt"));
    EXPECT_FALSE(fs::exists(play / "assets" / "made.txt"));
}

// A folder of the package replaces what stands in the play folder under its name; when that is a link,
// the link goes (Linux, and a junction on Windows) or the move fails (Wine, which cannot delete a host
// link to a folder), and nothing behind it is touched either way.
TEST_F(UnpackFixture, PutInPlaceNeverDeletesThroughALinkItReplaces) {
    const fs::path users = dir / "users folder";
    test::WriteFile(users / "keep.txt", "the user's file");
    test::WriteFile(users / "bin" / "old.dll", "the user's too");
    fs::create_directories(play);
    ASSERT_TRUE(test::MakeLink(play / "bin", users));
    test::WriteFile(next / "bin" / "new.dll", "new");

    const bool put = PutGameInPlace(builder, next, ec, err);
    if (test::RunningUnderWine()) {
        EXPECT_FALSE(put);
        EXPECT_EQ(err.rfind("Could not put bin in place (is the game still running?): ", 0), 0u) << err;
    } else {
        ASSERT_TRUE(put) << err;
        EXPECT_FALSE(IsLink(play / "bin"));
        EXPECT_EQ(FilesBelow(play / "bin"), std::vector<std::string>{"new.dll"});
    }
    EXPECT_EQ(FilesBelow(users), (std::vector<std::string>{"bin/old.dll", "keep.txt"}));
}

TEST_F(UnpackFixture, PutInPlaceOfNothingSucceeds) {
    test::WriteFile(play / "Starblaze", "old program");
    EXPECT_TRUE(PutGameInPlace(builder, next, ec, err));  // no unpack folder at all
    fs::create_directories(next);
    EXPECT_TRUE(PutGameInPlace(builder, next, ec, err));
    EXPECT_EQ(FilesBelow(play), std::vector<std::string>{"Starblaze"});
}

TEST_F(UnpackFixture, AFailedMoveNamesTheEntryAndKeepsTheMarkerOut) {
    // A file cannot take the place of a folder that holds files.
    test::WriteFile(play / "data" / "inside.txt", "in the way");
    test::WriteFile(play / "package.stamp", "old stamp");
    test::WriteFile(next / "data", "a file now");
    test::WriteFile(next / "package.stamp", "new stamp");
    EXPECT_FALSE(PutGameInPlace(builder, next, ec, err));
    EXPECT_EQ(err.rfind("Could not put data in place (is the game still running?): ", 0), 0u) << err;
    EXPECT_GT(err.size(), std::string("Could not put data in place (is the game still running?): ").size());
    // Neither folder claims a whole package any more: the next run unpacks and installs again.
    EXPECT_FALSE(fs::exists(play / "package.stamp"));
    EXPECT_FALSE(fs::exists(next / "package.stamp"));
}

}  // namespace
}  // namespace launcher
