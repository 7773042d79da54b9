// The test program's entry: before any test runs, the per-user folders and the code host are moved
// into the test's own reach, so that no test reads or writes the settings of the person running it and
// none asks the real code host anything. A time limit per test ends a hung test with its name instead
// of letting it stall the whole run.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/release.h"
#include "support/http_server.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace launcher::test {
namespace {

namespace fs = std::filesystem;

// What the program ends with when a test ran out of time (timeout(1)'s code).
constexpr int kTimedOutExit = 124;
constexpr int kDefaultLimitSeconds = 240;
// How long the runner may take to record the hung program (a debugger's backtrace) before it ends.
constexpr auto kRecordWait = std::chrono::seconds(120);

void SetVariable(const char* name, const fs::path& value) {
#ifdef _WIN32
    // Both the process block (GetEnvironmentVariableW) and the C runtime's copy (getenv).
    const std::wstring wideName(name, name + std::char_traits<char>::length(name));
    SetEnvironmentVariableW(wideName.c_str(), value.c_str());
    _wputenv_s(wideName.c_str(), value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

void UnsetVariable(const char* name) {
#ifdef _WIN32
    const std::wstring wideName(name, name + std::char_traits<char>::length(name));
    SetEnvironmentVariableW(wideName.c_str(), nullptr);
    _wputenv_s(wideName.c_str(), L"");
#else
    ::unsetenv(name);
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

// Ends the program at once: no destructor or exit handler may wait for the thread that hangs.
[[noreturn]] void EndNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
#endif
    std::_Exit(code);
}

class InsideTheTest : public ::testing::Environment {
public:
    void SetUp() override {
        // This run's share of the tests is chosen by now; a child started from the test binary runs
        // every test its own filter names, not a share of them.
        for (const char* name : {"GTEST_TOTAL_SHARDS", "GTEST_SHARD_INDEX", "GTEST_SHARD_STATUS_FILE"}) {
            UnsetVariable(name);
        }
        home_ = std::make_unique<TempDir>();
        const fs::path home = home_->path() / "home";
        fs::create_directories(home / "AppData" / "Local");
        fs::create_directories(home / ".local" / "share");
        SetVariable("HOME", home);
        SetVariable("XDG_DATA_HOME", home / ".local" / "share");
        SetVariable("LOCALAPPDATA", home / "AppData" / "Local");

        // Every code-host address leads to the loopback server, which knows no repository; tests that
        // publish releases point the code host at their own server and put this one back afterwards.
        codeHost_ = std::make_unique<HttpServer>();
        if (!codeHost_->ok()) {
            std::fprintf(stderr, "the loopback code host did not start\n");
            std::abort();
        }
        CodeHostConfig().web = codeHost_->Url("/");
        CodeHostConfig().api = codeHost_->Url("");
    }

    void TearDown() override {
        codeHost_.reset();
        home_.reset();
    }

private:
    std::unique_ptr<TempDir> home_;
    std::unique_ptr<HttpServer> codeHost_;
};

// Watches the running test (and the set-up and tear-down around all of them). One that runs longer
// than the limit is named with what it recorded so far; then, when the runner asked for it with a marker
// file, the program's id is written there and the runner gets a moment to take a backtrace (it answers
// with "<marker>.done"); then the program ends with kTimedOutExit.
class TimeLimit : public ::testing::EmptyTestEventListener {
public:
    TimeLimit(std::chrono::seconds limit, fs::path marker) : limit_(limit), marker_(std::move(marker)) {
        watcher_ = std::thread([this] { Watch(); });
    }
    ~TimeLimit() override {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        watcher_.join();
    }
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;

    void OnEnvironmentsSetUpStart(const ::testing::UnitTest&) override { Arm("the set-up before all tests", false); }
    void OnEnvironmentsSetUpEnd(const ::testing::UnitTest&) override { Disarm(); }
    void OnTestStart(const ::testing::TestInfo& test) override {
        Arm(std::string(test.test_suite_name()) + "." + test.name(), true);
    }
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        std::lock_guard lock(mutex_);
        std::string where = result.file_name() ? result.file_name() : "";
        if (result.line_number() >= 0) where += ":" + std::to_string(result.line_number());
        recorded_.push_back(where + ": " + (result.message() ? result.message() : ""));
    }
    void OnTestEnd(const ::testing::TestInfo&) override { Disarm(); }
    void OnEnvironmentsTearDownStart(const ::testing::UnitTest&) override {
        Arm("the tear-down after all tests", false);
    }
    void OnEnvironmentsTearDownEnd(const ::testing::UnitTest&) override { Disarm(); }

private:
    void Arm(std::string what, bool isTest) {
        {
            std::lock_guard lock(mutex_);
            running_ = std::move(what);
            isTest_ = isTest;
            recorded_.clear();
            deadline_ = std::chrono::steady_clock::now() + limit_;
            armed_ = true;
        }
        wake_.notify_all();
    }
    void Disarm() {
        {
            std::lock_guard lock(mutex_);
            armed_ = false;
        }
        wake_.notify_all();
    }

    void Watch() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (quit_) return;
            if (!armed_) {
                wake_.wait(lock);
                continue;
            }
            const auto deadline = deadline_;
            if (std::chrono::steady_clock::now() < deadline) {
                wake_.wait_until(lock, deadline);
                continue;
            }
            Expire();
        }
    }

