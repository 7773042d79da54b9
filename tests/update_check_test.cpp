#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#include "build/builder.h"
#include "platform/paths.h"
#include "support/git_repo.h"
#include "support/http_server.h"
#include "platform/file_ops.h"
#include "support/stand_in.h"
#include "support/terminal.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// A development launcher asks git whether its branch moved on the server.
struct DevelopmentUpdateCheck : ::testing::Test {
    DevelopmentUpdateCheck() {
        std::string error;
        EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, error)) << error;
        game.package.clear();
        game.packages.clear();
        game.version = "dev";
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    void Remake() {
        builder = std::make_unique<Builder>(game, root, nullptr, &platform);
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
    }

    // The check's result, with the answer in `available`.
    bool Check() {
        available = true;  // the check sets it first
        err.clear();
        return builder->GameUpdateAvailable(&available, err);
    }

    // The repository is the stand-in's, on "commit-1", and so is the installed git.
    void UseStandIn() {
        test::WriteFile(remote / "refs" / "main", "commit-1");
        game.repo = PathUtf8(remote);
        Remake();
        git = builder->ToolDir("git") / "cmd" / ("git" + platform.ExeSuffix());
        test::InstallStandIn("git_stand_in", git);
    }

    // The build of what the checkout holds goes into the play folder, as the last stage of a build does.
    void Install() {
        const fs::path build = source / "out" / "build" / "release";
        test::WriteFile(build / (game.exe + platform.ExeSuffix()), "the game of " + test::ReadFile(source / "README"));
        std::string installErr;
        ASSERT_TRUE(builder->InstallBuild(installErr)) << installErr;
    }

    test::TempDir tmp;
    fs::path root = tmp / "data";
    fs::path source = root / "source";
    fs::path remote = tmp / "remote";
    fs::path git;
    test::TestPlatform platform;
    GameDefinition game;
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
    bool available = false;
    std::string err;
};

TEST_F(DevelopmentUpdateCheck, ComparesTheCheckoutWithTheFetchedBranch) {
    UseStandIn();

    // No checkout and no build of it: the branch is there to build.
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);
    test::StandInCalls(git, true);

    ASSERT_TRUE(builder->FetchSource(err)) << err;
    test::StandInCalls(git, true);
    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);
    const std::string s = PathUtf8(fs::path(source).make_preferred());
    std::vector<std::vector<std::string>> commands;
    for (const test::StandInCall& call : test::StandInCalls(git, true)) commands.push_back(call.args);
    EXPECT_EQ(commands, (std::vector<std::vector<std::string>>{{"-C", s, "fetch", "--progress", "origin", "main"},
                                                               {"-C", s, "rev-parse", "HEAD"},
                                                               {"-C", s, "rev-parse", "origin/main"}}));

    // The branch moved: an update is there, and the checkout's files wait for the next build.
    test::WriteFile(remote / "refs" / "main", "commit-2");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);
    EXPECT_EQ(test::ReadFile(source / "checkout.txt"), "main commit-1");

    // Offline: no answer, and the caller keeps what it knew.
    test::ControlStandIn(git, "fetch exit 128");
    EXPECT_FALSE(Check());
    EXPECT_FALSE(available);
    EXPECT_EQ(err, "git fetch failed (exit code 128)");
}

// The game in the play folder is what counts: an Update whose source stage moved the checkout on and
// whose build then failed or was stopped is offered again.
TEST_F(DevelopmentUpdateCheck, ComparesTheBranchWithTheLastInstalledBuild) {
    UseStandIn();
    ASSERT_TRUE(builder->FetchSource(err)) << err;
    Install();
    test::StandInCalls(git, true);

    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);
    const std::string s = PathUtf8(fs::path(source).make_preferred());
    std::vector<std::vector<std::string>> commands;
    for (const test::StandInCall& call : test::StandInCalls(git, true)) commands.push_back(call.args);
    EXPECT_EQ(commands, (std::vector<std::vector<std::string>>{{"-C", s, "fetch", "--progress", "origin", "main"},
                                                               {"-C", s, "rev-parse", "origin/main"}}));

    test::WriteFile(remote / "refs" / "main", "commit-2");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);

    // The Update fetches the source, and its build fails.
    ASSERT_TRUE(builder->FetchSource(err)) << err;
    EXPECT_EQ(test::ReadFile(source / "checkout.txt"), "main commit-2");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);
    // A new start after a stop: the same.
    Remake();
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);

    // Once the next Update builds it, nothing newer is there.
    ASSERT_TRUE(builder->FetchSource(err)) << err;
    Install();
    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);
}

// The checkout was removed by hand: the server's branch is compared with the installed build, and a build
// whose commit is unknown is offered again; never "no update" for want of a checkout.
TEST_F(DevelopmentUpdateCheck, WithoutTheCheckoutTheServerIsAsked) {
    UseStandIn();
    ASSERT_TRUE(builder->FetchSource(err)) << err;
    Install();
    ASSERT_TRUE(RemoveTree(source, err)) << err;
    test::StandInCalls(git, true);

    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);
    const std::vector<test::StandInCall> calls = test::StandInCalls(git, true);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"ls-remote", PathUtf8(remote), "refs/heads/main"}));

    test::WriteFile(remote / "refs" / "main", "commit-2");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);

    // No commit noted for the installed build: it is offered again.
    test::WriteFile(remote / "refs" / "main", "commit-1");
    test::WriteFile(root / "launcher.json", "{}");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);

    // The server cannot be asked, or has no such branch: the check cannot tell, and says so.
    test::ControlStandIn(git, "ls-remote say fatal: unable to access 'x'\nls-remote exit 128");
    EXPECT_FALSE(Check());
    EXPECT_EQ(err, "git ls-remote failed: unable to access 'x'");
    test::ControlStandIn(git, "");
    fs::remove(remote / "refs" / "main");
    EXPECT_FALSE(Check());
    EXPECT_FALSE(available);

    // A game installed from a package has no checkout to follow.
    game.package = "Starblaze-{version}.zip";
    Remake();
    test::StandInCalls(git, true);
    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);
    EXPECT_TRUE(test::StandInCalls(git).empty());
}

