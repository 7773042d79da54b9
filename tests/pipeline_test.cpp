#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "build/builder.h"
#include "platform/paths.h"
#include "support/http_server.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

GameDefinition BuiltinGame() {
    GameDefinition game;
    std::string err;
    EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    return game;
}

// Data folders sit two levels below the test's own folder, so the search for other installs stays in it.
struct PipelineTest : ::testing::Test {
    void Make(const GameDefinition& game, const fs::path& root) {
        builder = std::make_unique<Builder>(game, root, http.get(), platform.get());
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
    }
    test::TempDir tmp;
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    std::unique_ptr<Platform> platform = std::make_unique<test::TestPlatform>();  // no per-user settings
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
};

TEST_F(PipelineTest, InstalledAndCodeMissingFollowTheProgramAndItsLibrary) {
    GameDefinition package = BuiltinGame();
    GameDefinition source = package;
    source.package.clear();
    source.packages.clear();
    const std::string exe = "Starblaze" + platform->ExeSuffix();
    struct Case {
        bool packageMode, program, library, installed, codeMissing;
    } cases[] = {
        {true, false, false, false, false},
        {true, true, false, false, true},
        {true, false, true, false, false},
        {true, true, true, true, false},
        {false, true, false, true, false},
        {false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.packageMode << c.program << c.library);
        test::TempDir root;
        Make(c.packageMode ? package : source, root.path());
        if (c.program) test::WriteFile(root / "play" / exe, "program");
        if (c.library) test::WriteFile(root / "play" / "Starblaze.dll", "code");
        EXPECT_EQ(builder->IsInstalled(), c.installed);
        EXPECT_EQ(builder->GameCodeMissing(), c.codeMissing);
    }
}

// A data folder path of `units` UTF-16 units, with a two-unit character in it.
fs::path PathOfLength(const fs::path& base, size_t units) {
    std::u16string text = base.u16string() + u"/\U0001F3AE";
    while (text.size() < units) text += u'x';
    return fs::path(text);
}

TEST_F(PipelineTest, PathTooLongAtEightyOneUnits) {
    std::string err = "untouched";
    Make(BuiltinGame(), PathOfLength(tmp.path(), 80));
    ASSERT_EQ(builder->root.u16string().size(), 80u);
    EXPECT_FALSE(builder->PathTooLong(err));
    EXPECT_EQ(err, "untouched");

    Make(BuiltinGame(), PathOfLength(tmp.path(), 81));
    EXPECT_TRUE(builder->PathTooLong(err));
    EXPECT_EQ(err, "This folder's path is too long for Microsoft's Windows SDK installer (81 characters, at most 80): " +
                       PathUtf8(builder->root) +
                       ". Move StarblazeOnlineLauncher.exe to a short folder, such as C:\\Games\\StarblazeOnline, and "
                       "run it from there.");
}

TEST_F(PipelineTest, BuildFromSourceStopsAtTheLongPathBeforeAnyStage) {
    GameDefinition game = BuiltinGame();
    game.package.clear();
    Make(game, PathOfLength(tmp.path(), 81));
    std::string err;
    EXPECT_FALSE(builder->BuildAll(err));
    EXPECT_EQ(err.rfind("This folder's path is too long", 0), 0u) << err;
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].rfind("build started ", 0), 0u);
    EXPECT_EQ(logged[1], "timing: 0 stages, 0.0 s in all");
    EXPECT_EQ(logged[2], "build stopped: " + err);
}

TEST_F(PipelineTest, AFailingStageEndsTheRunWithItsSentence) {
    GameDefinition game = BuiltinGame();
    game.package.clear();
    game.toolchain = server.Url("/no/toolchain.json");  // no list of tools anywhere
    Make(game, tmp / "Launcher" / "data");
    builder->stop = true;  // a stale stop from an earlier job is cleared
    std::string err;
    EXPECT_FALSE(builder->BuildAll(err));
    EXPECT_FALSE(err.empty());
    EXPECT_NE(err, "cancelled");
    EXPECT_FALSE(builder->stop);
    ASSERT_EQ(builder->stageTimes.size(), 1u);
    EXPECT_EQ(builder->stageTimes[0].name, "build tools list");
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[1].rfind("stage build tools list: ", 0), 0u);
    EXPECT_EQ(logged[1].substr(logged[1].size() - 10), " (stopped)");
    EXPECT_EQ(logged[2].rfind("timing: 1 stages, ", 0), 0u);
    EXPECT_EQ(logged[4], "build stopped: " + err);
    EXPECT_EQ(builder->ReadBuilt(), "");
}

TEST_F(PipelineTest, PackageModeHandsOverToThePackagePipeline) {
    Make(BuiltinGame(), tmp / "Launcher" / "data");
    std::string err;
    EXPECT_FALSE(builder->BuildAll(err));
    EXPECT_EQ(err, "Choose the game first.");
    EXPECT_EQ(builder->packagePhase, 0);
    EXPECT_EQ(logged.back(), "build stopped: Choose the game first.");
}

TEST_F(PipelineTest, LaunchGameStartsTheProgramInThePlayFolder) {
    Make(BuiltinGame(), tmp / "Launcher" / "data");
    std::string err;
    EXPECT_FALSE(builder->LaunchGame(err));
    EXPECT_EQ(err.rfind("Could not start the game", 0), 0u) << err;

    fs::create_directories(builder->PlayDir());
    fs::copy_file(test::TestProgram("fake_game"), builder->GameExePath());
    ASSERT_TRUE(builder->LaunchGame(err)) << err;
    // The launcher does not wait for the game: it shows up by itself.
    fs::path launched = builder->PlayDir() / "launched.txt";
    for (int i = 0; i < 200 && !fs::exists(launched); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(launched));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(test::ReadFile(launched), "");  // no arguments
}

}  // namespace
}  // namespace launcher
