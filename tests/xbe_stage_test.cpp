#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "platform/paths.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/xdvdfs_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::XDir;
using test::XFile;

// SHA-1 of "abc" and of "abcd".
constexpr char kShaA[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr char kShaB[] = "81fe8bfe87576c3ecb22426f8e57847382917acf";

GameDefinition TestGame() {
    GameDefinition game;
    game.title = "Test Game";
    game.shortName = "TestGame";
    game.xbe = "default.xbe";
    game.xbes = {"default.xbe", "Driving.xbe"};
    game.releases[kShaA] = "Release A";
    game.releases[kShaB] = "Release B";
    game.releaseXbes[kShaB] = {"default.xbe", "Bonus.xbe"};
    return game;
}

struct XbeStageTest : ::testing::Test {
    XbeStageTest() { builder.logSink = [this](const std::string& line) { lines.push_back(line); }; }

    test::TempDir dir;
    test::TestPlatform platform;  // no per-user folder and no other installs
    Builder builder{TestGame(), dir / "installs" / "mine" / "TestGame", nullptr, &platform};
    std::vector<std::string> lines;

    fs::path Target(const std::string& name) const { return builder.root / "source" / "assets" / name; }
    void Choose(const fs::path& copy) { builder.SetSetting("game", PathUtf8(copy)); }
    fs::path Image(const std::vector<test::XdvdfsNode>& files) {
        fs::path file = dir / "Game.iso";
        EXPECT_TRUE(test::WriteXdvdfsImage(file, files));
        return file;
    }
    fs::path Folder(const std::vector<std::pair<std::string, std::string>>& files) {
        for (const auto& [name, bytes] : files) test::WriteFile(dir / "Disc" / name, bytes);
        return dir / "Disc";
    }
};

TEST_F(XbeStageTest, WritesEachXbeOnceAndNotOnTheSecondRun) {
    Choose(Image({XFile("DEFAULT.XBE", "abc"), XFile("driving.xbe", "drive"), XDir("media", {})}));
    std::string err;
    ASSERT_TRUE(builder.WriteXbe(err)) << err;
    EXPECT_EQ(test::ReadFile(Target("default.xbe")), "abc");
    EXPECT_EQ(test::ReadFile(Target("Driving.xbe")), "drive");
    EXPECT_EQ(lines, (std::vector<std::string>{"xbe written to " + PathUtf8(Target("default.xbe")),
                                               "xbe written to " + PathUtf8(Target("Driving.xbe"))}));

    lines.clear();
    ASSERT_TRUE(builder.WriteXbe(err)) << err;
    EXPECT_TRUE(lines.empty());

    // A file that differs (here by one byte at the end) is written again.
    test::WriteFile(Target("Driving.xbe"), "drivE");
    ASSERT_TRUE(builder.WriteXbe(err)) << err;
    EXPECT_EQ(lines, std::vector<std::string>{"xbe written to " + PathUtf8(Target("Driving.xbe"))});
    EXPECT_EQ(test::ReadFile(Target("Driving.xbe")), "drive");
}

TEST_F(XbeStageTest, AReleaseWithItsOwnListGetsExactlyThatList) {
    Choose(Folder({{"default.xbe", "abcd"}, {"Driving.xbe", "drive"}, {"BONUS.XBE", "bonus"}}));
    std::string err;
    ASSERT_TRUE(builder.WriteXbe(err)) << err;
    EXPECT_EQ(test::ReadFile(Target("default.xbe")), "abcd");
    EXPECT_EQ(test::ReadFile(Target("Bonus.xbe")), "bonus");
    EXPECT_FALSE(fs::exists(Target("Driving.xbe")));
}

TEST_F(XbeStageTest, Failures) {
    std::string err;
    EXPECT_FALSE(builder.WriteXbe(err));
    EXPECT_EQ(err, "Choose the game first.");

    struct Case {
        std::function<fs::path()> copy;
        std::string err;
    } cases[] = {
        {[&] { return dir / "moved.iso"; }, "This is not an Xbox disc image of Test Game: cannot open the file"},
        {[&] { return dir / "moved-folder"; },
         "Choose the game's disc image (.iso), or the folder with its files (default.xbe)."},
        {[&] { return Image({XFile("default.xbe", "abcde")}); },
         "This copy's default.xbe is not one this port supports (SHA-1 03de6c570bfe24bfc328ccd7ca46b76eadaf4334). "
         "It needs an unmodified disc of Test Game."},
        {[&] { return Image({XFile("default.xbe", "abc"), XFile("other.xbe", "x")}); },
         "the disc image has no Driving.xbe"},
        {[&] { return Folder({{"default.xbe", "abc"}, {"a", "1"}, {"b", "2"}}); },
         "there is no Driving.xbe in " + PathUtf8(dir / "Disc")},
    };
    for (Case& c : cases) {
        Choose(c.copy());
        EXPECT_FALSE(builder.WriteXbe(err));
        EXPECT_EQ(err, c.err);
    }
    // The xbes read before a failure stay written.
    EXPECT_EQ(test::ReadFile(Target("default.xbe")), "abc");
}

}  // namespace
}  // namespace launcher
