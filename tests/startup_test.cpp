#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "app/app.h"
#include "app/launcher.h"
#include "app/startup.h"
#include "platform/paths.h"
#include "support/http_server.h"
#include "support/stand_in.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// The start-up job against a loopback code host that publishes `latestTag` (or nothing).
class StartupJob : public ::testing::Test {
protected:
    StartupJob() : saved_(CodeHostConfig()) {
        CodeHostConfig().web = server_.Url("/");
        CodeHostConfig().api = server_.Url("");
        std::string err;
        EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), app_.game, err));
        app_.game.repo = server_.Url("/port/starblaze.git");
        app_.game.version = "v2.0.11";
        app_.platform = std::make_unique<test::TestPlatform>();
        app_.dataDir = dir_ / "StarblazeOnline";
        app_.builder = std::make_unique<Builder>(app_.game, app_.dataDir, app_.http.get(), app_.platform.get());
        app_.builder->logSink = MakeLogSink(app_);
    }
    ~StartupJob() override { CodeHostConfig() = saved_; }

    void Publish(const std::string& tag) {
        nlohmann::json release = {{"tag_name", tag}, {"name", "Launcher " + tag}, {"html_url", "page"}};
        server_.ServeLatestRelease("port", "starblaze", release.dump());
    }

    void Run(bool takeOver = false) {
        std::string err = "left over";
        EXPECT_TRUE(RunStartupJob(app_, takeOver, err));
        EXPECT_EQ(err, "");
    }

    std::vector<std::string> LinesStartingWith(const std::string& prefix) {
        std::vector<std::string> lines;
        std::lock_guard<std::mutex> lock(app_.mutex);
        for (const std::string& line : app_.log) {
            if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    void Install(const std::string& built) {
        fs::path play = app_.builder->PlayDir();
        test::WriteFile(app_.builder->GameExePath(), "exe");
        test::WriteFile(play / (app_.game.exe + ".dll"), "dll");
        if (!built.empty()) app_.builder->SetSetting("built", built);
    }

    CodeHost saved_;
    test::HttpServer server_;
    test::TempDir dir_;
    App app_;
};

TEST_F(StartupJob, LauncherUpdateCheck) {
    struct Case {
        const char* version;
        const char* published;  // nullptr: the code host has no release
        bool offered;
        std::vector<std::string> lines;
    } cases[] = {
        {"v2.0.11", "v2.0.12", true, {"update check: v2.0.12 is out, this launcher is v2.0.11: offered"}},
        {"v2.0.11", "v2.0.9", false, {"update check: the latest release is v2.0.9, this launcher is v2.0.11"}},
        {"v2.0.11", "v2.0.11.0", false,
         {"update check: the latest release is v2.0.11.0, this launcher is v2.0.11"}},
        {"dev", "v9.0", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.published);
        {
            std::lock_guard<std::mutex> lock(app_.mutex);
            app_.log.clear();
        }
        app_.updateOffered = false;
        app_.latest = Release{};
        app_.game.version = c.version;
        Publish(c.published);
        Run();
        EXPECT_EQ(LinesStartingWith("update check: "), c.lines);
        EXPECT_EQ(app_.updateOffered.load(), c.offered);
        std::lock_guard<std::mutex> lock(app_.releaseMutex);
        EXPECT_EQ(app_.latest.tag_name, c.offered ? c.published : "");
    }
}

TEST_F(StartupJob, NoAnswerIsOneLogLineAndNoBanner) {
    test::Route failing;
    failing.status = 500;
    server_.Serve("/repos/port/starblaze/releases/latest", failing);
    Run();
    std::vector<std::string> lines = LinesStartingWith("update check: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("the server answered 500"), std::string::npos) << lines[0];
    EXPECT_FALSE(app_.updateOffered);
}

TEST_F(StartupJob, GameUpdateFollowsTheBuiltVersion) {
    Publish("v2.0.11");
    Run();
    EXPECT_FALSE(app_.gameUpdateAvailable) << "nothing installed";

    Install("v2.0.11");
    Run();
    EXPECT_FALSE(app_.gameUpdateAvailable) << "built by this launcher";

    Install("v2.0.10");
    Run();
    EXPECT_TRUE(app_.gameUpdateAvailable) << "built by an older launcher";
}

TEST_F(StartupJob, GameInstalledByHandOrByADevelopmentLauncher) {
    Publish("v2.0.11");
    Install("");
    Run();
    EXPECT_TRUE(app_.gameUpdateAvailable) << "no \"built\" setting";

    // A development launcher without a source checkout has nothing to compare.
    app_.gameUpdateAvailable = false;
    app_.game.version = app_.builder->game.version = "dev";
    Run();
    EXPECT_FALSE(app_.gameUpdateAvailable);
}

TEST_F(StartupJob, ADevelopmentLauncherOffersTheUpdateWhenItsBranchMoved) {
    const fs::path remote = dir_ / "remote";
    test::WriteFile(remote / "refs" / "main", "commit-1");
    app_.game.version = "dev";
    app_.game.repo = PathUtf8(remote);
    app_.builder = std::make_unique<Builder>(app_.game, app_.dataDir, app_.http.get(), app_.platform.get());
    app_.builder->logSink = MakeLogSink(app_);
    const fs::path git = app_.builder->ToolDir("git") / "cmd" / ("git" + app_.platform->ExeSuffix());
    test::InstallStandIn("git_stand_in", git);
    std::string err;
    ASSERT_TRUE(app_.builder->FetchSource(err)) << err << "\n" << test::ReadFile(app_.dataDir / "launcher.log");
    Install("dev");

    Run();
    EXPECT_FALSE(app_.gameUpdateAvailable) << "the checkout is at the branch's tip";
    test::WriteFile(remote / "refs" / "main", "commit-2");
    Run();
    EXPECT_TRUE(app_.gameUpdateAvailable) << "the branch moved on";

    // Offline: the flag keeps what it was.
    test::ControlStandIn(git, "fetch exit 128");
    app_.gameUpdateAvailable = false;
    Run();
    EXPECT_FALSE(app_.gameUpdateAvailable);
    app_.gameUpdateAvailable = true;
    Run();
    EXPECT_TRUE(app_.gameUpdateAvailable);
}

// The user pressed Update, and its build failed after the source had moved on (or was stopped): the
// game in the play folder is still the old one, and the next start offers the Update again.
TEST_F(StartupJob, AFailedUpdateIsOfferedAgainAtTheNextStart) {
    const fs::path remote = dir_ / "remote";
    test::WriteFile(remote / "refs" / "main", "commit-1");
    app_.game.version = "dev";
    app_.game.package.clear();
    app_.game.packages.clear();
    app_.game.repo = PathUtf8(remote);
    app_.builder = std::make_unique<Builder>(app_.game, app_.dataDir, app_.http.get(), app_.platform.get());
    app_.builder->logSink = MakeLogSink(app_);
    const fs::path git = app_.builder->ToolDir("git") / "cmd" / ("git" + app_.platform->ExeSuffix());
    test::InstallStandIn("git_stand_in", git);
    const fs::path built = app_.dataDir / "source" / "out" / "build" / "release" /
                           (app_.game.exe + app_.platform->ExeSuffix());
    std::string err;
    ASSERT_TRUE(app_.builder->FetchSource(err)) << err;
    test::WriteFile(built, "the game of commit-1");
    ASSERT_TRUE(app_.builder->InstallBuild(err)) << err;

    Run();
    EXPECT_FALSE(app_.gameUpdateAvailable) << "the game is built from the branch's tip";
    test::WriteFile(remote / "refs" / "main", "commit-2");
    Run();
    EXPECT_TRUE(app_.gameUpdateAvailable) << "the branch moved on";

    // The Update: its source stage brings the checkout to commit-2, and the build fails after it.
    app_.gameUpdateAvailable = false;
    ASSERT_TRUE(app_.builder->FetchSource(err)) << err;
    Run();
    EXPECT_TRUE(app_.gameUpdateAvailable) << "the play folder still holds the game of commit-1";
    EXPECT_EQ(test::ReadFile(app_.builder->GameExePath()), "the game of commit-1");
}

TEST_F(StartupJob, FailedTakeOverIsOnlyLogged) {
    Publish("v2.0.11");
    app_.selected.ok = true;
    app_.selected.path = dir_ / "gone" / "disc.iso";
    app_.selected.isImage = true;
    Run(true);
    std::vector<std::string> lines = LinesStartingWith("game: could not use the copy another install chose: ");
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_TRUE(app_.selected.ok);
    EXPECT_EQ(app_.selected.path, dir_ / "gone" / "disc.iso");
}

TEST_F(StartupJob, ConcurrencyRunsAsAJobWithAnEmptyDoneText) {
    Publish("v2.0.12");
    StartStartupJob(app_, false);
    while (app_.busy) std::this_thread::yield();
    app_.worker.join();
    std::lock_guard<std::mutex> lock(app_.mutex);
    EXPECT_EQ(app_.error, "");
    EXPECT_EQ(app_.done, "");
    EXPECT_TRUE(app_.updateOffered);
}

// A code host that takes the release check's request and answers nothing (or only the head) never holds
// the start-up up: the Stop button ends the job at once, and so does closing the window (the same stop,
// then the bounded wait for the worker, which the job ends well within).
TEST_F(StartupJob, ConcurrencyASilentCodeHostNeverHoldsItUp) {
    const std::string path = "/repos/port/starblaze/releases/latest";
    test::Route noAnswer;
    noAnswer.stallBeforeHeadersMs = 60000;
    test::Route headOnly;
    headOnly.body = "{\"tag_name\": \"v9\"}";
    headOnly.stallAfter = 0;
    headOnly.stallMs = 60000;
    for (const test::Route* route : {&noAnswer, &headOnly}) {
        for (const bool closeWindow : {false, true}) {
            SCOPED_TRACE(std::string(route == &noAnswer ? "no answer" : "only the head") +
                         (closeWindow ? ", window closed" : ", Stop pressed"));
            server_.Serve(path, *route);
            server_.ClearRequests();
            {
                std::lock_guard<std::mutex> lock(app_.mutex);
                app_.log.clear();
            }
            app_.builder->stop = false;
            StartStartupJob(app_, false);
            const auto asked = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (server_.Requests(path).empty() && std::chrono::steady_clock::now() < asked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ASSERT_EQ(server_.Requests(path).size(), 1u);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));

            const auto start = std::chrono::steady_clock::now();
            if (closeWindow) {
                EXPECT_TRUE(StopWorkerWithin(app_, kCloseWaitMs)) << "the job ended by itself";
            } else {
                app_.builder->stop = true;  // the Stop button
                while (app_.busy && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
            StopWorker(app_);
            EXPECT_EQ(server_.Requests(path).size(), 1u) << "a stop is no failure to try again";
            EXPECT_EQ(LinesStartingWith("update check: "), std::vector<std::string>{"update check: cancelled"});
        }
    }
}

}  // namespace
}  // namespace launcher
