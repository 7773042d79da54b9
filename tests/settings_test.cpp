#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "game/settings.h"
#include "platform/paths.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

GameDefinition TestGame() {
    GameDefinition game;
    game.title = "Test Game";
    game.shortName = "TestGame";
    return game;
}

std::string GameJson(const fs::path& game) {
    return nlohmann::json{{"game", PathUtf8(game)}}.dump(2);
}

// Installs side by side: dir/installs/<name>/TestGame is each one's data folder; this one is "mine".
struct SettingsTest : ::testing::Test {
    test::TempDir dir;
    test::TestPlatform platform;
    fs::path root = dir / "installs" / "mine" / "TestGame";
    Builder builder{TestGame(), root, nullptr, &platform};

    fs::path Settings() const { return root / "launcher.json"; }
    fs::path PerUser() const { return dir / "user" / "TestGame" / "launcher.json"; }
    fs::path Sibling(const std::string& name) const { return dir / "installs" / name / "TestGame" / "launcher.json"; }
    // An existing copy of the game.
    fs::path Copy(const std::string& name) const {
        test::WriteFile(dir / "copies" / name, "disc");
        return dir / "copies" / name;
    }
};

TEST_F(SettingsTest, PerUserPathFallsBackFromLocalAppDataToXdgToHome) {
    struct Case {
        std::map<std::string, std::string> env;
        fs::path expected;
    } cases[] = {
        {{{"LOCALAPPDATA", "/l"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, fs::path("/l") / "TestGame" / "launcher.json"},
        {{{"LOCALAPPDATA", ""}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, fs::path("/x") / "TestGame" / "launcher.json"},
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/h"}}, fs::path("/h") / ".local" / "share" / "TestGame" / "launcher.json"},
        {{{"HOME", ""}}, fs::path()},
        {{}, fs::path()},
    };
    for (const Case& c : cases) {
        platform.env = c.env;
        EXPECT_EQ(builder.SettingsPath(), c.expected) << PathUtf8(c.expected);
    }
}

TEST_F(SettingsTest, LocateGameTakesOwnSettingsFirstThenPerUserThenOtherInstalls) {
    platform.env = {{"LOCALAPPDATA", PathUtf8(dir / "user")}};
    fs::path perUserCopy = Copy("per-user.iso");
    fs::path siblingCopy = Copy("sibling.iso");
    bool elsewhere = true;

    // Nothing anywhere.
    EXPECT_EQ(builder.LocateGame(&elsewhere), fs::path());
    EXPECT_FALSE(elsewhere);

    // Another install (and a stray file beside the installs, which is no install).
    test::WriteFile(Sibling("other"), GameJson(siblingCopy));
    test::WriteFile(dir / "installs" / "stray-file", "x");
    EXPECT_EQ(builder.LocateGame(&elsewhere), siblingCopy);
    EXPECT_TRUE(elsewhere);

    // A per-user file naming a copy that is gone is passed over; a broken one too.
    test::WriteFile(PerUser(), GameJson(dir / "copies" / "gone.iso"));
    EXPECT_EQ(builder.LocateGame(&elsewhere), siblingCopy);
    test::WriteFile(PerUser(), "{\"game\": ");
    EXPECT_EQ(builder.LocateGame(&elsewhere), siblingCopy);

    // The per-user file comes before other installs.
    test::WriteFile(PerUser(), GameJson(perUserCopy));
    EXPECT_EQ(builder.LocateGame(&elsewhere), perUserCopy);
    EXPECT_TRUE(elsewhere);

    // Own settings without a game do not count; with one they win, even when that copy is gone.
    test::WriteFile(Settings(), "{\"built\": \"v1\"}");
    EXPECT_EQ(builder.LocateGame(&elsewhere), perUserCopy);
    fs::path gone = dir / "copies" / "moved-away.iso";
    test::WriteFile(Settings(), GameJson(gone));
    EXPECT_EQ(builder.LocateGame(&elsewhere), gone);
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(builder.LocateGame(), gone);
}

TEST_F(SettingsTest, WithoutPerUserFolderOnlyOtherInstallsAreSearched) {
    platform.env = {};
    fs::path copy = Copy("sibling.iso");
    test::WriteFile(Sibling("other"), GameJson(copy));
    // An install whose data folder has another name is not ours.
    test::WriteFile(dir / "installs" / "third" / "OtherGame" / "launcher.json", GameJson(Copy("other-game.iso")));
    bool elsewhere = false;
    EXPECT_EQ(builder.LocateGame(&elsewhere), copy);
    EXPECT_TRUE(elsewhere);

    fs::remove(Sibling("other"));
    EXPECT_EQ(builder.LocateGame(&elsewhere), fs::path());
    EXPECT_FALSE(elsewhere);
}

TEST_F(SettingsTest, ReadGameKeyTakesOnlyAStringGame) {
    struct Case {
        const char* text;  // nullptr: no file
        fs::path expected;
    } cases[] = {
        {nullptr, ""},
        {"", ""},
        {"not json", ""},
        {"[\"game\"]", ""},
        {"{\"built\": \"v1\"}", ""},
        {"{\"game\": 5}", ""},
        {"{\"game\": null}", ""},
        {"{\"game\": \"/discs/Game.iso\"}", "/discs/Game.iso"},
        {"{\"game\": \"/discs/J\\u00e4ger.iso\"}", Utf8Path("/discs/J\xc3\xa4ger.iso")},
    };
    for (const Case& c : cases) {
        fs::path file = dir / "launcher.json";
        fs::remove(file);
        if (c.text) test::WriteFile(file, c.text);
        EXPECT_EQ(ReadGameKey(file), c.expected) << (c.text ? c.text : "(no file)");
    }
}

TEST_F(SettingsTest, SetSettingKeepsOtherKeysAndWritesTheFixedFormat) {
    builder.SetSetting("music", "/home/me/Music");
    builder.SetSetting("built", "v1.2");
    EXPECT_EQ(test::ReadFile(Settings()), "{\n  \"built\": \"v1.2\",\n  \"music\": \"/home/me/Music\"\n}");
    builder.SetSetting("built", "v1.3");
    EXPECT_EQ(builder.ReadBuilt(), "v1.3");
    builder.SetSetting("game", "/discs/J\xc3\xa4ger.iso");
    EXPECT_NE(test::ReadFile(Settings()).find("\"game\": \"/discs/J\xc3\xa4ger.iso\""), std::string::npos);
    EXPECT_NE(test::ReadFile(Settings()).find("\"music\": \"/home/me/Music\""), std::string::npos);
}

TEST_F(SettingsTest, SetSettingReplacesBrokenFilesAndValuesOfOtherTypes) {
    struct Case {
        const char* before;
        const char* after;
    } cases[] = {
        {"[1, 2]", "{\n  \"built\": \"v2\"\n}"},
        {"{\"built\": ", "{\n  \"built\": \"v2\"\n}"},
        {"\"text\"", "{\n  \"built\": \"v2\"\n}"},
        {"{\"built\": {\"x\": 1}, \"other\": 3}", "{\n  \"built\": \"v2\",\n  \"other\": 3\n}"},
    };
    for (const Case& c : cases) {
        test::WriteFile(Settings(), c.before);
        builder.SetSetting("built", "v2");
        EXPECT_EQ(test::ReadFile(Settings()), c.after) << c.before;
    }
}

// A write that cannot finish (here: its temporary name is taken by a folder) leaves the old settings whole.
TEST_F(SettingsTest, FailedWriteKeepsTheOldSettings) {
    builder.SetSetting("game", "/discs/game.iso");
    const std::string before = test::ReadFile(Settings());
    fs::path blocker = Settings();
    blocker += ".new";
    fs::create_directories(blocker / "busy");
    builder.SetSetting("built", "v2");
    EXPECT_EQ(test::ReadFile(Settings()), before);
    EXPECT_EQ(builder.ReadBuilt(), "");
    fs::remove_all(blocker);
    builder.SetSetting("built", "v2");
    EXPECT_EQ(builder.ReadBuilt(), "v2");
    EXPECT_EQ(ReadGameKey(Settings()), Utf8Path("/discs/game.iso"));
    EXPECT_FALSE(fs::exists(blocker));
}

// A file name need not be valid UTF-8 on POSIX; writing it must not throw out of the JSON writer.
TEST_F(SettingsTest, SetSettingWithInvalidUtf8DoesNotThrow) {
    builder.SetSetting("built", "v1");
    builder.SetSetting("game", "/discs/\xff\xfe.iso");
    EXPECT_EQ(builder.ReadBuilt(), "v1");
    EXPECT_FALSE(ReadGameKey(Settings()).empty());
}

TEST_F(SettingsTest, ReadBuiltTakesOnlyAString) {
    EXPECT_EQ(builder.ReadBuilt(), "");
    struct Case {
        const char* text;
        const char* built;
    } cases[] = {
        {"{\"built\": \"v1.4\"}", "v1.4"}, {"{\"built\": 14}", ""}, {"{\"game\": \"x\"}", ""},
        {"[\"built\"]", ""},               {"{broken", ""},
    };
    for (const Case& c : cases) {
        test::WriteFile(Settings(), c.text);
        EXPECT_EQ(builder.ReadBuilt(), c.built) << c.text;
    }
}

}  // namespace
}  // namespace launcher
