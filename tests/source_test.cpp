#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include "build/builder.h"
#include "build/source_build.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/git_repo.h"
#ifndef _WIN32
#include "support/file_size_limit.h"
#include "support/git_server.h"
#endif
#include "support/http_server.h"
#include "support/links.h"
#include "support/source_world.h"
#include "support/stand_in.h"
#include "support/terminal.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTitle = "Downloading the game's source";

#ifndef _WIN32
// The children of the processes in `tree`, found in /proc by parent; with `stopped`, only those in the
// stopped state.
std::set<pid_t> ChildrenIn(const std::set<pid_t>& tree, bool stopped = false) {
    std::set<pid_t> found;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // "pid (comm) state ppid ...": the name may hold blanks and parentheses, so it is read from the last ')'.
        const std::string stat = test::ReadFile(it->path() / "stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        const pid_t parent = static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
        if (stopped && stat[close + 2] != 'T') continue;
        if (tree.count(parent) != 0) found.insert(static_cast<pid_t>(std::atol(name.c_str())));
    }
    return found;
}

// Ends `root` and everything it started at one moment, as the end of a Windows job does: all are stopped
// first, so none can start another or clean up after the rest, then killed. This process takes the
// orphans in (it is their subreaper meanwhile) and reaps them.
void KillTree(pid_t root) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::set<pid_t> tree{root};
    ::kill(root, SIGSTOP);
    for (bool grew = true; grew;) {
        grew = false;
        for (pid_t pid : ChildrenIn(tree)) {
            if (!tree.insert(pid).second) continue;
            ::kill(pid, SIGSTOP);
            grew = true;
        }
    }
    for (pid_t pid : tree) ::kill(pid, SIGKILL);
    for (pid_t pid : tree) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}
#endif

#ifndef _WIN32
// Whether a process below this one is stopped, looked at every 50 ms until `done`.
struct StoppedWatch {
    StoppedWatch() {
        thread = std::thread([this] {
            while (!done) {
                std::set<pid_t> tree{::getpid()};
                for (bool grew = true; grew;) {
                    grew = false;
                    for (pid_t pid : ChildrenIn(tree)) grew = tree.insert(pid).second || grew;
                }
                if (!ChildrenIn(tree, true).empty()) seen = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    ~StoppedWatch() {
        done = true;
        thread.join();
    }
    std::atomic<bool> done{false}, seen{false};
    std::thread thread;
};
#endif


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
        // As the launcher that holds the data folder, which clears what a git it ended left locked.
        builder->holdsDataFolder = true;
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
        test::WriteFile(remote / "submodules", "lib lib\n");
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
    // The command of each call, past "-C DIR" or "--git-dir=DIR".
    std::vector<std::string> Verbs() {
        std::vector<std::string> verbs;
        for (const std::vector<std::string>& args : Commands()) {
            verbs.push_back(args[0] == "-C" ? args[2] : args[0].rfind("--git-dir=", 0) == 0 ? args[1] : args[0]);
        }
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
        // The submodules are checked out even where git believes they are (a checkout cut short), and the
        // commit that is built is noted.
        const std::vector<std::string> submodule = {"-C",          S(source), "submodule", "update", "--init",
                                                    "--recursive", "--force", "--progress"};
        const std::vector<std::string> head = {"-C", S(source), "rev-parse", "HEAD"};
        // A checkout that is there is looked at first: a clone cut short has no commit yet.
        const std::vector<std::string> origin = {"--git-dir=" + S(source / ".git"), "config", "--get",
                                                 "remote.origin.url"};
        const std::vector<std::string> whole = {"--git-dir=" + S(source / ".git"), "rev-parse", "--verify", "-q",
                                                "HEAD^{tree}"};

        ASSERT_TRUE(Fetch()) << err;
        std::vector<test::StandInCall> calls = test::StandInCalls(git, true);
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].args, (std::vector<std::string>{"clone", "--progress", "--branch", c.ref,
                                                           PathUtf8(remote), S(source)}));
        EXPECT_EQ(calls[1].args, submodule);
        EXPECT_EQ(calls[2].args, head);
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), std::string(c.ref) + " " + c.ref + "-1");
        // git runs in the data folder with the build environment: it takes the checkout whoever owns it,
        // asks for nothing on a terminal or in a window, and gives up on a server that stops sending.
        EXPECT_TRUE(fs::equivalent(calls[0].cwd, root));
        const std::map<std::string, std::string> gitSettings = {
            {"GIT_CONFIG_COUNT", "3"},      {"GIT_CONFIG_KEY_0", "safe.directory"},
            {"GIT_CONFIG_VALUE_0", "*"},    {"GIT_CONFIG_KEY_1", "http.lowSpeedLimit"},
            {"GIT_CONFIG_VALUE_1", "1"},    {"GIT_CONFIG_KEY_2", "http.lowSpeedTime"},
            {"GIT_CONFIG_VALUE_2", "91"},   {"GIT_TERMINAL_PROMPT", "0"},
            {"GCM_INTERACTIVE", "never"},   {"GIT_ASKPASS", ""},
            {"SSH_ASKPASS", ""},
            {"GIT_SSH_COMMAND",
             "ssh -o BatchMode=yes -o ConnectTimeout=30 -o ServerAliveInterval=15 -o ServerAliveCountMax=4"}};
        for (const auto& [name, value] : gitSettings) {
            ASSERT_EQ(calls[0].env.count(name), 1u) << name;
            EXPECT_EQ(calls[0].env[name], value) << name;
        }
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
        EXPECT_TRUE(Logged("git: Submodule path 'lib': checked out 'module-commit'"));

