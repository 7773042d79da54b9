#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "game/settings.h"
#include "platform/paths.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

constexpr char kSha1[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr uint64_t kMiB = 1u << 20;

GameDefinition TestGame() {
    GameDefinition game;
    game.title = "Test Game";
    game.shortName = "TestGame";
    game.releases[kSha1] = "Release A";
    return game;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(PathUtf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

struct UseGameTest : ::testing::Test {
    UseGameTest() {
        platform.env = {{"LOCALAPPDATA", PathUtf8(dir / "user")}};
        builder.statusSink = [this](const Status& status) { statuses.push_back(status); };
        builder.logSink = [this](const std::string& line) { lines.push_back(line); };
    }

    test::TempDir dir;
    test::TestPlatform platform;
    Builder builder{TestGame(), dir / "data", nullptr, &platform};
    std::vector<Status> statuses;
    std::vector<std::string> lines;
    fs::path assets = dir / "data" / "play" / "assets";

    SelectedGame Image(const std::string& name, const std::string& bytes = "disc image bytes") {
        test::WriteFile(dir / "discs" / name, bytes);
        return Selected(true, dir / "discs" / name);
    }
    SelectedGame Folder(const std::string& name) {
        test::WriteFile(dir / "discs" / name / "default.xbe", "abc");
        test::WriteFile(dir / "discs" / name / "media.bin", "media");
        return Selected(false, dir / "discs" / name);
    }
    static SelectedGame Selected(bool isImage, const fs::path& path) {
        SelectedGame game;
        game.ok = true;
        game.isImage = isImage;
        game.release = "Release A";
        game.sha1 = kSha1;
        game.path = path;
        return game;
    }
    std::string Setting(const std::string& key) {
        nlohmann::json doc = nlohmann::json::parse(test::ReadFile(dir / "data" / "launcher.json"), nullptr, false);
        if (!doc.is_object() || !doc.contains(key)) return "(unset)";
        return doc[key].get<std::string>();
    }
    bool Use(const SelectedGame& game) {
        std::string err;
        bool ok = builder.UseGame(game, err);
        EXPECT_TRUE(ok) << err;
        return ok;
    }
    // Folder links are junctions made by mklink on Windows, which Wine does not make (and reports no error).
    bool CannotLinkFolders() { return test::RunningUnderWine(); }
};

TEST_F(UseGameTest, FolderIsLinkedAndRecordedInBothSettings) {
    if (CannotLinkFolders()) GTEST_SKIP() << "Wine makes no directory junction";
    SelectedGame game = Folder("Disc");
    ASSERT_TRUE(Use(game));
    EXPECT_TRUE(fs::equivalent(assets, game.path));
    EXPECT_EQ(Names(assets), (std::vector<std::string>{"default.xbe", "media.bin"}));
    EXPECT_EQ(Setting("game"), PathUtf8(game.path));
    EXPECT_EQ(Setting("game_sha1"), kSha1);
    nlohmann::json perUser{{"game", PathUtf8(game.path)}};
    EXPECT_EQ(test::ReadFile(dir / "user" / "TestGame" / "launcher.json"), perUser.dump(2));
    EXPECT_EQ(lines, std::vector<std::string>{"game: " + PathUtf8(game.path) + ", Release A, sha1 " + kSha1});
    EXPECT_TRUE(statuses.empty());
}

TEST_F(UseGameTest, AnotherFolderReplacesTheEarlierLinkOnly) {
    if (CannotLinkFolders()) GTEST_SKIP() << "Wine makes no directory junction";
    SelectedGame first = Folder("First");
    SelectedGame second = Folder("Second");
    ASSERT_TRUE(Use(first));
    ASSERT_TRUE(Use(second));
    EXPECT_TRUE(fs::equivalent(assets, second.path));
    EXPECT_EQ(Names(first.path), (std::vector<std::string>{"default.xbe", "media.bin"}));
    EXPECT_EQ(Setting("game"), PathUtf8(second.path));

    // The same folder again keeps its link.
    ASSERT_TRUE(Use(second));
    EXPECT_TRUE(fs::equivalent(assets, second.path));

    // Then an image that lies in the linked folder itself: the link goes, the folder behind it stays.
    test::WriteFile(second.path / "Game.iso", "image");
    ASSERT_TRUE(Use(Selected(true, second.path / "Game.iso")));
    EXPECT_FALSE(fs::is_symlink(assets));
    EXPECT_EQ(Names(assets), std::vector<std::string>{"Game.iso"});
    EXPECT_EQ(Names(second.path), (std::vector<std::string>{"Game.iso", "default.xbe", "media.bin"}));
}

TEST_F(UseGameTest, ImageOnTheSameVolumeIsHardLinkedWithoutCopying) {
    SelectedGame game = Image("Game.iso");
    ASSERT_TRUE(Use(game));
    EXPECT_EQ(platform.hardLinkCalls, 1);
    EXPECT_TRUE(fs::equivalent(assets / "Game.iso", game.path));  // the same file, not a copy
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(lines, std::vector<std::string>{"game: " + PathUtf8(game.path) + ", Release A, sha1 " + kSha1});
    EXPECT_EQ(Setting("game"), PathUtf8(game.path));
}

TEST_F(UseGameTest, NewImageClearsTheEarlierImagesAndKeepsTheUsersOwn) {
    SelectedGame first = Image("First.iso", "first");
    ASSERT_TRUE(Use(first));
    // A copy cut off by a crash, under its temporary name.
    test::WriteFile(assets / "First.partial.iso", "fir");
    SelectedGame second = Image("Second.ISO", "second");
    ASSERT_TRUE(Use(second));
    EXPECT_EQ(Names(assets), std::vector<std::string>{"Second.ISO"});
    EXPECT_EQ(test::ReadFile(first.path), "first");

    // The image already in place, picked again, stays in place.
    ASSERT_TRUE(Use(Selected(true, assets / "Second.ISO")));
    EXPECT_EQ(test::ReadFile(assets / "Second.ISO"), "second");
    EXPECT_EQ(Setting("game"), PathUtf8(assets / "Second.ISO"));
}

TEST_F(UseGameTest, AFolderWithOtherFilesCannotBeReplaced) {
    test::WriteFile(assets / "old.iso", "old");
    test::WriteFile(assets / "OLDER.ISO", "older");
    test::WriteFile(assets / "notes.txt", "mine");
    std::string err;
    EXPECT_FALSE(builder.UseGame(Image("Game.iso"), err));
    EXPECT_EQ(err, "Cannot replace " + PathUtf8(assets) + ": remove it by hand and choose the game again.");
    EXPECT_EQ(Names(assets), std::vector<std::string>{"notes.txt"});
    EXPECT_FALSE(fs::exists(dir / "data" / "launcher.json"));
    EXPECT_FALSE(fs::exists(dir / "user"));
}

// Whatever links stand in or around the old "assets", choosing a new copy never deletes a file of the
// user's behind them. Under Wine a host link to a folder cannot be deleted by any Windows call, so there
// the choice fails with the "Cannot replace" sentence instead; on Linux (and on Windows, where a junction
// is removed itself) the link goes.
TEST_F(UseGameTest, NothingIsDeletedThroughALink) {
    struct Case {
        const char* name;
        std::function<bool(const fs::path& assets, const fs::path& users)> make;  // lays out the old "assets"
        bool replacedOnLinux;
    };
    const Case cases[] = {
        {"assets is a link to the user's folder",
         [](const fs::path& assets, const fs::path& users) {
             fs::create_directories(assets.parent_path());
             return test::MakeLink(assets, users);
         },
         true},
        {"assets holds a link named like an image",
         [](const fs::path& assets, const fs::path& users) {
             fs::create_directories(assets);
             return test::MakeLink(assets / "Old.iso", users);
         },
         true},
        {"assets holds an image and a link to the user's folder",
         [](const fs::path& assets, const fs::path& users) {
             test::WriteFile(assets / "old.iso", "old");
             return test::MakeLink(assets / "extra", users);
         },
         false},
    };
    const SelectedGame image = Image("Game.iso");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir here;
        Builder other{TestGame(), here / "data", nullptr, &platform};
        const fs::path play = here / "data" / "play";
        const fs::path users = here / "users game";
        test::WriteFile(users / "default.xbe", "abc");
        test::WriteFile(users / "media" / "intro.bik", "video");
        test::WriteFile(users / "Old Copy.iso", "the user's image");
        ASSERT_TRUE(c.make(play / "assets", users));

        std::string err;
        const bool replaced = other.UseGame(image, err);
        const bool expected = c.replacedOnLinux && !test::RunningUnderWine();
        EXPECT_EQ(replaced, expected) << err;
        if (expected) {
            EXPECT_EQ(Names(play / "assets"), std::vector<std::string>{"Game.iso"});
        } else {
            EXPECT_EQ(err, "Cannot replace " + PathUtf8(play / "assets") +
                               ": remove it by hand and choose the game again.");
        }
        EXPECT_EQ(Names(users), (std::vector<std::string>{"Old Copy.iso", "default.xbe", "media"}));
        EXPECT_EQ(test::ReadFile(users / "Old Copy.iso"), "the user's image");
        EXPECT_EQ(test::ReadFile(users / "media" / "intro.bik"), "video");
    }
}

TEST_F(UseGameTest, AFailedFolderLinkGivesItsMessage) {
    platform.failLinkFolder = true;
    test::WriteFile(assets / "old.iso", "old");
    std::string err;
    EXPECT_FALSE(builder.UseGame(Folder("Disc"), err));
    EXPECT_EQ(err, "Could not link the game's folder (test)");
    EXPECT_FALSE(fs::exists(fs::symlink_status(assets)));
    EXPECT_FALSE(fs::exists(dir / "data" / "launcher.json"));
}

TEST_F(UseGameTest, WithoutAHardLinkTheImageIsCopiedWithProgress) {
    platform.failHardLink = true;
    std::string bytes(20 * kMiB + 5, '\0');
    for (size_t i = 0; i < bytes.size(); i += 4093) bytes[i] = static_cast<char>(i / 4093);
    SelectedGame game = Image("Game.iso", bytes);
    ASSERT_TRUE(Use(game));

    EXPECT_EQ(Names(assets), std::vector<std::string>{"Game.iso"});
    EXPECT_FALSE(fs::equivalent(assets / "Game.iso", game.path));
    EXPECT_TRUE(test::ReadFile(assets / "Game.iso") == bytes);
    ASSERT_EQ(statuses.size(), 3u);
    const char* details[] = {"8 MB of 20 MB", "16 MB of 20 MB", "20 MB of 20 MB"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(statuses[i].title, "Copying the disc image");
        EXPECT_EQ(statuses[i].detail, details[i]);
    }
    EXPECT_DOUBLE_EQ(statuses[0].progress, 8.0 * kMiB / bytes.size());
    EXPECT_DOUBLE_EQ(statuses[2].progress, 1.0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "copying " + PathUtf8(game.path) + " to " + PathUtf8(assets / "Game.iso"));
    EXPECT_EQ(Setting("game"), PathUtf8(game.path));
}

TEST_F(UseGameTest, AStoppedCopyLeavesNoPartialFile) {
    platform.failHardLink = true;
    builder.statusSink = [this](const Status& status) {
        statuses.push_back(status);
        builder.stop = true;
    };
    std::string err;
    EXPECT_FALSE(builder.UseGame(Image("Game.iso", std::string(20 * kMiB, 'x')), err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_EQ(statuses.size(), 1u);  // the stop ends the copy after the current chunk
    EXPECT_TRUE(fs::is_directory(assets));
    EXPECT_EQ(Names(assets), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / "data" / "launcher.json"));
}

TEST_F(UseGameTest, AFailedCopyLeavesNoPartialFile) {
    platform.failHardLink = true;
    // Nothing can be read from a folder in place of the image, and its size is unknown.
    fs::create_directories(dir / "discs" / "Folder.iso");
    std::string err;
    EXPECT_FALSE(builder.UseGame(Selected(true, dir / "discs" / "Folder.iso"), err));
    EXPECT_EQ(err, "Could not copy the disc image (is the drive full?)");
    EXPECT_EQ(Names(assets), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / "data" / "launcher.json"));
}

TEST_F(UseGameTest, WithoutAPerUserFolderOnlyTheDataFolderIsWritten) {
    platform.env = {};
    ASSERT_TRUE(Use(Image("Game.iso")));
    EXPECT_EQ(Setting("game"), PathUtf8(dir / "discs" / "Game.iso"));
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"data", "discs"}));
}

}  // namespace
}  // namespace launcher
