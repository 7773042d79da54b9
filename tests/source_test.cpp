#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "build/builder.h"
#include "build/source_build.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/git_repo.h"
#include "support/http_server.h"
#include "support/links.h"
#include "support/stand_in.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTitle = "Downloading the game's source";

TEST(ReadGitProgress, PhaseAndFraction) {
    struct Case {
        const char* line;
        bool reported;
        const char* phase;
        double fraction;
    } cases[] = {
        {"Resolving deltas: 100% (5/5), done", true, "Resolving deltas", 1.0},
        {"Receiving objects:  45% (1234/2742)", true, "Receiving objects", 0.45},
        {"50% done", true, "50% done", 0.5},
        {"5% done", false, "", 0},
        {"rate: n/a%", true, "rate", 0},
        {"Cloning into 'source'...", false, "", 0},
        {"%", false, "", 0},
        // Never a fraction that is no number, and none is clamped.
        {"odd: nan%", true, "odd", 0},
        {"odd: inf%", true, "odd", 0},
        {"over: 250%", true, "over", 2.5},
        {"a: 12.5%", true, "a", 0.125},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string phase;
        double fraction = -7;
        EXPECT_EQ(ReadGitProgress(c.line, phase, fraction), c.reported);
        if (!c.reported) continue;
        EXPECT_EQ(phase, c.phase);
        EXPECT_DOUBLE_EQ(fraction, c.fraction);
    }
}

// The game's source as the launcher fetches it into <data>/source.
struct SourceTest : ::testing::Test {
    SourceTest() {
        std::string error;
        EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, error)) << error;
        game.package.clear();
        game.version = "v2.0.11";
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    void Remake() {
        builder = std::make_unique<Builder>(game, root, nullptr, &platform);
        builder->logSink = [this](const std::string& line) {
            logged.push_back(line);
            if (onLog) onLog(line);
        };
        builder->statusSink = [this](const Status& status) { reports.push_back(status); };
    }

    bool Fetch() {
        logged.clear();
        reports.clear();
        builder->stop = false;
        return builder->FetchSource(err);
    }

    static std::string S(fs::path path) { return PathUtf8(path.make_preferred()); }
    bool Logged(const std::string& line) const {
        return std::find(logged.begin(), logged.end(), line) != logged.end();
    }
    bool Reported(const std::string& detail, double progress) const {
        return std::any_of(reports.begin(), reports.end(), [&](const Status& s) {
            return s.title == kTitle && s.detail == detail && s.progress == progress;
        });
    }

    test::TempDir tmp;
    // A blank in the path: the Windows command lines must quote it.
    fs::path root = tmp / "my data";
    fs::path source = root / "source";
    test::TestPlatform platform;
    GameDefinition game;
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::function<void(const std::string&)> onLog;
    std::string err;
};

// ---- The command lines, through the stand-in (both targets) -----------------------------------------

struct GitStandIn : SourceTest {
    GitStandIn() {
        test::WriteFile(remote / "refs" / "main", "main-1");
        test::WriteFile(remote / "refs" / "v2.0.11", "tag-1");
        game.repo = PathUtf8(remote);
        Remake();
        git = builder->ToolDir("git") / "cmd" / ("git" + platform.ExeSuffix());
        test::InstallStandIn("git_stand_in", git);
    }

    std::vector<std::vector<std::string>> Commands() {
        std::vector<std::vector<std::string>> commands;
        for (const test::StandInCall& call : test::StandInCalls(git, true)) commands.push_back(call.args);
        return commands;
    }
    std::vector<std::string> Verbs() {
        std::vector<std::string> verbs;
        for (const std::vector<std::string>& args : Commands()) verbs.push_back(args[0] == "-C" ? args[2] : args[0]);
        return verbs;
    }

    fs::path remote = tmp / "remote";
    fs::path git;
};