        // The checkout is there: later runs fetch and reset it.
        test::WriteFile(remote / "refs" / c.ref, std::string(c.ref) + "-2");
        ASSERT_TRUE(Fetch()) << err;
        std::vector<std::string> fetch = {"-C", S(source)}, reset = {"-C", S(source)};
        fetch.insert(fetch.end(), c.fetch.begin(), c.fetch.end());
        reset.insert(reset.end(), c.reset.begin(), c.reset.end());
        EXPECT_EQ(Commands(), (std::vector<std::vector<std::string>>{origin, whole, fetch, reset, submodule, head}));
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), std::string(c.ref) + " " + c.ref + "-2");
    }
}

TEST_F(GitStandIn, TheFirstFailingCommandEndsTheStageWithGitsReason) {
    struct Case {
        bool checkout;
        const char* control;
        const char* err;
        std::vector<std::string> verbs;
    } cases[] = {
        {false, "clone say fatal: repository 'x' not found\nclone exit 128", "git clone failed: repository 'x' not found",
         {"clone"}},
        // The checkout is looked at first: a clone cut short is made anew.
        {true, "fetch say fatal: unable to access 'x': Could not resolve host: x\nfetch exit 1",
         "git fetch failed: unable to access 'x': Could not resolve host: x", {"config", "rev-parse", "fetch"}},
        {true, "fetch exit 1", "git fetch failed (exit code 1)", {"config", "rev-parse", "fetch"}},
        {true, "reset say error: unable to unlink old 'a.txt'\nreset exit 128",
         "git reset failed: unable to unlink old 'a.txt'", {"config", "rev-parse", "fetch", "reset"}},
        // A failing submodule step is tried once more only when a submodule was left without a commit
        // (this one has its commit, so it stays, and git's reason stands).
        {true,
         "submodule say fatal: clone of 'x' into submodule path 'lib' failed\nsubmodule exit 2",
         "git submodule failed: clone of 'x' into submodule path 'lib' failed",
         {"config", "rev-parse", "fetch", "reset", "submodule", "config", "config", "rev-parse", "config"}},
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

// What a failed git said, and the sentence the user reads of it.
TEST(GitFailure, TheFirstFatalLineElseTheLastErrorElseTheLastLine) {
    struct Case {
        std::vector<std::string> lines;
        const char* reason;
        const char* diskFull;
        bool writeFailed;
    } cases[] = {
        {{"Cloning into 'source'...", "fatal: repository 'x' not found", "fatal: second"}, "repository 'x' not found",
         "", false},
        {{"error: first", "error: RPC failed; HTTP 500", "Receiving objects:  45% (1/2)"}, "RPC failed; HTTP 500", "",
         false},
        {{"Cloning into 'source'...", "Receiving objects:  45% (1/2)", "remote: Connection reset by peer        ",
          "Resolving deltas: 100% (5/5), done"},
         "remote: Connection reset by peer", "", false},
        {{}, "", "", false},
        // git names a full disk on some lines, and on others only says that a write failed.
        {{"fatal: write error: No space left on device", "fatal: fetch-pack: invalid index-pack output"},
         "write error: No space left on device", "No space left on device", true},
        {{"error: unable to write file big.bin", "fatal: unable to checkout working tree"},
         "unable to checkout working tree", "", true},
        {{"fatal: write error: File too large"}, "write error: File too large", "File too large", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        GitFailure failure;
        for (const std::string& line : c.lines) failure.Feed(line);
        EXPECT_EQ(failure.Reason(), c.reason);
        EXPECT_EQ(failure.DiskFull(), c.diskFull);
        EXPECT_EQ(failure.WriteFailed(), c.writeFailed);
    }
    EXPECT_EQ(GitFailedSentence({"clone", "--progress"}, "x", 128), "git clone failed: x");
    EXPECT_EQ(GitFailedSentence({"-C", "dir", "fetch"}, "", 1), "git fetch failed (exit code 1)");
    EXPECT_EQ(GitFailedSentence({"--git-dir=d", "rev-parse"}, "y", 128), "git rev-parse failed: y");
    // Only the steps that ask a server are bounded by its silence.
    const struct {
        std::vector<std::string> args;
        bool talks;
    } verbs[] = {
        {{"clone", "--progress", "u", "d"}, true},       {{"-C", "d", "fetch", "origin"}, true},
        {{"ls-remote", "u", "refs/heads/main"}, true},    {{"-C", "d", "submodule", "update"}, true},
        {{"-C", "d", "reset", "--hard", "x"}, false},     {{"--git-dir=d", "rev-parse", "HEAD"}, false},
        {{"-C", "d", "config", "--get", "k"}, false},     {{}, false},
    };
    for (const auto& v : verbs) EXPECT_EQ(GitTalksToAServer(v.args), v.talks) << GitVerb(v.args);
}

// A stop ends git at once and is told as a stop; the next run carries on.
TEST_F(GitStandIn, AStopDuringGitIsCancelledAndTheNextRunCarriesOn) {
    struct Case {
        bool checkout;
        const char* verb;     // the command that is under way when the stop comes
        const char* reached;  // below the source folder: there once the command is where it waits
        std::vector<std::string> resumed;
    } cases[] = {
        // A clone cut short is started again...
        {false, "clone", ".git/origin", {"clone", "submodule", "rev-parse"}},
        // ...a reset cut short left its lock, which goes...
        {true, "reset", ".git/index.lock", {"config", "rev-parse", "fetch", "reset", "submodule", "rev-parse"}},
        // ...and a submodule cut short in its first clone has no commit: it is cloned anew.
        {false,
         "submodule",
         ".git/modules/lib",
         {"config", "rev-parse", "fetch", "reset", "submodule", "config", "config", "rev-parse", "submodule",
          "rev-parse"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verb);
        RemoveTree(source, err);
        if (c.checkout) {
            ASSERT_TRUE(Fetch()) << err;
        }
        Commands();
        test::ControlStandIn(git, std::string(c.verb) + " sleep 20000");
        // Pressed on another thread while the command waits, as the Stop button is.
        bool reached = false;
        std::thread stopper([&] {
            for (int i = 0; i < 1000 && !reached; ++i) {
                reached = fs::exists(source / c.reached);
                if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            builder->stop = true;
        });
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(builder->FetchSource(err));
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(err, "cancelled");
        EXPECT_EQ(Verbs().back(), c.verb);

        EXPECT_TRUE(reached);

        test::ControlStandIn(git, "");
        ASSERT_TRUE(Fetch()) << err;
        EXPECT_EQ(Verbs(), c.resumed);
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), "v2.0.11 tag-1");
        EXPECT_EQ(test::ReadFile(source / "lib" / "module.txt"), "lib");
        EXPECT_FALSE(fs::exists(source / ".git" / "index.lock"));
    }
}

// A git that says nothing for the launcher's bound is ended with a sentence, once: neither the
// launcher nor git asks the silent server again. A Stop from another thread meanwhile stays a stop.
using GitSilenceConcurrency = GitStandIn;
TEST_F(GitSilenceConcurrency, ASilentGitIsEndedOnceWithASentence) {
    struct Case {
        const char* control;
        bool checkout;
        const char* err;
        std::vector<std::string> verbs;
    } cases[] = {
        {"clone sleep 20000", false, "git clone failed: no answer from the server for 1 second", {"clone"}},
        {"submodule sleep 20000", true, "git submodule failed: no answer from the server for 1 second",
         {"config", "rev-parse", "fetch", "reset", "submodule"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        RemoveTree(source, err);
        test::ControlStandIn(git, "");
        if (c.checkout) {
            ASSERT_TRUE(Fetch()) << err;
        }
        Commands();
        test::ControlStandIn(git, c.control);
        builder->gitSilenceSeconds = 1;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Fetch());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(Verbs(), c.verbs);
        EXPECT_TRUE(Logged("git: ended after 1 second without a word"));
    }

    // A step on the checkout alone that is quiet for longer than the bound is left to finish.
    test::ControlStandIn(git, "reset sleep 2500");
    builder->gitSilenceSeconds = 1;
    EXPECT_TRUE(Fetch()) << err;
    EXPECT_FALSE(Logged("git: ended after 1 second without a word"));

    // A stop while git is silent is a stop.
    test::ControlStandIn(git, "fetch sleep 20000");
    builder->gitSilenceSeconds = 60;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        builder->stop = true;
    });
    EXPECT_FALSE(builder->FetchSource(err));
    stopper.join();
    EXPECT_EQ(err, "cancelled");
    test::ControlStandIn(git, "");
}

// Before git runs, a lock file that a git ended meanwhile left goes; one that a live program holds, or that
// was made after the launcher began (a git the user runs in the checkout), stays, and so does every one
// while this launcher does not hold the data folder.
TEST_F(GitStandIn, OnlyLocksNoRunningGitCanOwnAreRemoved) {
    struct Case {
        const char* name;
        bool holdsDataFolder;
        bool older;  // written before the launcher began
        bool held;   // open in a running program (this one)
        bool removed;
    } cases[] = {
        {"left by a git that ended before the start", true, true, false, true},
        {"held open by a running git", true, true, true, false},
        {"made since the start", true, false, false, false},
        {"while another launcher may hold the folder", false, true, false, false},
    };
    ASSERT_TRUE(Fetch()) << err;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Remake();
        builder->holdsDataFolder = c.holdsDataFolder;
        const fs::path lock = source / ".git" / "refs" / "heads" / "main.lock";
        test::WriteFile(lock, "");
        fs::last_write_time(lock, builder->staleLocksBefore + (c.older ? -std::chrono::hours(1) : std::chrono::hours(1)));
        {
            std::ifstream open;
            if (c.held) open.open(lock);
            ASSERT_TRUE(Fetch()) << err;
        }
        EXPECT_EQ(fs::exists(lock), !c.removed);
        std::error_code ec;
        fs::remove(lock, ec);
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
        EXPECT_EQ(Verbs(), (std::vector<std::string>{"clone", "submodule", "rev-parse"}));
        EXPECT_EQ(test::ReadFile(source / "checkout.txt"), "v2.0.11 tag-1");
    }
}

TEST_F(SourceTest, WithoutAnyGitTheCloneFailsWithItsSentence) {
    Remake();
    // No git tool, and none on the launcher's PATH.
    test::TempDir empty;
    test::ScopedEnv path("PATH", PathUtf8(empty.path()));
    EXPECT_FALSE(Fetch());
    EXPECT_EQ(err.rfind("git clone failed: cannot start ", 0), 0u) << err;
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

// What a kill during the first clone can leave, or a damaged disk: the checkout is made anew, and the
// build folder in it goes too; a submodule left so is made anew alone.
TEST_F(RealGit, AHalfMadeCheckoutIsClonedAnew) {
    struct Case {
        const char* name;
        bool submodule;
        std::function<void(const fs::path& git)> spoil;
        // A submodule that the step cannot get past is removed, and the step runs once more.
        bool submoduleRemoved = false;
    } cases[] = {
        // git init done, the remote not yet written: every fetch of "origin" fails.
        {"no remote yet", false, [](const fs::path& git) { test::WriteFile(git / "config", "[core]\n\tbare = false\n"); }},
        {"no HEAD", false, [](const fs::path& git) { fs::remove(git / "HEAD"); }},
        {"HEAD on a branch that was never written", false,
         [](const fs::path& git) { test::WriteFile(git / "HEAD", "ref: refs/heads/never\n"); }},
        {"the commit's objects gone", false,
         [](const fs::path& git) {
             fs::remove_all(git / "objects");
             fs::create_directories(git / "objects");
         }},
        {".git a file that leads nowhere", false,
         [](const fs::path& git) { fs::remove_all(git); test::WriteFile(git, "gitdir: /nowhere\n"); }},
        {"the library's HEAD gone", true, [](const fs::path& git) { fs::remove(git / "modules" / "lib" / "HEAD"); },
         true},
        {"the library's objects gone", true,
         [](const fs::path& git) {
             fs::remove_all(git / "modules" / "lib" / "objects");
             fs::create_directories(git / "modules" / "lib" / "objects");
         }},
        {"the library's .git file gone", true, [](const fs::path& git) { fs::remove(git.parent_path() / "lib" / ".git"); }},
        {"the library's files half there", true,
         [](const fs::path& git) { fs::remove(git.parent_path() / "lib" / "lib.h"); }},
    };
    ASSERT_TRUE(Fetch()) << err;
    const fs::path whole = tmp / "whole";
    fs::copy(source, whole, fs::copy_options::recursive);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RemoveTree(source, err)) << err;
        fs::copy(whole, source, fs::copy_options::recursive);
        c.spoil(source / ".git");
        test::WriteFile(source / "out" / "build" / "release" / "CMakeCache.txt", "cache");
        ASSERT_TRUE(Fetch()) << err;
        EXPECT_EQ(Head(), tagged);
        EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 1\n");
        EXPECT_EQ(Logged("source: the checkout is not whole (a clone cut short?): it is made anew"), !c.submodule);
        EXPECT_EQ(fs::exists(source / "out"), c.submodule);
        EXPECT_EQ(Logged("submodule lib has no commit: it is fetched anew"), c.submoduleRemoved);
    }
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
    // git's own first fatal line, and all of its lines in the log.
    EXPECT_EQ(err, "git clone failed: repository '" + server.Url("/repos/missing.git/") + "' not found");
    EXPECT_TRUE(Logged("git: fatal: repository '" + server.Url("/repos/missing.git/") + "' not found"));
    EXPECT_FALSE(fs::exists(source));
}

