#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/app.h"
#include "app/frame.h"
#include "app/launcher.h"
#include "app/release.h"
#include "app/theme.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "support/deep_tree.h"
#include "support/git_repo.h"
#include "support/imgui_recorder.h"
#include "support/spawn.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(StartUp, PreparesTheAppBesideTheExecutable) {
    test::TempDir dir;
    const fs::path exe = dir / "StarblazeOnlineLauncher.exe";
    test::WriteFile(exe, "launcher");
    test::WriteFile(dir / "StarblazeOnlineLauncher.exe.old", "the replaced launcher");
    test::WriteFile(dir / "StarblazeOnline" / "agreed.txt", "https://example.invalid/terms");
    test::WriteFile(dir / "StarblazeOnline" / "launcher.json", "{\"music\": \"M\xC3\xBCsic\"}");

    App app;
    std::string err;
    ASSERT_TRUE(StartUp(app, exe, BuiltinGameJson(), err)) << err;
    StopWorker(app);
    EXPECT_EQ(app.game.version, "v2.0.11");
    EXPECT_EQ(app.dataDir, dir / "StarblazeOnline");
    ASSERT_NE(app.builder, nullptr);
    EXPECT_EQ(app.builder->root, app.dataDir);
    EXPECT_EQ(app.builder->game.version, "v2.0.11");
    EXPECT_EQ(app.builder->builtinToolchain, BuiltinToolchainJson());  // the offline fallback of the build
    EXPECT_TRUE(app.consent);
    EXPECT_EQ(app.musicFolder, Utf8Path("M\xC3\xBCsic"));
    EXPECT_FALSE(fs::exists(dir / "StarblazeOnlineLauncher.exe.old"));
    EXPECT_TRUE(fs::exists(exe));
    EXPECT_FALSE(app.selected.ok);
    EXPECT_EQ(WindowTitle(app), "Aurora: Starblaze Online - Launcher");

    // The sinks are installed: the Builder's lines reach the Log page.
    app.builder->Log("hello");
    std::lock_guard<std::mutex> lock(app.mutex);
    ASSERT_FALSE(app.log.empty());
    EXPECT_EQ(app.log.back(), "hello");
}

TEST(StartUp, NoConsentWithoutAgreedTxt) {
    test::TempDir dir;
    App app;
    std::string err;
    ASSERT_TRUE(StartUp(app, dir / "launcher", BuiltinGameJson(), err)) << err;
    StopWorker(app);
    EXPECT_FALSE(app.consent);
    EXPECT_FALSE(fs::exists(dir / "StarblazeOnline" / "agreed.txt"));
}

// A kill in the middle of an install left the main program moved aside: the start puts it back before
// the start-up job asks whether the game is installed.
TEST(StartUp, AnInstallCutOffIsSettledFirst) {
    test::TempDir dir;
    GameDefinition game;
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    test::TestPlatform platform;
    const std::string exe = game.exe + platform.ExeSuffix();
    const fs::path data = dir / "StarblazeOnline";
    test::WriteFile(data / "play" / (exe + ".launcher-old"), "the game");
    test::WriteFile(data / "play" / (exe + ".launcher-new"), "the new game");
    // The built-in game comes as a package, whose game code is a library beside the program.
    test::WriteFile(data / "play" / (game.exe + ".dll"), "the game's code");
    const nlohmann::json journal = {{"done", false}, {"files", {{{"name", exe}, {"replaces", true}}}}};
    test::WriteFile(data / "play.launcher-install", journal.dump());

    App app;
    ASSERT_TRUE(StartUp(app, dir / "launcher", BuiltinGameJson(), err)) << err;
    // The start-up job runs to its end, as no one stops it.
    while (app.busy) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    StopWorker(app);
    std::vector<std::string> left = test::FilesBelow(data / "play"), whole = {exe, game.exe + ".dll"};
    std::sort(left.begin(), left.end());
    std::sort(whole.begin(), whole.end());
    EXPECT_EQ(left, whole);
    EXPECT_EQ(test::ReadFile(data / "play" / exe), "the game");
    EXPECT_FALSE(fs::exists(data / "play.launcher-install"));
    // The job found an installed game built by no known version.
    EXPECT_TRUE(app.gameUpdateAvailable);
}