TEST_F(GitStandIn, CloneOnceThenFetchAndResetToTheLauncherReference) {
    struct Case {
        const char* version;
        const char* ref;
        std::vector<std::string> fetch;  // after "-C", source
        std::vector<std::string> reset;
    } cases[] = {
        {"v2.0.11", "v2.0.11",
         {"fetch", "--progress", "--force", "origin", "refs/tags/v2.0.11:refs/tags/v2.0.11"},
         {"reset", "--hard", "v2.0.11"}},
        {"dev", "main", {"fetch", "--progress", "origin", "main"}, {"reset", "--hard", "origin/main"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        RemoveTree(source, err);
        test::WriteFile(remote / "refs" / c.ref, std::string(c.ref) + "-1");
        game.version = c.version;
        Remake();
        const std::vector<std::string> submodule = {"-C", S(source), "submodule", "update", "--init", "--recursive",
                                                    "--progress"};

        ASSERT_TRUE(Fetch()) << err;
        std::vector<test::StandInCall> calls = test::StandInCalls(git, true);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].args, (std::vector<std::string>{"clone", "--progress", "--branch", c.ref,
                                                           PathUtf8(remote), S(source)}));
        EXPECT_EQ(calls[1].args, submodule);
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), std::string(c.ref) + " " + c.ref + "-1");
        // git runs in the data folder with the build environment.
        EXPECT_TRUE(fs::equivalent(calls[0].cwd, root));
        EXPECT_EQ(calls[0].env["GIT_CONFIG_COUNT"], "1");
        EXPECT_EQ(calls[0].env["GIT_CONFIG_KEY_0"], "safe.directory");
        EXPECT_EQ(calls[0].env["GIT_CONFIG_VALUE_0"], "*");
        EXPECT_EQ(calls[0].env["PATH"].rfind(S(builder->ToolDir("llvm") / "bin"), 0), 0u) << calls[0].env["PATH"];

        // The first report clears the bar; git's progress lines move it and every line is logged.
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports[0].title, kTitle);
        EXPECT_EQ(reports[0].detail, "");
        EXPECT_EQ(reports[0].progress, -1);
        EXPECT_TRUE(Reported("Receiving objects", 0.5));
        EXPECT_TRUE(Reported("Receiving objects", 1.0));
        EXPECT_TRUE(Reported("Resolving deltas", 1.0));
        EXPECT_TRUE(Logged("git: Cloning into '" + S(source) + "'..."));
        EXPECT_TRUE(Logged("git: Receiving objects:  50% (1/2)"));
        EXPECT_TRUE(Logged("git: Receiving objects: 100% (2/2), done."));
        EXPECT_TRUE(Logged("git: Submodule path 'lib': checked out"));

        // The checkout is there: later runs fetch and reset it.
        test::WriteFile(remote / "refs" / c.ref, std::string(c.ref) + "-2");
        ASSERT_TRUE(Fetch()) << err;
        std::vector<std::string> fetch = {"-C", S(source)}, reset = {"-C", S(source)};
        fetch.insert(fetch.end(), c.fetch.begin(), c.fetch.end());
        reset.insert(reset.end(), c.reset.begin(), c.reset.end());
        EXPECT_EQ(Commands(), (std::vector<std::vector<std::string>>{fetch, reset, submodule}));
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), std::string(c.ref) + " " + c.ref + "-2");
    }
}

TEST_F(GitStandIn, TheFirstFailingCommandEndsTheStageWithItsSentence) {
    struct Case {
        bool checkout;
        const char* control;
        const char* err;
        std::vector<std::string> verbs;
    } cases[] = {
        {false, "clone exit 128", "git clone failed (128), see launcher.log", {"clone"}},
        {true, "fetch exit 1", "git -C failed (1), see launcher.log", {"fetch"}},
        {true, "reset exit 128", "git -C failed (128), see launcher.log", {"fetch", "reset"}},
        {true, "submodule exit 2", "git -C failed (2), see launcher.log", {"fetch", "reset", "submodule"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        RemoveTree(source, err);
        if (c.checkout) {
            ASSERT_TRUE(Fetch()) << err;
            Commands();
        }
        test::ControlStandIn(git, c.control);
        EXPECT_FALSE(Fetch());
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(Verbs(), c.verbs);
        // A failed clone leaves nothing that could pass for a checkout.
        if (!c.checkout) {
            EXPECT_FALSE(fs::exists(source));
        }
        test::ControlStandIn(git, "");
    }
}

// A stop ends git at once and is told as a stop; the next run carries on.
TEST_F(GitStandIn, AStopDuringGitIsCancelledAndTheNextRunCarriesOn) {
    struct Case {
        bool checkout;
        const char* verb;  // the command that is under way when the stop comes
        std::vector<std::string> resumed;
    } cases[] = {
        // A clone cut short is started again...
        {false, "clone", {"clone", "submodule"}},
        // ...a complete checkout is fetched.
        {true, "submodule", {"fetch", "reset", "submodule"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verb);
        RemoveTree(source, err);
        if (c.checkout) {
            ASSERT_TRUE(Fetch()) << err;
        }
        Commands();
        test::ControlStandIn(git, std::string(c.verb) + " sleep 20000");
        // Pressed on another thread while the command runs, as the Stop button is.
        std::thread stopper([&] {
            for (int i = 0; i < 500; ++i) {
                std::vector<std::string> args;
                for (const test::StandInCall& call : test::StandInCalls(git)) args = call.args;
                if (std::find(args.begin(), args.end(), c.verb) != args.end()) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            builder->stop = true;
        });
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(builder->FetchSource(err));
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(err, "cancelled");
        EXPECT_EQ(Verbs().back(), c.verb);

        test::ControlStandIn(git, "");
        ASSERT_TRUE(Fetch()) << err;
        EXPECT_EQ(Verbs(), c.resumed);
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), "v2.0.11 tag-1");
    }
}

TEST_F(GitStandIn, ALeftoverSourceFolderGoesWithoutFollowingItsLinks) {
    // Only a build folder is left, and a link into the user's own files.
    test::WriteFile(source / "out" / "build" / "release" / "CMakeCache.txt", "old cache");
    test::WriteFile(tmp / "mine" / "save.dat", "my save");
    ASSERT_TRUE(test::MakeLink(source / "mine", tmp / "mine"));
    Fetch();
    EXPECT_EQ(test::ReadFile(tmp / "mine" / "save.dat"), "my save");
    if (test::RunningUnderWine()) {
        // Wine cannot delete a host link: the removal stops there, and the files behind it stay.
        EXPECT_TRUE(fs::exists(tmp / "mine" / "save.dat"));
    } else {
        EXPECT_FALSE(fs::exists(source / "out"));
        EXPECT_FALSE(fs::exists(source / "mine"));
        EXPECT_EQ(Verbs(), (std::vector<std::string>{"clone", "submodule"}));
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), "v2.0.11 tag-1");
    }
}

