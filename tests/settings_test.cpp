#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "build/tools.h"
#include "game/settings.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/file_hold.h"
#include "support/links.h"
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

// The temporary name is the launcher's own: a link (or a second name of a file of the user's) standing
// there is never written through. Natively it goes as itself; under Wine, which acts on what a host link
// leads to, the update is refused and the settings stay as they were.
TEST_F(SettingsTest, TheTemporaryNameIsNeverWrittenThrough) {
    const fs::path users = dir / "users" / "notes.txt";
    fs::path temporary = Settings();
    temporary += ".new";
    for (const bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "a second name" : "a link");
        test::WriteFile(Settings(), GameJson("/discs/game.iso"));
        test::WriteFile(users, "the user's notes");
        if (hard) {
            std::error_code ec;
            fs::create_hard_link(users, temporary, ec);
            ASSERT_FALSE(ec) << ec.message();
        } else {
            ASSERT_TRUE(test::MakeLink(temporary, users));
        }
        std::string err;
        const bool refused = !hard && test::RunningUnderWine();
        EXPECT_EQ(UpdateSettingsFile(Settings(), "built", "v2", err), !refused) << err;
        EXPECT_EQ(test::ReadFile(users), "the user's notes");
        EXPECT_EQ(builder.ReadBuilt(), refused ? "" : "v2");
        EXPECT_EQ(ReadGameKey(Settings()), Utf8Path("/discs/game.iso"));
        if (refused) {
            EXPECT_EQ(err, "cannot write " + PathUtf8(temporary));
        }
        if (!refused) {
            EXPECT_FALSE(EntryExists(temporary));
        }
        ASSERT_TRUE(test::RemoveWithHostTools(temporary));
    }
}

// Every key the launcher keeps in its settings file: an update must never drop one.
nlohmann::json AllKeys() {
    return {{"game", "/discs/game.iso"},
            {"game_sha1", "0123456789abcdef0123456789abcdef01234567"},
            {"music", "/home/me/Music"},
            {"built", "v1"}};
}

// A virus scanner or a second launcher holding the file makes the read or the rename fail for a moment:
// the update waits it out and keeps every key. When the file stays held, the file is left as it was
// (not rewritten from an empty object) and the caller is told.
TEST_F(SettingsTest, UpdateWaitsOutAReadOrRenameThatFailsForAMoment) {
    struct Case {
        const char* what;
        int readFailures;
        int moveFailures;
        bool updated;
        const char* error;  // a part of `err` when not updated
    } cases[] = {
        {"read fails twice", 2, 0, true, ""},
        {"rename fails three times", 0, 3, true, ""},
        {"read keeps failing", 1000, 0, false, "cannot be read"},
        {"rename keeps failing", 0, 1000, false, "the file is in use"},
    };
    fs::path temporary = Settings();
    temporary += ".new";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteFile(Settings(), DumpSettings(AllKeys()));
        int reads = 0;
        int moves = 0;
        SettingsFileCalls calls;
        calls.read = [&](const fs::path& file, std::string& text) {
            return ++reads > c.readFailures && ReadWholeFile(file, text);
        };
        calls.move = [&](const fs::path& from, const fs::path& to, std::string& err) {
            if (++moves > c.moveFailures) return MoveReplacing(from, to, err);
            err = "the file is in use";
            return false;
        };
        std::string err;
        EXPECT_EQ(UpdateSettingsFile(Settings(), "built", "v2", err, calls), c.updated) << err;
        nlohmann::json expected = AllKeys();
        if (c.updated) expected["built"] = "v2";
        EXPECT_EQ(test::ReadFile(Settings()), DumpSettings(expected));
        EXPECT_FALSE(EntryExists(temporary));
        if (!c.updated) {
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
            // A few attempts, then it gives up; an unreadable file is never written.
            EXPECT_GT(reads + moves, 2);
            EXPECT_LT(reads + moves, 12);
            if (c.readFailures > 0) {
                EXPECT_EQ(moves, 0);
            }
        }
    }
}

// The first setting of a new install finds no file: that is no failure to wait out.
TEST_F(SettingsTest, UpdateOfAFileNotYetThereReadsOnce) {
    int reads = 0;
    SettingsFileCalls calls;
    calls.read = [&](const fs::path& file, std::string& text) {
        ++reads;
        return ReadWholeFile(file, text);
    };
    std::string err;
    ASSERT_TRUE(UpdateSettingsFile(Settings(), "music", "/home/me/Music", err, calls)) << err;
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(test::ReadFile(Settings()), "{\n  \"music\": \"/home/me/Music\"\n}");
}

// What stands in the file's place cannot be read at all: SetSetting leaves it alone and the log names the file.
TEST_F(SettingsTest, SetSettingThatCannotReadTheFileLogsWhichFile) {
    std::vector<std::string> lines;
    builder.logSink = [&](const std::string& line) { lines.push_back(line); };
    fs::create_directories(Settings() / "in-the-way");
    builder.SetSetting("built", "v2");
    EXPECT_TRUE(fs::is_directory(Settings() / "in-the-way"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "settings: could not update " + PathUtf8(Settings()) +
                            " (it exists but cannot be read), \"built\" is not saved");
}

// The real thing on Windows: the file held open by another program for a moment, first so that it
// cannot even be read, then so that it can be read but not replaced.
TEST_F(SettingsTest, FileHeldOpenForAMomentKeepsEveryKeyAndTheChange) {
#ifdef _WIN32
    struct Case {
        const char* what;
        test::FileHold::Share share;
    } cases[] = {
        {"held without sharing", test::FileHold::Share::Nothing},
        {"held for reading only", test::FileHold::Share::Reading},
    };
    std::vector<std::string> lines;
    builder.logSink = [&](const std::string& line) { lines.push_back(line); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteFile(Settings(), DumpSettings(AllKeys()));
        test::FileHold hold;
        ASSERT_TRUE(hold.Hold(Settings(), c.share));
        // The hold does what a scanner's does.
        std::string text;
        if (c.share == test::FileHold::Share::Nothing) {
            EXPECT_FALSE(ReadWholeFile(Settings(), text));
        } else {
            fs::path other = dir / "other.json";
            test::WriteFile(other, "{}");
            std::string moveError;
            EXPECT_FALSE(MoveReplacing(other, Settings(), moveError));
        }
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            hold.Release();
        });
        builder.SetSetting("built", "v2");
        release.join();
        nlohmann::json expected = AllKeys();
        expected["built"] = "v2";
        EXPECT_EQ(test::ReadFile(Settings()), DumpSettings(expected));
    }
    EXPECT_EQ(lines, std::vector<std::string>{});
#else
    GTEST_SKIP() << "POSIX has no sharing modes that stop root from reading or replacing a file; the "
                    "retries are shown through the file calls in UpdateWaitsOutAReadOrRenameThatFailsForAMoment";
#endif
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
