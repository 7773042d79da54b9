#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "app/app.h"
#include "support/test_support.h"

namespace launcher {
namespace {

using namespace std::chrono_literals;

// A gate a job waits at until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

void WaitIdle(App& app) {
    while (app.busy) std::this_thread::sleep_for(1ms);
}

struct AppFixture : ::testing::Test {
    AppFixture() {
        app.builder = std::make_unique<Builder>(app.game, dir.path(), app.http.get(), app.platform.get());
        app.builder->statusSink = MakeStatusSink(app);
        app.builder->logSink = MakeLogSink(app);
    }
    ~AppFixture() override {
        WaitIdle(app);
        if (app.worker.joinable()) app.worker.join();
    }
    test::TempDir dir;
    App app;
};

TEST_F(AppFixture, JobOutcomes) {
    struct Case {
        bool ok;
        const char* err;
        const char* doneText;
        const char* wantError;
        const char* wantDone;
    } cases[] = {
        {true, "", "The game is built. Press Play.", "", "The game is built. Press Play."},
        {true, "", "", "", ""},
        {false, "cancelled", "done", kStoppedText, ""},
        {false, "Cancelled", "done", "Cancelled", ""},
        {false, "cancelled.", "done", "cancelled.", ""},
        {false, "the server answered 404 for x", "done", "the server answered 404 for x", ""},
    };
    for (const Case& c : cases) {
        app.StartTask(
            [&](std::string& err) {
                app.builder->Report("working", "half", 0.5);
                err = c.err;
                return c.ok;
            },
            c.doneText);
        WaitIdle(app);
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_EQ(app.error, c.wantError) << c.err;
        EXPECT_EQ(app.done, c.wantDone) << c.err;
        EXPECT_EQ(app.status.title, "");
        EXPECT_EQ(app.status.detail, "");
        EXPECT_EQ(app.status.progress, -1.0);
    }
}

// Whatever a job throws ends that job only: the worker logs it, shows one sentence and is idle again.
TEST_F(AppFixture, AnExceptionEndsTheJobNotTheProgram) {
    struct Case {
        const char* name;
        std::function<void()> fail;
        const char* logged;
    };
    const Case cases[] = {
        {"standard exception", [] { throw std::runtime_error("boom"); }, "internal error: boom"},
        {"filesystem error", [] { (void)std::filesystem::file_size("/no/such/file/anywhere"); }, nullptr},
        {"anything else", [] { throw 42; }, "internal error: an exception of an unknown kind"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app.StartTask(
            [&](std::string&) {
                app.builder->Report("working", "", 0.5);
                c.fail();
                return true;
            },
            "done");
        WaitIdle(app);
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_EQ(app.error, kInternalErrorText);
        EXPECT_EQ(app.done, "");
        EXPECT_EQ(app.status.title, "");
        ASSERT_FALSE(app.log.empty());
        if (c.logged) {
            EXPECT_EQ(app.log.back(), c.logged);
        } else {
            EXPECT_EQ(app.log.back().rfind("internal error: ", 0), 0u) << app.log.back();
        }
    }
    // The worker is free for the next job.
    app.StartTask([](std::string&) { return true; }, "next");
    WaitIdle(app);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_EQ(app.done, "next");
}

TEST_F(AppFixture, StartTaskClearsTheLastOutcome) {
    app.StartTask([](std::string& err) { err = "first failed"; return false; }, "");
    WaitIdle(app);
    Gate gate;
    app.StartTask([&](std::string&) { gate.Wait(); return true; }, "second");
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_EQ(app.error, "");
        EXPECT_EQ(app.done, "");
    }
    gate.Open();
    WaitIdle(app);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_EQ(app.done, "second");
}

TEST_F(AppFixture, LogKeepsTheLast2000Lines) {
    for (int i = 1; i <= 2001; ++i) app.builder->Log("line " + std::to_string(i));
    std::lock_guard<std::mutex> lock(app.mutex);
    ASSERT_EQ(app.log.size(), 2000u);
    EXPECT_EQ(app.log.front(), "line 2");
    EXPECT_EQ(app.log.back(), "line 2001");
}

TEST_F(AppFixture, RefreshesSizesFromTheBuilderWhenAJobEnds) {
    // The built-in description is in package mode: agreed.txt counts as a leftover.
    test::WriteFile(dir / "agreed.txt", std::string(1234, 'x'));
    test::WriteFile(dir / "play" / "compiler" / "work" / "obj.o", std::string(99, 'x'));
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(BuiltinGameJson(), app.builder->game, err));
    app.StartTask([](std::string&) { return true; }, "");
    WaitIdle(app);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_EQ(app.leftoverSize, 1234u);
    EXPECT_EQ(app.buildFilesSize, 99u);
}

// Threads: these run under ThreadSanitizer too.
TEST_F(AppFixture, ConcurrencySecondStartWhileBusyChangesNothing) {
    Gate gate;
    std::atomic<int> runs{0};
    app.StartTask([&](std::string&) { ++runs; app.builder->Report("first", "", 0.25); gate.Wait(); return true; },
                  "first done");
    while (true) {
        std::lock_guard<std::mutex> lock(app.mutex);
        if (app.status.title == "first") break;
    }
    std::thread::id first = app.worker.get_id();
    app.StartTask([&](std::string&) { ++runs; return true; }, "second done");
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_EQ(app.status.title, "first");
        EXPECT_EQ(app.status.progress, 0.25);
        EXPECT_EQ(app.done, "");
    }
    EXPECT_EQ(app.worker.get_id(), first);
    gate.Open();
    WaitIdle(app);
    EXPECT_EQ(runs, 1);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_EQ(app.done, "first done");
}

TEST_F(AppFixture, ConcurrencyEndOfJobIsOneLockedStep) {
    // A frame that sees the worker idle must also see its complete result.
    for (int round = 0; round < 20; ++round) {
        app.StartTask(
            [&](std::string&) {
                for (int i = 0; i < 200; ++i) app.builder->Report("step", std::to_string(i), i / 200.0);
                return true;
            },
            "finished");
        bool sawEnd = false;
        while (!sawEnd) {
            std::lock_guard<std::mutex> lock(app.mutex);
            if (!app.busy) {
                EXPECT_EQ(app.status.title, "");
                EXPECT_EQ(app.status.progress, -1.0);
                EXPECT_EQ(app.done, "finished");
                sawEnd = true;
            }
        }
    }
}

TEST_F(AppFixture, ConcurrencyLogFromWorkerWhileFramesReadTheLog) {
    // The log sink runs under the Builder's log mutex and takes the App mutex; frames take only the
    // App mutex. Logging from both threads must neither deadlock nor race.
    app.StartTask(
        [&](std::string&) {
            for (int i = 0; i < 500; ++i) app.builder->Log("worker " + std::to_string(i));
            return true;
        },
        "");
    size_t seen = 0;
    while (app.busy) {
        app.builder->Log("ui");
        std::lock_guard<std::mutex> lock(app.mutex);
        seen = app.log.size();
    }
    WaitIdle(app);
    EXPECT_GT(seen, 0u);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_GE(app.log.size(), 500u);
}

TEST_F(AppFixture, ConcurrencyJobsRunOneAfterAnother) {
    std::atomic<int> runs{0};
    for (int i = 0; i < 10; ++i) {
        app.StartTask([&](std::string&) { ++runs; return true; }, "");
        WaitIdle(app);
    }
    EXPECT_EQ(runs, 10);
}

}  // namespace
}  // namespace launcher
