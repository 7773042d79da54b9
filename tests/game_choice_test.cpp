#include <gtest/gtest.h>

#include "game/game_choice.h"
#include "platform/paths.h"
#include "support/test_support.h"
#include "support/xdvdfs_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::XDir;
using test::XFile;

// SHA-1 of "abc" and of "The quick brown fox jumps over the lazy dog".
constexpr char kKnownXbe[] = "abc";
constexpr char kKnownSha1[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr char kOtherXbe[] = "The quick brown fox jumps over the lazy dog";
constexpr char kOtherSha1[] = "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12";

GameDefinition TestGame() {
    GameDefinition game;
    game.title = "Test Game";
    game.shortName = "TestGame";
    game.xbe = "default.xbe";
    game.releases[kKnownSha1] = "Release A";
    return game;
}

struct GameChoiceTest : ::testing::Test {
    test::TempDir dir;
    GameDefinition game = TestGame();

    fs::path Image(const std::string& name, const std::vector<test::XdvdfsNode>& files) {
        fs::path file = dir / name;
        EXPECT_TRUE(test::WriteXdvdfsImage(file, files));
        return file;
    }
    // A folder holding the given files.
    fs::path Folder(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) {
        fs::path folder = dir / name;
        fs::create_directories(folder);
        for (const auto& [file, bytes] : files) test::WriteFile(folder / file, bytes);
        return folder;
    }
};

// Every message the Game page can show, as the user reads it.
TEST_F(GameChoiceTest, MessagesForCopiesThatWillNotDo) {
    test::WriteFile(dir / "notes.txt", "not a game");
    test::WriteFile(dir / "empty.iso", "");
    // A root folder claimed far past the end of the file.
    test::XdvdfsWriter broken;
    ASSERT_TRUE(broken.Write(dir / "broken.iso", test::XdvdfsExtent{4000, 4096}));
    Image("no-xbe.iso", {XFile("other.xbe", kKnownXbe), XDir("default.xbe", {})});
    Image("unknown.iso", {XFile("DEFAULT.XBE", kOtherXbe)});
    fs::path noXbe = Folder("no-xbe", {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    fs::path unknownFolder = Folder("unknown", {{"default.xbe", kOtherXbe}, {"b", "2"}, {"c", "3"}});
    fs::path two = Folder("two", {{"default.xbe", kKnownXbe}, {"media.bin", "2"}});
    fs::path xbeFolder = Folder("xbe-is-a-folder", {{"a", "1"}, {"b", "2"}});
    fs::create_directories(xbeFolder / "default.xbe");

    const std::string notImage = "This is not an Xbox disc image of Test Game: ";
    const std::string unsupported = "is not one this port supports (SHA-1 ";
    struct Case {
        fs::path chosen;
        std::string message;
        bool isImage;
        fs::path path;  // as classified
        std::string sha1;
    } cases[] = {
        {dir / "notes.txt", "Choose the game's disc image (.iso), or the folder with its files (default.xbe).", false,
         "", ""},
        {"", "Choose the game's disc image (.iso), or the folder with its files (default.xbe).", false, "", ""},
        {dir / "missing.bin", "Choose the game's disc image (.iso), or the folder with its files (default.xbe).",
         false, "", ""},
        {dir / "missing.ISO", notImage + "cannot open the file", true, dir / "missing.ISO", ""},
        {dir / "empty.iso", notImage + "no Xbox disc image", true, dir / "empty.iso", ""},
        {dir / "broken.iso", notImage + "its folders cannot be read", true, dir / "broken.iso", ""},
        {dir / "no-xbe.iso", notImage + "the disc image has no default.xbe", true, dir / "no-xbe.iso", ""},
        {noXbe, "there is no default.xbe in " + PathUtf8(noXbe), false, noXbe, ""},
        {xbeFolder, "there is no default.xbe in " + PathUtf8(xbeFolder), false, xbeFolder, ""},
        {dir / "unknown.iso",
         std::string("This copy's default.xbe ") + unsupported + kOtherSha1 +
             "). It needs an unmodified disc of Test Game.",
         true, dir / "unknown.iso", kOtherSha1},
        {unknownFolder / "default.xbe",
         std::string("This copy's default.xbe ") + unsupported + kOtherSha1 +
             "). It needs an unmodified disc of Test Game.",
         false, unknownFolder, kOtherSha1},
        {two, "The folder holds default.xbe but not the rest of the disc's files.", false, two, kKnownSha1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PathUtf8(c.chosen));
        SelectedGame chosen = ChooseGame(game, c.chosen);
        EXPECT_FALSE(chosen.ok);
        EXPECT_EQ(chosen.message, c.message);
        EXPECT_EQ(chosen.isImage, c.isImage);
        EXPECT_EQ(chosen.path, c.path);
        EXPECT_EQ(chosen.sha1, c.sha1);
        EXPECT_EQ(chosen.release, "");
    }
}

TEST_F(GameChoiceTest, UsableCopiesByEveryWayOfPickingThem) {
    fs::path image = Image("Game.ISO", {XFile("Default.Xbe", kKnownXbe), XDir("media", {})});
    fs::path folder = Folder("disc", {{"default.xbe", kKnownXbe}, {"media.bin", "2"}, {"sound.bin", "3"}});
    fs::path mixed = Folder("mixed", {{"DeFault.XBE", kKnownXbe}, {"a", "2"}, {"b", "3"}});
    fs::path named = dir / Utf8Path("J\xc3\xa4ger \xe2\x84\x96 1.iso");
    ASSERT_TRUE(test::WriteXdvdfsImage(named, {XFile("default.xbe", kKnownXbe)}));
    struct Case {
        fs::path chosen;
        bool isImage;
        fs::path path;
    } cases[] = {
        {image, true, image},
        {folder, false, folder},
        {folder / "default.xbe", false, folder},
        {folder / "DEFAULT.XBE", false, folder},  // classified by name; the parent is the copy
        {mixed, false, mixed},                    // found through the case-blind listing
        {named, true, named},                     // a name beyond ASCII reaches the reader intact
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PathUtf8(c.chosen));
        SelectedGame chosen = ChooseGame(game, c.chosen);
        EXPECT_TRUE(chosen.ok) << chosen.message;
        EXPECT_EQ(chosen.message, "");
        EXPECT_EQ(chosen.isImage, c.isImage);
        EXPECT_EQ(chosen.path, c.path);
        EXPECT_EQ(chosen.release, "Release A");
        EXPECT_EQ(chosen.sha1, kKnownSha1);
    }
}

TEST_F(GameChoiceTest, ARelativePathIsMadeAbsolute) {
    fs::path folder = Folder("disc", {{"default.xbe", kKnownXbe}, {"a", "2"}, {"b", "3"}});
    fs::path before = fs::current_path();
    fs::current_path(dir.path());
    SelectedGame chosen = ChooseGame(game, "disc");
    fs::current_path(before);
    EXPECT_TRUE(chosen.ok) << chosen.message;
    EXPECT_TRUE(chosen.path.is_absolute());
    EXPECT_TRUE(fs::equivalent(chosen.path, folder));
}

TEST_F(GameChoiceTest, ReleaseKeysWithUpperCaseDigitsStillMatch) {
    std::string json = R"({"title": "Test Game", "short": "TestGame", "repo": "https://example.invalid/r.git",
        "releases": {"A9993E364706816ABA3E25717850C26C9CD0D89D": "Release A"}})";
    GameDefinition loaded;
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(json, loaded, err)) << err;
    SelectedGame chosen = ChooseGame(loaded, Image("game.iso", {XFile("default.xbe", kKnownXbe)}));
    EXPECT_TRUE(chosen.ok) << chosen.message;
    EXPECT_EQ(chosen.release, "Release A");
}

