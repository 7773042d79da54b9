#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "build/builder.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/git_repo.h"
#include "support/http_server.h"
#include "support/links.h"
#include "support/source_world.h"
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

// ---- The build from source end to end: tools installed from the loopback server, the real git, CMake and
// compiler on Linux, the stand-ins under Wine -------------------------------------------------------------

struct SourceBuild : ::testing::Test {
    SourceBuild() {
        // The tools' children need the system's programs; the git of the test reads no one's settings.
        if (const char* path = std::getenv("PATH")) platform.env["PATH"] = path;
        world = std::make_unique<test::SourceWorld>(tmp / "world", server);
        Remake();
        builder->SetSetting("game", PathUtf8(world->disc));
        // The user's own things: a save in the play folder and the game's folder linked there.
        test::WriteFile(play / "hdd" / "save.dat", "my save");
        EXPECT_TRUE(test::MakeLink(play / "assets", world->disc));
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    void Remake() {
        builder = std::make_unique<Builder>(world->game, root, http.get(), &platform);
        builder->holdsDataFolder = true;
        builder->logSink = [this](const std::string& line) {
            logged.push_back(line);
            if (onLog) onLog(line);
        };
        builder->statusSink = [this](const Status& status) {
            reports.push_back(status);
            if (onStatus) onStatus(status);
        };
    }

    bool Run() {
        logged.clear();
        reports.clear();
        err.clear();
        return builder->BuildAll(err);
    }
    std::vector<std::string> Stages() const {
        std::vector<std::string> names;
        for (const StageTime& stage : builder->stageTimes) names.push_back(stage.name);
        return names;
    }
    size_t Logged(const std::string& prefix) const {
        return std::count_if(logged.begin(), logged.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
    size_t Requests(const std::string& id) const { return server.Requests(world->ArchivePath(id)).size(); }
    std::string Exe(const std::string& stem) const { return stem + platform.ExeSuffix(); }
    std::string Library() const { return platform.ExeSuffix().empty() ? "StarblazeCode.so" : "StarblazeCode.dll"; }

    // Nothing of the user's was touched, whatever the run did.
    void ExpectUsersThingsKept() const {
        EXPECT_EQ(test::ReadFile(play / "hdd" / "save.dat"), "my save");
        EXPECT_TRUE(IsLink(play / "assets"));
        EXPECT_EQ(test::ReadFile(world->disc / "Driving.xbe"), "the driving xbe");
        EXPECT_EQ(test::ReadFile(world->disc / "media" / "intro.bik"), "media");
    }
    void ExpectStopped() const {
        EXPECT_EQ(err, "cancelled");
        EXPECT_EQ(Logged("build stopped"), 0u);
        EXPECT_EQ(builder->ReadBuilt(), "");
        EXPECT_FALSE(builder->IsInstalled());
        ExpectUsersThingsKept();
    }
    void ExpectBuilt() const {
        EXPECT_EQ(builder->ReadBuilt(), "v2.0.11");
        EXPECT_TRUE(builder->IsInstalled());
        for (const std::string& name : {Exe("Starblaze"), Exe("StarblazeDriving"), Library()}) {
            EXPECT_TRUE(fs::exists(play / name)) << name;
        }
        EXPECT_FALSE(fs::exists(play / Exe("StarblazeTests")));
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().title, "Ready");
        EXPECT_EQ(reports.back().detail, "");
        EXPECT_EQ(reports.back().progress, 1.0);
        EXPECT_EQ(Logged("build stopped"), 0u);
        ExpectUsersThingsKept();
    }

    test::TempDir tmp;
    test::GitIsolation isolation{tmp / "home"};
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    test::TestPlatform platform;
    std::unique_ptr<test::SourceWorld> world;
    // Short, so that the data folder stays within the SDK installer's limit in Wine's temporary folder too.
    fs::path root = tmp / "L" / "d";
    fs::path play = root / "play";
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::function<void(const std::string&)> onLog;
    std::function<void(const Status&)> onStatus;
    std::string err;
};

TEST_F(SourceBuild, BuildsEndToEndAndARebuildRedoesNothingItNeedNot) {
    ASSERT_TRUE(Run()) << err;
    ExpectBuilt();
    EXPECT_EQ(Stages(), world->Stages());
    EXPECT_EQ(Logged("timing: " + std::to_string(world->Stages().size()) + " stages, "), 1u);
    // The stages ran what the launcher installed: git, cmake (configure and build) and, on Linux, Ninja and
    // the compiler found through the build environment.
    EXPECT_GE(world->Runs(*builder, "git"), 2u);
    EXPECT_EQ(world->Runs(*builder, "cmake"), 2u);
    if (test::SourceWorld::RealTools()) {
        EXPECT_GE(world->Runs(*builder, "ninja"), 1u);
        EXPECT_GE(world->Runs(*builder, "llvm"), 1u);
        EXPECT_EQ(world->Built(*builder), "game 1 with lib");
    }
    auto preferred = [](fs::path path) { return PathUtf8(path.make_preferred()); };
    EXPECT_EQ(world->CMakeEnv(*builder, "INCLUDE")
                  .rfind(preferred(builder->ToolDir("msvc") / "VC" / "Tools" / "MSVC" / "14.44.17.14" / "include"), 0),
              0u);
    EXPECT_EQ(world->CMakeEnv(*builder, "PATH").rfind(preferred(builder->ToolDir("llvm") / "bin"), 0), 0u);
    // The optional tool is never installed by a build.
    EXPECT_TRUE(server.Requests(world->ArchivePath("ffmpeg")).empty());
    EXPECT_FALSE(fs::exists(builder->ToolDir("ffmpeg")));
    for (const std::string& id : world->ToolIds()) {
        if (id == "winsdk") continue;  // no installers to fetch
        EXPECT_EQ(Requests(id), 1u) << id;
    }

    // A rebuild: the tools are not fetched again, the checkout is fetched (a clone would lose this file),
    // CMake's cache stays.
    test::WriteFile(root / "source" / ".git" / "kept", "kept");
    ASSERT_TRUE(Run()) << err;
    ExpectBuilt();
    for (const std::string& id : world->ToolIds()) {
        if (id == "winsdk") continue;  // no installers to fetch
        EXPECT_EQ(Requests(id), 1u) << id;
    }
    EXPECT_TRUE(fs::exists(root / "source" / ".git" / "kept"));
    EXPECT_EQ(Logged("the build tools changed"), 0u);
    EXPECT_EQ(Logged("xbe written to "), 0u);

    // The launcher's tag moved on: the next build brings the new game.
    world->MoveOn(true);
    ASSERT_TRUE(Run()) << err;
    ExpectBuilt();
    if (test::SourceWorld::RealTools()) {
        EXPECT_EQ(world->Built(*builder), "game 2 with lib");
    } else {
        EXPECT_EQ(test::ReadFile(root / "source" / "checkout.txt"), "v2.0.11 commit-2");
    }

    // A newer Ninja: only it is fetched again, and CMake's cache is made anew for it while the rest of the
    // build folder stays.
    const fs::path buildDir = root / "source" / "out" / "build" / "release";
    test::WriteFile(buildDir / "kept.txt", "kept");
    world->UpdateNinja();
    ASSERT_TRUE(Run()) << err;
    ExpectBuilt();
    EXPECT_EQ(Logged("the build tools changed: CMake's cache is made again"), 1u);
    EXPECT_TRUE(fs::exists(builder->ToolDir("ninja") / "notes.txt"));
    for (const std::string& id : world->ToolIds()) {
        if (id == "winsdk") continue;  // no installers to fetch
        EXPECT_EQ(Requests(id), id == "ninja" ? 2u : 1u) << id;
    }
    EXPECT_EQ(test::ReadFile(buildDir / "kept.txt"), "kept");
    if (test::SourceWorld::RealTools()) {
        EXPECT_EQ(world->Built(*builder), "game 2 with lib");
    }
}

// Stopped in every stage in turn, each run carries on where the last one ended.
TEST_F(SourceBuild, AStopInEveryStageIsPickedUpByTheNextRun) {
    auto stopWhenReported = [this](const std::string& title, bool partway) {
        onLog = nullptr;
        onStatus = [this, title, partway](const Status& s) {
            if (s.title == title && (!partway || s.progress > 0)) builder->stop = true;
        };
    };
    auto stopWhenLogged = [this](const std::string& prefix) {
        onStatus = nullptr;
        onLog = [this, prefix](const std::string& line) {
            if (line.rfind(prefix, 0) == 0) builder->stop = true;
        };
    };
    const std::vector<std::string> tools = world->ToolIds();
    // Each archive came once so far, CMake's in `cmakeParts`.
    auto expectFetchedOnce = [&](size_t cmakeParts) {
        for (const std::string& id : tools) {
            if (id == "winsdk") continue;  // no installers to fetch
            EXPECT_EQ(Requests(id), id == "cmake" ? cmakeParts : 1u) << id;
        }
    };

    stopWhenReported("Looking up the build tools", false);
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages(), std::vector<std::string>{"build tools list"});

    // Half-way through the CMake archive: the tools before it stay installed, the download is kept.
    stopWhenReported("Downloading CMake 3.31.12", true);
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "tool cmake");
    EXPECT_TRUE(fs::exists(root / "downloads" / "cmake" / "cmake.zip.part"));