TEST_F(SourceTest, WithoutAnyGitTheCloneFailsWithItsSentence) {
    Remake();
    // No git tool, and none on the launcher's PATH.
    test::TempDir empty;
    test::ScopedEnv path("PATH", PathUtf8(empty.path()));
    EXPECT_FALSE(Fetch());
    EXPECT_EQ(err, "git clone failed (-1), see launcher.log");
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(),
                            [](const std::string& line) { return line.rfind("git: cannot start ", 0) == 0; }));
}

// ---- The real git against a repository served over HTTP (Linux) -------------------------------------

struct RealGit : SourceTest {
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "git for Windows does not run under Wine; the stand-in covers the command lines there";
#endif
        isolation = std::make_unique<test::GitIsolation>(tmp / "home");
        lib = std::make_unique<test::GitRepo>(tmp / "repos" / "lib");
        repo = std::make_unique<test::GitRepo>(tmp / "repos" / "game");
        lib->Write("lib.h", "#define LIB 1\n");
        lib->Commit("library");
        repo->Write("README", "first");
        repo->AddSubmodule("../lib.git", lib->dir(), "lib");
        tagged = repo->Commit("first");
        repo->Tag("v2.0.11");
        repo->Write("README", "second");
        tip = repo->Commit("second");
        server.ServeFolder("/repos/game.git/", repo->served());
        server.ServeFolder("/repos/lib.git/", lib->served());
        game.repo = server.Url("/repos/game.git");
        // git's own scripts need the system's programs.
        platform.env["PATH"] = std::getenv("PATH");
        Remake();
    }

    std::string Head() {
        std::string out;
        test::SystemGit({"-C", PathUtf8(source), "rev-parse", "HEAD"}, root, &out);
        return out.substr(0, out.find('\n'));
    }

    std::unique_ptr<test::GitIsolation> isolation;
    test::HttpServer server;
    std::unique_ptr<test::GitRepo> lib, repo;
    std::string tagged, tip;
};

TEST_F(RealGit, AReleasedLauncherBuildsAtItsTagAndFollowsIt) {
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), tagged);
    EXPECT_EQ(test::ReadFile(source / "README"), "first");
    EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 1\n");
    EXPECT_FALSE(server.Requests("/repos/lib.git/info/refs").empty());

    // The tag is moved on the server: the next build fetches it over the old one and resets to it. The
    // checkout is fetched, not cloned again, and the build folder in it stays.
    test::WriteFile(source / ".git" / "kept", "a file only a fresh clone would lose");
    test::WriteFile(source / "out" / "build" / "release" / "CMakeCache.txt", "cache");
    repo->Write("README", "third");
    const std::string retagged = repo->Commit("third");
    repo->Tag("v2.0.11");
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), retagged);
    EXPECT_EQ(test::ReadFile(source / "README"), "third");
    EXPECT_TRUE(fs::exists(source / ".git" / "kept"));
    EXPECT_EQ(test::ReadFile(source / "out" / "build" / "release" / "CMakeCache.txt"), "cache");
}

TEST_F(RealGit, ADevelopmentLauncherFollowsItsBranch) {
    game.version = "dev";
    Remake();
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), tip);
    EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 1\n");

    repo->Write("README", "fourth");
    const std::string moved = repo->Commit("fourth");
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), moved);
    EXPECT_EQ(test::ReadFile(source / "README"), "fourth");
}

TEST_F(RealGit, AStopDuringTheCloneIsCancelledAndTheNextRunClonesAfresh) {
    // The server holds its first answer back; the stop comes while git waits for it.
    test::Route stalled;
    stalled.file = repo->served() / "info" / "refs";
    stalled.stallBeforeHeadersMs = 30000;
    stalled.faultyAnswers = 1;
    server.Serve("/repos/game.git/info/refs", stalled);
    std::thread stopper([this] {
        for (int i = 0; i < 500 && server.Requests("/repos/game.git/info/refs").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        builder->stop = true;
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(builder->FetchSource(err));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(err, "cancelled");

    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), tagged);
    EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 1\n");
}

TEST_F(RealGit, AnUnknownRepositoryFailsTheCloneWithGitsOwnReasonInTheLog) {
    game.repo = server.Url("/repos/missing.git");
    Remake();
    EXPECT_FALSE(Fetch());
    EXPECT_EQ(err, "git clone failed (128), see launcher.log");
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(),
                            [](const std::string& line) { return line.rfind("git: fatal: ", 0) == 0; }));
    EXPECT_FALSE(fs::exists(source));
}

}  // namespace
}  // namespace launcher