TEST_F(GameChoiceTest, ReadXbeByNameFromEitherKindOfCopy) {
    SelectedGame image;
    image.isImage = true;
    image.path = Image("game.iso", {XFile("default.xbe", kKnownXbe), XFile("DRIVING.XBE", "drive"),
                                    XDir("bin", {XFile("tool.xbe", "tool")})});
    SelectedGame folder;
    folder.path = Folder("disc", {{"default.xbe", kKnownXbe}, {"driving.xbe", "drive"}});

    std::vector<unsigned char> bytes;
    std::string err;
    for (const SelectedGame& copy : {image, folder}) {
        ASSERT_TRUE(ReadXbe("Driving.xbe", copy, bytes, err)) << err;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "drive");
        ASSERT_TRUE(ReadXbe(game, copy, bytes, err)) << err;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kKnownXbe);
    }
    ASSERT_TRUE(ReadXbe("bin\\tool.xbe", image, bytes, err)) << err;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "tool");

    EXPECT_FALSE(ReadXbe("Other.xbe", image, bytes, err));
    EXPECT_EQ(err, "the disc image has no Other.xbe");
    EXPECT_FALSE(ReadXbe("Other.xbe", folder, bytes, err));
    EXPECT_EQ(err, "there is no Other.xbe in " + PathUtf8(folder.path));
    SelectedGame gone = image;
    gone.path = dir / "gone.iso";
    EXPECT_FALSE(ReadXbe("default.xbe", gone, bytes, err));
    EXPECT_EQ(err, "cannot open the file");
}

}  // namespace
}  // namespace launcher