TEST_F(RealGit, AForcePushedBranchAndMovedSubmodulePointersAreFollowed) {
    game.version = "dev";
    Remake();
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), tip);

    // The library moves on, and the game's pointer with it.
    lib->Write("lib.h", "#define LIB 2\n");
    const std::string lib2 = lib->Commit("library 2");
    const std::string lib1 = lib->Git({"rev-parse", "HEAD~1"}).substr(0, 40);
    repo->Git({"-C", "lib", "fetch", "-q", "origin"});
    repo->Git({"-C", "lib", "checkout", "-q", lib2});
    const std::string moved = repo->Commit("the newer library");
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), moved);
    EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 2\n");

    // The branch is rewritten over its first commit, the library's pointer put back to where it was.
    repo->Git({"reset", "-q", "--hard", tagged});
    repo->Git({"-C", "lib", "checkout", "-q", lib1});
    repo->Write("README", "rewritten");
    const std::string rewritten = repo->Commit("rewritten");
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), rewritten);
    EXPECT_EQ(test::ReadFile(source / "README"), "rewritten");
    EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 1\n");
}

// A code host that answers 401 (a private, renamed or deleted repository) has git ask for a user name on
// the terminal, and a server that takes the connection and never answers keeps git waiting on any
// protocol: neither may hold the build, started from a terminal as it may be, nor stop git's processes
// for the terminal. The launcher's own environment and bound have to see to it: the test's process leaves
// git's prompt settings as it found them. A silent server of a submodule is waited for once: neither git
// nor the launcher asks it again.
TEST_F(RealGit, APasswordPromptOrASilentServerEndsTheCloneWithASentence) {
#ifndef _WIN32
    if (std::getenv("GIT_TERMINAL_PROMPT") != nullptr) {
        GTEST_SKIP() << "GIT_TERMINAL_PROMPT is set where the tests started: git's prompt cannot be shown";
    }
    // The test's own ssh settings, none of the user's; the launcher adds its options to them.
    platform.env["GIT_SSH_COMMAND"] =
        "ssh -F none -o UserKnownHostsFile=/dev/null -o GlobalKnownHostsFile=/dev/null";
    test::GitServer silent(test::GitServer::Speaks::Nothing);
    ASSERT_TRUE(silent.ok());
    test::Route stalled;
    stalled.stallBeforeHeadersMs = 120000;
    server.Serve("/repos/closed.git/info/refs", test::StatusRoute(401));
    server.Serve("/repos/stalled.git/info/refs", stalled);
    struct Case {
        const char* name;
        std::string url;  // of the game's repository, or of its submodule
        bool submodule;
        int silence;      // seconds
        std::string err;
        std::function<size_t()> connections;  // to the silent server
    } cases[] = {
        {"401", server.Url("/repos/closed.git"), false, 2, "git clone failed: could not read Username for ", {}},
        {"silent HTTP", server.Url("/repos/stalled.git"), false, 1,
         "git clone failed: no answer from the server for 1 second",
         [&] { return server.Requests("/repos/stalled.git/info/refs").size(); }},
        {"silent ssh", silent.Url("ssh", "game.git"), false, 1,
         "git clone failed: no answer from the server for 1 second", [&] { return size_t(silent.Connections()); }},
        {"silent git://", silent.Url("git", "game.git"), false, 1,
         "git clone failed: no answer from the server for 1 second", [&] { return size_t(silent.Connections()); }},
        {"silent ssh submodule", silent.Url("ssh", "lib.git"), true, 2,
         "git submodule failed: no answer from the server for 2 seconds",
         [&] { return size_t(silent.Connections()); }},
        {"silent git:// submodule", silent.Url("git", "lib.git"), true, 2,
         "git submodule failed: no answer from the server for 2 seconds",
         [&] { return size_t(silent.Connections()); }},
    };
    int made = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(source, err);
        game.repo = c.url;
        if (c.submodule) {
            // A game whose library lies on the silent server.
            const std::string name = "game-" + std::to_string(++made);
            test::GitRepo other(tmp / "repos" / name);
            other.Write("README", "other");
            other.AddSubmodule(c.url, lib->dir(), "lib");
            other.Commit("other");
            other.Tag("v2.0.11");
            server.ServeFolder("/repos/" + name + ".git/", other.served());
            game.repo = server.Url("/repos/" + name + ".git");
        }
        Remake();
        builder->gitSilenceSeconds = c.silence;
        const size_t before = c.connections ? c.connections() : 0;
        const nlohmann::json task = {{"home", PathUtf8(tmp / "home")}, {"root", PathUtf8(root)},
                                     {"repo", game.repo}, {"env", platform.env}, {"silence", c.silence}};
        const test::TerminalRun run = test::RunChildInTerminal("SourceTest.DISABLED_FetchesInATerminal", task,
                                                               std::chrono::seconds(30));
        if (!run.ran) GTEST_SKIP() << run.why;
        ASSERT_TRUE(run.finished) << "git still waited after 30 s " << run.why << "; the terminal shows: " << run.terminal;
        EXPECT_EQ(run.result.rfind("failed\n" + c.err, 0), 0u) << run.result;
        EXPECT_EQ(run.result.find("a process was stopped"), std::string::npos) << run.result;
        EXPECT_EQ(run.terminal, "") << "nothing is asked on the terminal";
        EXPECT_EQ(fs::exists(source), c.submodule);
        if (c.connections) {
            EXPECT_EQ(c.connections() - before, 1u) << "the silent server is asked once";
        }
    }