    // Called with the mutex held; the test's own thread may be stuck anywhere, so nothing here waits for it.
    [[noreturn]] void Expire() {
        std::fflush(stdout);
        std::printf("\n[  TIMEOUT ] %s is still running after %lld s, the time limit of a test "
                    "(LAUNCHER_TEST_TIMEOUT)\n",
                    running_.c_str(), static_cast<long long>(limit_.count()));
        if (isTest_) std::printf("[  TIMEOUT ] the last test started: [ RUN      ] %s\n", running_.c_str());
        std::printf("[  TIMEOUT ] what it recorded:%s\n", recorded_.empty() ? " nothing" : "");
        for (const std::string& line : recorded_) std::printf("%s\n", line.c_str());
        std::printf("[  TIMEOUT ] %s FAILED (timed out)\n", running_.c_str());
        std::fflush(stdout);
        if (!marker_.empty()) {
            fs::path written = marker_;
            written += ".tmp";
            {
                std::ofstream out(written, std::ios::binary | std::ios::trunc);
                out << ProcessId() << "\n" << running_ << "\n";
            }
            std::error_code ec;
            fs::rename(written, marker_, ec);
            fs::path done = marker_;
            done += ".done";
            const auto until = std::chrono::steady_clock::now() + kRecordWait;
            while (!fs::exists(done, ec) && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
        EndNow(kTimedOutExit);
    }

    const std::chrono::seconds limit_;
    const fs::path marker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool armed_ = false;
    bool isTest_ = false;
    std::string running_;
    std::vector<std::string> recorded_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread watcher_;
};

// LAUNCHER_TEST_TIMEOUT in seconds; 0 turns the limit off.
long LimitSeconds() {
    const char* text = std::getenv("LAUNCHER_TEST_TIMEOUT");
    if (text == nullptr || *text == '\0') return kDefaultLimitSeconds;
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    if (*end != '\0' || seconds < 0) {
        std::fprintf(stderr, "LAUNCHER_TEST_TIMEOUT=%s is not a number of seconds; using %d\n", text,
                     kDefaultLimitSeconds);
        return kDefaultLimitSeconds;
    }
    return seconds;
}

}  // namespace
}  // namespace launcher::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new launcher::test::InsideTheTest);

    // Read before any test moves the working folder.
    std::filesystem::path marker;
    if (const char* m = std::getenv("LAUNCHER_TEST_HANG_MARKER"); m != nullptr && *m != '\0') {
        std::error_code ec;
        marker = std::filesystem::absolute(m, ec);
    }
    const long seconds = launcher::test::LimitSeconds();
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    launcher::test::TimeLimit* limit = nullptr;
    if (seconds > 0) {
        limit = new launcher::test::TimeLimit(std::chrono::seconds(seconds), marker);
        listeners.Append(limit);
    }
    const int result = RUN_ALL_TESTS();
    if (limit != nullptr) delete listeners.Release(limit);
    return result;
}