    // While Ninja unpacks: its download stays for the next run.
    stopWhenReported("Unpacking Ninja 1.13.2", false);
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "tool ninja");
    EXPECT_TRUE(fs::exists(root / "downloads" / "ninja" / "ninja.zip"));
    EXPECT_FALSE(fs::exists(builder->ToolDir("ninja") / ".launcher-stamp"));

    stopWhenLogged("git: ");
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "game source");
    // The CMake download was resumed, and no tool was fetched twice.
    expectFetchedOnce(2);
    std::vector<test::SeenRequest> cmake = server.Requests(world->ArchivePath("cmake"));
    ASSERT_EQ(cmake.size(), 2u);
    EXPECT_EQ(cmake[1].range.rfind("bytes=", 0), 0u);

    stopWhenLogged("xbe written to ");
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "game's xbe");

    stopWhenLogged("cmake: ");
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "configure (cmake)");
    EXPECT_EQ(Logged("xbe written to "), 0u);  // in place since the last run

    stopWhenLogged("[");
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "compile and link (cmake --build)");
    EXPECT_TRUE(fs::exists(root / "source" / "out" / "build" / "release" / "CMakeCache.txt"));

    stopWhenLogged("stage compile and link");
    EXPECT_FALSE(Run());
    ExpectStopped();
    EXPECT_EQ(Stages().back(), "compile and link (cmake --build)");

    onLog = nullptr;
    onStatus = nullptr;
    ASSERT_TRUE(Run()) << err;
    ExpectBuilt();
    EXPECT_EQ(Stages(), world->Stages());
    // Every archive came once (CMake's in two parts); the cache made by the last configure stayed.
    expectFetchedOnce(2);
    EXPECT_EQ(Logged("the build tools changed"), 0u);
    if (test::SourceWorld::RealTools()) {
        EXPECT_EQ(world->Built(*builder), "game 1 with lib");
    }
}

}  // namespace
}  // namespace launcher