#endif
}

// The far end of the test above, started by it under a terminal of its own: the fetch of the repository
// the task names into its data folder, with what it logged and whether a process below it was stopped.
TEST_F(SourceTest, DISABLED_FetchesInATerminal) {
#ifndef _WIN32
    nlohmann::json task;
    if (!test::ReadTerminalTask(task)) {
        GTEST_SKIP() << "RealGit.APasswordPromptOrASilentServerEndsTheCloneWithASentence runs it";
    }
    test::GitIsolation isolation(Utf8Path(task.value("home", "")));
    root = Utf8Path(task.value("root", ""));
    source = root / "source";
    game.repo = task.value("repo", "");
    platform.env = task.value("env", std::map<std::string, std::string>{});
    Remake();
    builder->gitSilenceSeconds = task.value("silence", builder->gitSilenceSeconds);
    StoppedWatch watch;
    std::string out = Fetch() ? "done\n" : "failed\n";
    out += err + "\n";
    if (watch.seen) out += "a process was stopped\n";
    for (const std::string& line : logged) out += line + "\n";
    test::WriteTerminalResult(task, out);
#endif
}

// A large repository's server counts its objects for a long time before the pack, sending only a line of
// progress now and then: slow, but no stall. Scaled down: the launcher's bound is 2 seconds here, the
// server counts for 5.
TEST_F(RealGit, AServerThatStillSendsIsNeverCutOff) {
#ifndef _WIN32
    const fs::path served = tmp / "smart";
    fs::create_directories(served);
    fs::create_directory_symlink(repo->served(), served / "game.git");
    fs::create_directory_symlink(lib->served(), served / "lib.git");
    test::GitServer smart(test::GitServer::Speaks::Http, served);
    ASSERT_TRUE(smart.ok());
    smart.DelayPack(std::chrono::seconds(5), std::chrono::milliseconds(500));
    game.repo = smart.Url("http", "game.git");
    Remake();
    builder->gitSilenceSeconds = 2;
    ASSERT_TRUE(Fetch()) << err;
    EXPECT_EQ(Head(), tagged);
    EXPECT_EQ(test::ReadFile(source / "lib" / "lib.h"), "#define LIB 1\n");
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& line) {
        return line.rfind("git: remote: Counting objects: 8", 0) == 0;
    })) << "the server sent its progress";