TEST_F(DevelopmentUpdateCheck, RealGitSeesTheServersBranchMoveOn) {
#ifdef _WIN32
    GTEST_SKIP() << "git for Windows does not run under Wine; the stand-in covers the check there";
#endif
    test::GitIsolation isolation(tmp / "home");
    test::GitRepo repo(tmp / "repos" / "game");
    repo.Write("README", "first");
    repo.Commit("first");
    test::HttpServer server;
    server.ServeFolder("/repos/game.git/", repo.served());
    game.repo = server.Url("/repos/game.git");
    platform.env["PATH"] = std::getenv("PATH");
    Remake();
    ASSERT_TRUE(builder->FetchSource(err)) << err;

    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);

    repo.Write("README", "second");
    repo.Commit("second");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);
    EXPECT_EQ(test::ReadFile(source / "README"), "first");

    // The build brings the checkout up to the branch: nothing newer any more.
    ASSERT_TRUE(builder->FetchSource(err)) << err;
    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);

    // With the checkout removed, the server is asked itself.
    Install();
    ASSERT_TRUE(RemoveTree(source, err)) << err;
    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);
    repo.Write("README", "third");
    repo.Commit("third");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);
    ASSERT_TRUE(builder->FetchSource(err)) << err;

    test::Route down;
    down.status = 503;
    server.Serve("/repos/game.git/info/refs", down);
    EXPECT_FALSE(Check());
    EXPECT_EQ(err.rfind("git fetch failed: unable to access '", 0), 0u) << err;
    EXPECT_NE(err.find("503"), std::string::npos) << err;
    EXPECT_FALSE(available);
}

TEST_F(DevelopmentUpdateCheck, RealGitSeesAForcePushAndNeverWaitsOnAPasswordPrompt) {
#ifdef _WIN32
    GTEST_SKIP() << "git for Windows does not run under Wine; the stand-in covers the check there";
#endif
    test::GitIsolation isolation(tmp / "home");
    test::GitRepo repo(tmp / "repos" / "game");
    repo.Write("README", "first");
    const std::string first = repo.Commit("first");
    repo.Write("README", "second");
    repo.Commit("second");
    test::HttpServer server;
    server.ServeFolder("/repos/game.git/", repo.served());
    game.repo = server.Url("/repos/game.git");
    platform.env["PATH"] = std::getenv("PATH");
    Remake();
    ASSERT_TRUE(builder->FetchSource(err)) << err;
    Install();
    ASSERT_TRUE(Check()) << err;
    EXPECT_FALSE(available);

    // The branch is rewritten from its first commit on.
    repo.Git({"reset", "-q", "--hard", first});
    repo.Write("README", "rewritten");
    repo.Commit("rewritten");
    ASSERT_TRUE(Check()) << err;
    EXPECT_TRUE(available);

    // The repository turns private (or is renamed or deleted): the code host answers 401, and git must
    // not wait for a user name on the terminal the launcher was started from. The check fails, quietly.
    if (std::getenv("GIT_TERMINAL_PROMPT") != nullptr) {
        GTEST_SKIP() << "GIT_TERMINAL_PROMPT is set where the tests started: git's prompt cannot be shown";
    }
    server.Serve("/repos/game.git/info/refs", test::StatusRoute(401));
    const nlohmann::json task = {{"home", PathUtf8(tmp / "home")}, {"root", PathUtf8(root)}, {"repo", game.repo},
                                 {"env", platform.env}};
    const test::TerminalRun run = test::RunChildInTerminal("DevelopmentUpdateCheck.DISABLED_ChecksInATerminal",
                                                           task, std::chrono::seconds(20));
    if (!run.ran) GTEST_SKIP() << run.why;
    ASSERT_TRUE(run.finished) << "git still waited after 20 s " << run.why << "; the terminal shows: " << run.terminal;
    EXPECT_EQ(run.result.rfind("failed\ngit fetch failed: could not read Username for ", 0), 0u) << run.result;
    EXPECT_EQ(run.terminal, "");
}

// The far end of the test above, started by it under a terminal of its own: the check on the data folder
// and repository the task names.
TEST_F(DevelopmentUpdateCheck, DISABLED_ChecksInATerminal) {
    nlohmann::json task;
    if (!test::ReadTerminalTask(task)) {
        GTEST_SKIP() << "DevelopmentUpdateCheck.RealGitSeesAForcePushAndNeverWaitsOnAPasswordPrompt runs it";
    }
    test::GitIsolation isolation(Utf8Path(task.value("home", "")));
    root = Utf8Path(task.value("root", ""));
    game.repo = task.value("repo", "");
    platform.env = task.value("env", std::map<std::string, std::string>{});
    Remake();
    test::WriteTerminalResult(task, std::string(Check() ? "answered\n" : "failed\n") + err);
}

}  // namespace
}  // namespace launcher