// ---- Two launchers on one data folder ---------------------------------------------------------------

// Every file below `dir` with its bytes.
std::map<std::string, std::string> FilesWithBytes(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const std::string& name : test::FilesBelow(dir)) files[name] = test::ReadFile(dir / Utf8Path(name));
    return files;
}

// A launcher in a child process, started as the test program's child mode below; what it says arrives in
// `answer`.
struct LauncherProcess {
    LauncherProcess(const fs::path& exe, const fs::path& answer) : answer(answer) {
        std::error_code ec;
        fs::remove(answer, ec);
        test::ScopedEnv task("LAUNCHER_INSTANCE_CHILD", PathUtf8(exe) + "\n" + PathUtf8(answer));
        child = std::make_unique<test::Spawned>(test::TestProgram("launcher_tests"),
                                                std::vector<std::string>{"--gtest_filter=LauncherChild.DISABLED_Runs",
                                                                         "--gtest_also_run_disabled_tests",
                                                                         "--gtest_brief=1"});
    }
    // What the launcher said, once it said it; empty when it ended or `limit` passed first.
    std::string Answer(std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        std::error_code ec;
        while (!fs::exists(answer, ec)) {
            if (!child->Running() || std::chrono::steady_clock::now() > until) return fs::exists(answer, ec) ? test::ReadFile(answer) : "";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return test::ReadFile(answer);
    }

    fs::path answer;
    std::unique_ptr<test::Spawned> child;
};

// The first launcher holds the folder, with a git of its own in the checkout; a second start on the same
// folder ends at once with the sentence and changes nothing; once the first is killed, the next start
// takes the folder and carries on.
TEST(StartUp, ASecondLauncherOnTheSameFolderEndsAndChangesNothing) {
    test::TempDir dir;
    const fs::path exe = dir / "StarblazeOnlineLauncher.exe";
    const fs::path data = dir / "StarblazeOnline";
    test::WriteFile(exe, "launcher");
    test::WriteFile(data / "launcher.json", "{}");
    test::WriteFile(data / "source" / ".git" / "index.lock", "");
    fs::last_write_time(data / "source" / ".git" / "index.lock", fs::file_time_type::clock::now() - std::chrono::hours(1));
    // The first launcher's git, in the middle of a reset, holds its lock.
    std::ifstream gitHolds(data / "source" / ".git" / "index.lock");

    LauncherProcess first(exe, dir / "first");
    ASSERT_EQ(first.Answer(std::chrono::seconds(60)), "running");
    const auto before = FilesWithBytes(data);

    const auto start = std::chrono::steady_clock::now();
    LauncherProcess second(exe, dir / "second");
    EXPECT_EQ(second.Answer(std::chrono::seconds(60)),
              "ended: The launcher is already running from " + PathUtf8(data) + ": use that window, or close it first.");
    EXPECT_EQ(second.child->Wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(FilesWithBytes(data), before);
    EXPECT_TRUE(fs::exists(data / "source" / ".git" / "index.lock"));

    // Killed as a crash would end it: its lock goes with it.
    first.child.reset();
    LauncherProcess third(exe, dir / "third");
    EXPECT_EQ(third.Answer(std::chrono::seconds(60)), "running");
}

// The launchers of the test above, run as its children: starts up beside the executable that
// LAUNCHER_INSTANCE_CHILD names, writes "running" (once the start-up job is done) or "ended: " + the
// reason to the answer file named there, and runs until it is killed.
TEST(LauncherChild, DISABLED_Runs) {
    const char* task = std::getenv("LAUNCHER_INSTANCE_CHILD");
    if (task == nullptr) GTEST_SKIP() << "StartUp.ASecondLauncherOnTheSameFolderEndsAndChangesNothing runs it";
    const std::string text = task;
    const fs::path exe = Utf8Path(text.substr(0, text.find('\n'))), answer = Utf8Path(text.substr(text.find('\n') + 1));
    App app;
    std::string err;
    if (!StartUp(app, exe, BuiltinGameJson(), err)) {
        test::WriteFile(answer, "ended: " + err);
        return;
    }
    while (app.busy) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    test::WriteFile(answer, "running");
    // Until the test kills it; never for ever.
    std::this_thread::sleep_for(std::chrono::seconds(120));
    StopWorker(app);
}

TEST(StartUp, UnreadableGameDescriptionStopsEarly) {
    test::TempDir dir;
    App app;
    std::string err;
    EXPECT_FALSE(StartUp(app, dir / "launcher", "{ not json", err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(app.builder, nullptr);
    EXPECT_TRUE(app.dataDir.empty());
}

// Holds every request until the test lets them go, then answers none: the start-up job waits in its
// release check for as long as the test needs it to (a server can only stall for a set time).
class HeldHttp : public Http {
public:
    bool Get(const std::string&, uint64_t, const ChunkSink&, uint64_t*, std::string& err,
             const std::atomic<bool>*, HttpExchange*) override {
        std::unique_lock<std::mutex> lock(mutex_);
        letGo_.wait(lock, [this] { return free_; });
        err = "no answer in this test";
        return false;
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(mutex_);
        free_ = true;
        letGo_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable letGo_;
    bool free_ = false;
};

TEST(StartUp, TheWindowIsDrawnWhileTheSizesAreMeasured) {
    // A build tree thousands of levels deep takes a while to measure (seconds under Wine). The start-up
    // leaves it to the worker; the window is drawn meanwhile, with the Manage page saying that the size
    // is being measured, and shows the size once it is known.
    // Under Wine every level costs far more, natively every file.
    const int depth = test::RunningUnderWine() ? 150 : 300;
    const int files = test::RunningUnderWine() ? 0 : 2000;
    test::TempDir dir;
    const fs::path work = dir / "StarblazeOnline" / "play" / "compiler" / "work";
    ASSERT_TRUE(test::MakeDeepTree(work / "deep", depth));
    for (int i = 0; i < files; ++i) test::WriteFile(work / "obj" / (std::to_string(i) + ".o"), "o");
    test::WriteFile(work / "game.o", std::string(3 << 20, 'o'));

    App app;
    auto http = std::make_unique<HeldHttp>();
    HeldHttp* held = http.get();
    app.http = std::move(http);
    struct Done {
        App& app;
        HeldHttp* held;
        ~Done() {
            held->LetGo();
            StopWorker(app);
        }
    } done{app, held};
    // The game's repository on the code host, so that the start-up job asks for the latest release.
    nlohmann::json game = nlohmann::json::parse(BuiltinGameJson(), nullptr, false);
    game["repo"] = CodeHostConfig().web + "starblaze-port/starblaze.git";
    std::string err;
    ASSERT_TRUE(StartUp(app, dir / "launcher", game.dump(), err)) << err;

    ImGuiContext* context = ImGui::CreateContext();
    ImGui::GetIO().IniFilename = nullptr;
    ImGui::GetIO().DisplaySize = ImVec2(900, 1600);
    ImGui::GetIO().DeltaTime = 1.0f / 60.0f;
    ApplyStyle(1.0f);
    ImFont* bold = LoadFonts(fs::path(), 1.0f);
    auto recorder = std::make_unique<test::ImGuiRecorder>(context);
    app.section = kSectionManage;
    const auto frame = [&] {
        recorder->Clear();
        ImGui::NewFrame();
        DrawUI(app, nullptr, bold);
        ImGui::Render();
    };
    const auto shows = [&](const std::string& label) { return recorder->Find(label) != nullptr; };

    // The start-up job waits in its release check: nothing has been measured yet.
    frame();
    EXPECT_TRUE(shows("Remove the build files (measuring...)"));
    EXPECT_FALSE(shows("Remove the build files (3 MB)"));

    // Once the job's checks are done, the worker measures; the frames go on meanwhile.
    held->LetGo();
    const auto logged = [&app] {
        std::lock_guard<std::mutex> lock(app.mutex);
        for (const std::string& line : app.log) {
            if (line.rfind("update check: ", 0) == 0) return true;
        }
        return false;
    };
    while (!logged()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int drawnWhileMeasuring = 0;
    while (app.busy) {
        frame();
        if (app.busy) {
            ++drawnWhileMeasuring;
            EXPECT_TRUE(shows("Remove the build files (measuring...)"));
        }
    }
    frame();
    std::printf("%d frames drawn while the sizes were measured\n", drawnWhileMeasuring);
    // A frame that had to wait for the measuring would end only once it is over: at most one of the
    // frames before could have been drawn meanwhile.
    EXPECT_GE(drawnWhileMeasuring, 2);
    EXPECT_TRUE(shows("Remove the build files (3 MB)"));
    recorder.reset();
    ImGui::DestroyContext(context);
}

// Two installs side by side: "mine" starts, "other" chose a game folder earlier.
class TakeOver : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string xbe = "XBEH a main xbe for the tests";
        test::WriteFile(game_ / "default.xbe", xbe);
        test::WriteFile(game_ / "Driving.xbe", "XBEH the other one");
        test::WriteFile(game_ / "media" / "intro.bik", "video");
        nlohmann::json doc = nlohmann::json::parse(BuiltinGameJson(), nullptr, false);
        doc["releases"] = {{Sha1Hex(xbe.data(), xbe.size()), "Test release"}};
        gameJson_ = doc.dump();
        // No per-user settings: only the sibling install can name the game.
        app_.platform = std::make_unique<test::TestPlatform>();
    }

    void OtherChose(const fs::path& game) {
        nlohmann::json settings = {{"game", PathUtf8(game)}};
        test::WriteFile(dir_ / "other" / "StarblazeOnline" / "launcher.json", settings.dump(2));
    }

    bool StartMine() {
        std::string err;
        bool ok = StartUp(app_, dir_ / "mine" / "launcher", gameJson_, err);
        StopWorker(app_);
        EXPECT_TRUE(ok) << err;
        return ok;
    }

    bool Logged(const std::string& line) {
        std::lock_guard<std::mutex> lock(app_.mutex);
        for (const std::string& l : app_.log) {
            if (l == line) return true;
        }
        return false;
    }

    // The start-up job logs its update check; nothing about a game may be logged.
    void ExpectNoTakeOverLine() {
        std::lock_guard<std::mutex> lock(app_.mutex);
        for (const std::string& line : app_.log) EXPECT_NE(line.rfind("game: ", 0), 0u) << line;
    }

    test::TempDir dir_;
    fs::path game_ = dir_ / "disc";
    std::string gameJson_;
    App app_;
};

TEST_F(TakeOver, UsableGameOfAnotherInstallIsTakenOver) {
    OtherChose(game_);
    ASSERT_TRUE(StartMine());
    EXPECT_TRUE(app_.selected.ok) << app_.selected.message;
    EXPECT_EQ(app_.selected.release, "Test release");
    EXPECT_TRUE(Logged("game: " + PathUtf8(app_.selected.path) + " as another install of this launcher chose it"));
}

TEST_F(TakeOver, UnusableGameIsChosenButNotTakenOver) {
    test::WriteFile(dir_ / "notthegame" / "default.xbe", "XBEH something else");
    OtherChose(dir_ / "notthegame");
    ASSERT_TRUE(StartMine());
    EXPECT_FALSE(app_.selected.ok);
    EXPECT_FALSE(app_.selected.message.empty());
    ExpectNoTakeOverLine();
}

TEST_F(TakeOver, OwnChoiceIsNoTakeOver) {
    nlohmann::json settings = {{"game", PathUtf8(game_)}};
    test::WriteFile(dir_ / "mine" / "StarblazeOnline" / "launcher.json", settings.dump(2));
    ASSERT_TRUE(StartMine());
    EXPECT_TRUE(app_.selected.ok) << app_.selected.message;
    ExpectNoTakeOverLine();
}

TEST(Relaunch, WaitsForTheJobAndReportsAFailureOnce) {
    test::TempDir dir;
    App app;
    std::string err;
    ASSERT_TRUE(StartUp(app, dir / "launcher", BuiltinGameJson(), err)) << err;
    StopWorker(app);
    const fs::path missing = dir / "no-such-launcher";

    EXPECT_FALSE(RelaunchIfAsked(app, missing));

    app.relaunch = true;
    app.busy = true;
    EXPECT_FALSE(RelaunchIfAsked(app, missing));
    EXPECT_TRUE(app.relaunch) << "waits while a job runs";
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_TRUE(app.error.empty());
    }

    app.busy = false;
    EXPECT_FALSE(RelaunchIfAsked(app, missing));
    EXPECT_FALSE(app.relaunch) << "tried once only";
    std::string error;
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        error = app.error;
    }
    const std::string prefix = "The new launcher is in place but did not start: ";
    const std::string suffix = " Start it again.";
    ASSERT_GT(error.size(), prefix.size() + suffix.size());
    EXPECT_EQ(error.substr(0, prefix.size()), prefix);
    EXPECT_EQ(error.substr(error.size() - suffix.size()), suffix);
}

// An App after its start-up, its worker idle, ready for a job of the test's.
struct StopWorkerConcurrency : ::testing::Test {
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(StartUp(app, dir / "launcher", BuiltinGameJson(), err)) << err;
        StopWorker(app);
        app.builder->stop = false;
    }
    test::TempDir dir;
    App app;
};

TEST_F(StopWorkerConcurrency, StopsTheRunningJobAndJoins) {
    Builder* builder = app.builder.get();
    app.StartTask(
        [builder](std::string& e) {
            while (!builder->stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            e = "cancelled";
            return false;
        },
        "");
    StopWorker(app);
    EXPECT_FALSE(app.worker.joinable());
    EXPECT_FALSE(app.busy);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_EQ(app.error, kStoppedText);
}

// Closing the window waits for the job a bounded time: a job that does not end by then is left to the
// end of the process.
TEST_F(StopWorkerConcurrency, ClosingTheWindowWaitsForTheJobABoundedTime) {
    std::atomic<bool> release{false};
    app.StartTask(
        [&release](std::string&) {
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return true;
        },
        "");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(StopWorkerWithin(app, 300));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_TRUE(app.busy) << "the job still runs and has the App";
    release = true;
    EXPECT_TRUE(StopWorkerWithin(app, 5000));
    EXPECT_FALSE(app.worker.joinable());
}

// The test program's main moves the per-user folders and the code host into the test's reach; a start-up
// with the real platform (as every StartUp test here has) reads and writes only there.
TEST(TestRun, PerUserSettingsAndTheCodeHostAreTheTestsOwn) {
    std::unique_ptr<Platform> platform = MakePlatform();
    GameDefinition game;
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    test::TempDir dir;
    Builder builder(game, dir / "data", nullptr, platform.get());
    const std::string settings = PathUtf8(builder.SettingsPath());
    const std::string temp = PathUtf8(fs::temp_directory_path());
    EXPECT_EQ(settings.rfind(temp, 0), 0u) << settings << " is not below " << temp;
    for (const char* name : {"HOME", "XDG_DATA_HOME", "LOCALAPPDATA"}) {
        EXPECT_EQ(platform->GetEnv(name).rfind(temp, 0), 0u) << name << "=" << platform->GetEnv(name);
    }
    EXPECT_EQ(CodeHostConfig().web.rfind("http://127.0.0.1:", 0), 0u) << CodeHostConfig().web;
    EXPECT_EQ(CodeHostConfig().api.rfind("http://127.0.0.1:", 0), 0u) << CodeHostConfig().api;
}

// The window class takes icon resource 1 of the program, so the program must carry one.
TEST(WindowIcon, TheLauncherCarriesIconResourceOne) {
#ifdef _WIN32
    const fs::path exe = test::SelfDir().parent_path() / "launcher.exe";
    ASSERT_TRUE(fs::exists(exe)) << PathUtf8(exe);
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)), nullptr);  // RT_GROUP_ICON
    for (int side : {16, 32, 48, 256}) {
        HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, side, side, 0);
        EXPECT_NE(icon, nullptr) << side;
        ICONINFO info{};
        if (icon != nullptr && GetIconInfo(static_cast<HICON>(icon), &info)) {
            BITMAP bits{};
            GetObjectW(info.hbmColor, sizeof bits, &bits);
            EXPECT_EQ(bits.bmWidth, side);
            if (info.hbmColor) DeleteObject(info.hbmColor);
            if (info.hbmMask) DeleteObject(info.hbmMask);
        }
        if (icon != nullptr) DestroyIcon(static_cast<HICON>(icon));
    }
    FreeLibrary(module);
#else
    GTEST_SKIP() << "the Linux stand-in's window takes no icon from the program";
#endif
}

}  // namespace
}  // namespace launcher