#endif
}

// A disk that fills during the clone, stood in for by a limit on the size of the files this process and
// its children write: git names the cause on some lines and not on others ("unable to write file"); the
// sentence names it either way.
TEST_F(RealGit, AFullDiskDuringTheCloneSaysSo) {
#ifndef _WIN32
    struct Case {
        const char* name;
        std::string bytes;  // of a file in the repository
    } cases[] = {
        // Zeros pack small: the pack goes in, the file does not.
        {"checking the files out", std::string(3 << 20, '\0')},
        {"receiving the pack", test::TestBytes(3 << 20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(source, err);
        repo->Write("big.bin", c.bytes);
        repo->Commit(c.name);
        repo->Tag("v2.0.11");
        bool ok = false;
        {
            test::FileSizeLimit full(1 << 20);
            ASSERT_TRUE(full.ok());
            ok = Fetch();
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(err, "git clone failed: the disk is full (File too large)");
        EXPECT_FALSE(fs::exists(source));
    }
#endif
}

// ---- Stopped in each git step of a build, the next build carries on to a complete tree (Linux) -------

struct GitStops : ::testing::Test {
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "git for Windows does not run under Wine; the stand-in covers the stops there";
#endif
        if (const char* path = std::getenv("PATH")) platform.env["PATH"] = path;
        world = std::make_unique<test::SourceWorld>(tmp / "world", server, 2000);
        // The smudge filters the repositories name wait while their "block-" file is there, having
        // left a "reached-" file: a stop there lands inside that checkout.
        fs::create_directories(marks);
        const fs::path filter = tmp / "stop-filter";
        test::WriteFile(filter, "#!/bin/sh\n: > '" + PathUtf8(marks) + "/reached-'\"$1\"\nwhile [ -e '" +
                                    PathUtf8(marks) + "/block-'\"$1\" ]; do sleep 0.02; done\nexec cat\n");
        fs::permissions(filter, fs::perms::owner_all);
        test::WriteFile(isolation.settings(), "[filter \"stopgame\"]\n\tsmudge = " + PathUtf8(filter) +
                                                  " game\n[filter \"stoplib\"]\n\tsmudge = " + PathUtf8(filter) +
                                                  " lib\n");
        builder = std::make_unique<Builder>(world->game, root, http.get(), &platform);
        builder->holdsDataFolder = true;
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
        builder->SetSetting("game", PathUtf8(world->disc));
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    // Runs the build and presses Stop from another thread, as the user does, once `reached` holds;
    // false when it never did.
    bool BuildStoppedWhen(const std::function<bool()>& reached) {
        logged.clear();
        err.clear();
        std::atomic<bool> running{true}, met{false};
        std::thread stopper([&] {
            while (running && !met) {
                if (reached()) {
                    met = true;
                    builder->stop = true;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        });
        EXPECT_FALSE(builder->BuildAll(err));
        running = false;
        stopper.join();
        EXPECT_EQ(err, "cancelled");
        return met;
    }
    // The server holds its answer for `path` back once, then serves `file` there.
    void StallOnce(const std::string& path, const fs::path& file) {
        test::Route stalled;
        stalled.file = file;
        stalled.stallBeforeHeadersMs = 60000;
        stalled.faultyAnswers = 1;
        server.Serve(path, stalled);
    }
    std::string Git(const fs::path& dir, const std::vector<std::string>& args) {
        std::vector<std::string> all = {"-C", PathUtf8(dir)};
        all.insert(all.end(), args.begin(), args.end());
        std::string out;
        test::SystemGit(all, root, &out);
        return out;
    }

    test::TempDir tmp;
    test::GitIsolation isolation{tmp / "home"};
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    test::TestPlatform platform;
    std::unique_ptr<test::SourceWorld> world;
    fs::path root = tmp / "d";
    fs::path source = root / "source";
    fs::path marks = tmp / "marks";
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
    std::string err;
};

TEST_F(GitStops, EachStopIsPickedUpByTheNextBuild) {
    test::GitRepo& game = world->Game();
    // The server holds back its answer for the game's newest commit, or for the library's list of packs.
    std::string stalled;
    auto stallTheTip = [&] {
        const std::string id = game.Head();
        stalled = test::GitRepo::ObjectPath("/repos/game.git/", id);
        StallOnce(stalled, game.served() / "objects" / id.substr(0, 2) / id.substr(2));
    };
    auto requested = [&] { return !server.Requests(stalled).empty(); };
    struct Case {
        const char* name;
        bool fresh;                    // the source folder goes first
        bool newCommit;                // the launcher's tag moves on to a new commit first
        std::function<void()> before;  // readies the server or the filters
        std::function<bool()> reached;
    } cases[] = {
        {"during the clone", true, false, stallTheTip, requested},
        {"during the fetch", false, true, stallTheTip, requested},
        {"during reset --hard", false, true, [&] { test::WriteFile(marks / "block-game", ""); },
         [&] { return fs::exists(marks / "reached-game"); }},
        {"as the submodule's clone fetches", true, false,
         [&] {
             stalled = "/repos/lib.git/objects/info/packs";
             StallOnce(stalled, world->Library().served() / "objects" / "info" / "packs");
         },
         requested},
        {"during the submodule's checkout", true, false, [&] { test::WriteFile(marks / "block-lib", ""); },
         [&] { return fs::exists(marks / "reached-lib"); }},
    };
    // The first build stands for the game installed before; each case then stops one build and checks
    // the next.
    ASSERT_TRUE(builder->BuildAll(err)) << err;
    int version = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string removeError;
        if (c.fresh) {
            ASSERT_TRUE(RemoveTree(source, removeError)) << removeError;
        }
        if (c.newCommit) {
            world->MoveOn(true);
            ++version;
        }
        ASSERT_TRUE(RemoveTree(marks, removeError)) << removeError;
        fs::create_directories(marks);
        server.ClearRequests();
        c.before();

        EXPECT_TRUE(BuildStoppedWhen(c.reached)) << "the step ended before the stop";
        ASSERT_TRUE(RemoveTree(marks, removeError)) << removeError;
        fs::create_directories(marks);

        logged.clear();
        ASSERT_TRUE(builder->BuildAll(err)) << err;
        EXPECT_EQ(world->Built(*builder), "game " + std::to_string(version) + " with lib");
        // Every tracked file of the game and of its submodule is there as committed.
        EXPECT_EQ(Git(source, {"rev-parse", "HEAD"}).substr(0, 40), game.Head());
        EXPECT_EQ(Git(source, {"status", "--porcelain", "--untracked-files=no", "--ignore-submodules=none"}), "");
        EXPECT_EQ(Git(source / "lib", {"status", "--porcelain", "--untracked-files=no"}), "");
        EXPECT_EQ(test::FilesBelow(source / "lib" / "files").size(), world->LibraryFiles());
    }
}

// ---- Killed with all its git during the source step, the next run makes the tree whole (Linux) ------


struct GitKills : ::testing::Test {
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "git for Windows does not run under Wine";
#endif
        if (const char* path = std::getenv("PATH")) platform.env["PATH"] = path;
        world = std::make_unique<test::SourceWorld>(tmp / "world", server, 600);
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    std::unique_ptr<Builder> MakeBuilder() {
        auto builder = std::make_unique<Builder>(world->game, root, nullptr, &platform);
        builder->holdsDataFolder = true;
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
        return builder;
    }

    // Every file of a checkout and its submodules with its bytes, git's own folders left out.
    static std::map<std::string, std::string> Tree(const fs::path& dir) {
        std::map<std::string, std::string> tree;
        for (const std::string& name : test::FilesBelow(dir)) {
            if (name == ".git" || name.rfind(".git/", 0) == 0 || name.find("/.git/") != std::string::npos ||
                (name.size() >= 5 && name.compare(name.size() - 5, 5, "/.git") == 0)) {
                continue;
            }
            tree[name] = test::ReadFile(dir / name);
        }
        return tree;
    }
    std::string Git(const fs::path& dir, const std::vector<std::string>& args) {
        std::vector<std::string> all = {"-C", PathUtf8(dir)};
        all.insert(all.end(), args.begin(), args.end());
        std::string out;
        test::SystemGit(all, tmp.path(), &out);
        return out;
    }
    // A fresh clone of the launcher's tag with its submodule, as the next run must leave the source.
    std::map<std::string, std::string> FreshClone(const std::string& name) {
        const fs::path dir = tmp / name;
        std::string out;
        test::SystemGit({"clone", "-q", "--recurse-submodules", "--branch", world->game.version, world->game.repo,
                         PathUtf8(dir)},
                        tmp.path(), &out);
        return Tree(dir);
    }

    struct Line {
        std::chrono::steady_clock::duration at;
        std::string text;
    };

#ifndef _WIN32
    // The source step in a child process (tests/programs/source_child); its log lines come back with the
    // time each was written. Killed, with everything it started, `killAfter` after it began (unless
    // negative). Gives whether it was killed before it ended.
    bool RunChild(std::chrono::microseconds killAfter, std::vector<Line>* lines = nullptr) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
        const std::string program = test::TestProgram("source_child").string();
        std::vector<std::string> args = {program, PathUtf8(root), world->game.repo, world->game.version,
                                          world->game.branch};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const auto start = std::chrono::steady_clock::now();
        pid_t child = -1;
        const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe[1]);
        if (spawned != 0) {
            ::close(pipe[0]);
            ADD_FAILURE() << "source_child did not start";
            return false;
        }
        std::thread reader([&] {
            std::string pending;
            char buffer[4096];
            for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
                pending.append(buffer, static_cast<size_t>(n));
                for (size_t cut; (cut = pending.find('\n')) != std::string::npos; pending.erase(0, cut + 1)) {
                    if (lines) lines->push_back({std::chrono::steady_clock::now() - start, pending.substr(0, cut)});
                }
            }
        });
        bool killed = false;
        if (killAfter.count() >= 0) {
            std::this_thread::sleep_until(start + killAfter);
            int status = 0;
            killed = ::waitpid(child, &status, WNOHANG) == 0;
            if (killed) KillTree(child);
        } else {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's source step failed";
        }
        reader.join();
        ::close(pipe[0]);
        return killed;
    }
#endif

    // The moment of the first of a child's lines that starts with `text`.
    static std::chrono::steady_clock::duration When(const std::vector<Line>& lines, const std::string& text) {
        for (const Line& line : lines) {
            if (line.text.rfind(text, 0) == 0) return line.at;
        }
        ADD_FAILURE() << "no line starts with " << text;
        return {};
    }

    test::TempDir tmp;
    test::GitIsolation isolation{tmp / "home"};
    test::HttpServer server;
    test::TestPlatform platform;
    std::unique_ptr<test::SourceWorld> world;
    fs::path root = tmp / "d";
    fs::path source = root / "source";
    std::vector<std::string> logged;
};

TEST_F(GitKills, TheNextRunEndsWithTheWholeTree) {
#ifndef _WIN32
    const auto freshClone = FreshClone("fresh-1");
    ASSERT_FALSE(freshClone.empty());
    // The uninterrupted runs: the first clone, then (once the game and its library moved on) a fetch. Their
    // lines tell when the submodule step begins and when all is done.
    std::vector<Line> cloneLines, fetchLines;
    ASSERT_FALSE(RunChild(std::chrono::microseconds(-1), &cloneLines));
    ASSERT_FALSE(cloneLines.empty());
    const fs::path pristine = tmp / "pristine";
    fs::copy(source, pristine, fs::copy_options::recursive | fs::copy_options::copy_symlinks);

    world->Library().Write("lib.h", "#define LIB_NAME \"lib 2\"\n");
    world->Library().Commit("library 2");
    world->Game().Git({"-C", "lib", "pull", "-q", "origin", "main"});
    world->MoveOn(true);
    const auto movedOn = FreshClone("fresh-2");
    ASSERT_NE(movedOn, freshClone);
    ASSERT_FALSE(RunChild(std::chrono::microseconds(-1), &fetchLines));

    struct Phase {
        const char* name;
        bool fresh;  // from no source at all; else from the checkout of the first commit
        std::chrono::steady_clock::duration from, to;
    };
    const std::vector<Phase> phases = {
        {"the first clone", true, {}, When(cloneLines, "git: Submodule 'lib'")},
        {"the fetch", false, {}, When(fetchLines, "git: HEAD is now at")},
        {"the submodule step", true, When(cloneLines, "git: Submodule 'lib'"), cloneLines.back().at},
    };
    std::mt19937 random(35u);
    for (const Phase& phase : phases) {
        for (int i = 0; i < 4; ++i) {
            const auto span = std::chrono::duration_cast<std::chrono::microseconds>(phase.to - phase.from).count();
            const std::chrono::microseconds at =
                std::chrono::duration_cast<std::chrono::microseconds>(phase.from) +
                std::chrono::microseconds(std::uniform_int_distribution<long long>(0, std::max<long long>(span, 1))(random));
            SCOPED_TRACE(std::string(phase.name) + ", killed " + std::to_string(at.count() / 1000) + " ms in");
            std::string err;
            ASSERT_TRUE(RemoveTree(source, err)) << err;
            if (!phase.fresh) fs::copy(pristine, source, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            RunChild(at);

            logged.clear();
            std::unique_ptr<Builder> next = MakeBuilder();
            ASSERT_TRUE(next->FetchSource(err)) << err;
            EXPECT_EQ(Git(source, {"status", "--porcelain", "--ignore-submodules=none"}), "");
            EXPECT_EQ(Git(source / "lib", {"status", "--porcelain"}), "");
            EXPECT_TRUE(Tree(source) == movedOn) << "the tree differs from a fresh clone's";
            if (HasFailure()) return;
        }
    }
#endif
}

}  // namespace
}  // namespace launcher
