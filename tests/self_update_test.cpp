#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/app.h"
#include "app/self_path.h"
#include "app/self_update.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "support/http_server.h"
#include "support/spawn.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

fs::path WithSuffix(fs::path p, const char* suffix) {
    p += suffix;
    return p;
}

// The launcher's own path points at a copy in a temporary folder; the new launcher is on the server.
class SelfUpdateTest : public ::testing::Test {
protected:
    SelfUpdateTest() {
        app.builder = std::make_unique<Builder>(app.game, dir / "data", app.http.get(), app.platform.get());
        self = dir / "bin" / "KestrelLauncher.exe";
        fresh = WithSuffix(self, ".new");
        old = WithSuffix(self, ".old");
        SetSelfExePathForTesting(self);
    }
    ~SelfUpdateTest() override {
        while (app.busy) std::this_thread::sleep_for(1ms);
        if (app.worker.joinable()) app.worker.join();
        SetSelfExePathForTesting({});
    }

    Release Publish(const std::string& bytes, bool withDigest = true) {
        server.ServeBody("/download/KestrelLauncher.exe", bytes);
        Release r;
        r.tag_name = "v2.0.0";
        r.download_url = server.Url("/download/KestrelLauncher.exe");
        r.sha256 = withDigest ? Hex(bytes) : "";
        r.size = bytes.size();
        return r;
    }
    size_t Requests() const { return server.Requests("/download/KestrelLauncher.exe").size(); }

    test::TempDir dir;
    test::HttpServer server;
    App app;
    fs::path self, fresh, old;
    std::string err;
    const std::string oldBytes = "the running launcher";
    const std::string newBytes = test::TestBytes(300000, 5);
};

TEST_F(SelfUpdateTest, SuccessSwapsTheFilesAndAsksForARestart) {
    test::WriteFile(self, oldBytes);
    test::WriteFile(old, "a stale launcher from an earlier update");
    ASSERT_TRUE(UpdateLauncher(app, Publish(newBytes), err)) << err;
    EXPECT_TRUE(test::ReadFile(self) == newBytes);
    EXPECT_EQ(test::ReadFile(old), oldBytes);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(WithSuffix(fresh, ".part")));
    EXPECT_TRUE(app.relaunch);
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_EQ(app.status.title, "Downloading the new launcher");
    EXPECT_EQ(app.status.detail, FormatSize(newBytes.size()) + " of " + FormatSize(newBytes.size()));
    EXPECT_EQ(app.status.progress, 1.0);
}

TEST_F(SelfUpdateTest, ReleaseWithoutDigestReusesACompleteNewFile) {
    test::WriteFile(self, oldBytes);
    test::WriteFile(fresh, newBytes);
    ASSERT_TRUE(UpdateLauncher(app, Publish(newBytes, false), err)) << err;
    EXPECT_EQ(Requests(), 0u);
    EXPECT_TRUE(test::ReadFile(self) == newBytes);
    EXPECT_EQ(test::ReadFile(old), oldBytes);
}

TEST_F(SelfUpdateTest, FailedDownloadChangesNothing) {
    test::WriteFile(self, oldBytes);
    Release r = Publish(newBytes);
    r.sha256 = std::string(64, '0');
    EXPECT_FALSE(UpdateLauncher(app, r, err));
    EXPECT_EQ(err, "the download of KestrelLauncher.exe.new is damaged (checksum); gave up after 5 failed attempts");
    EXPECT_EQ(test::ReadFile(self), oldBytes);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_FALSE(app.relaunch);
}

TEST_F(SelfUpdateTest, OwnFileThatCannotBeMovedNamesTheNewFile) {
    // Nothing at the own path: the first rename fails.
    fs::create_directories(self.parent_path());
    EXPECT_FALSE(UpdateLauncher(app, Publish(newBytes), err));
    EXPECT_EQ(err, "The launcher could not be updated (it could not rename itself). The new one is " +
                       PathUtf8(fresh) + ".");
    EXPECT_TRUE(test::ReadFile(fresh) == newBytes);
    EXPECT_FALSE(fs::exists(self));
    EXPECT_FALSE(app.relaunch);

    // The next try takes the complete new file without fetching it again.
    test::WriteFile(self, oldBytes);
    ASSERT_TRUE(UpdateLauncher(app, Publish(newBytes), err)) << err;
    EXPECT_EQ(Requests(), 1u);
    EXPECT_TRUE(test::ReadFile(self) == newBytes);
}

TEST_F(SelfUpdateTest, NewFileThatCannotTakeItsPlacePutsTheOldOneBack) {
#ifdef _WIN32
    test::WriteFile(self, oldBytes);
    test::WriteFile(fresh, newBytes);
    // Held open without delete sharing, the new file can be read (so it is recognised as complete)
    // but not renamed.
    std::ifstream holder(fresh, std::ios::binary);
    ASSERT_TRUE(holder.good());
    EXPECT_FALSE(UpdateLauncher(app, Publish(newBytes), err));
    EXPECT_EQ(err, "The launcher could not be updated (the new one could not take its place). It is " +
                       PathUtf8(fresh) + ".");
    EXPECT_EQ(test::ReadFile(self), oldBytes);
    EXPECT_TRUE(test::ReadFile(fresh) == newBytes);
    EXPECT_FALSE(app.relaunch);
#else
    GTEST_SKIP() << "POSIX renames an open file, and root renames anything: only Windows can make the second "
                    "rename fail after the first succeeded";
#endif
}

// The update runs as a job on the worker; the stop comes from this (the UI's) thread.
TEST_F(SelfUpdateTest, ConcurrencyStoppedUpdateResumesFromThePartialFile) {
    test::WriteFile(self, oldBytes);
    const std::string big = test::TestBytes(4 << 20, 6);
    Release r = Publish(big);
    test::Route slow;
    slow.body = big;
    slow.stallAfter = 1 << 20;
    slow.stallMs = 700;
    slow.faultyAnswers = 1;
    server.Serve("/download/KestrelLauncher.exe", slow);

    app.StartTask([&](std::string& e) { return UpdateLauncher(app, r, e); }, "updated");
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> lock(app.mutex);
            if (app.status.progress > 0) break;
        }
        std::this_thread::sleep_for(1ms);
    }
    app.builder->stop = true;
    while (app.busy) std::this_thread::sleep_for(1ms);
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_EQ(app.error, kStoppedText);
    }
    const fs::path part = WithSuffix(fresh, ".part");
    const uintmax_t kept = fs::file_size(part);
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, big.size());
    EXPECT_EQ(test::ReadFile(self), oldBytes);
    EXPECT_FALSE(app.relaunch);

    // The next press clears the stop and carries on from the partial file.
    app.StartTask([&](std::string& e) { return UpdateLauncher(app, r, e); }, "updated");
    while (app.busy) std::this_thread::sleep_for(1ms);
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_EQ(app.error, "");
        EXPECT_EQ(app.done, "updated");
    }
    auto seen = server.Requests("/download/KestrelLauncher.exe");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].range, "bytes=" + std::to_string(kept) + "-");
    EXPECT_TRUE(test::ReadFile(self) == big);
    EXPECT_TRUE(app.relaunch);
}

// The real thing: the executable at the own path is running while it is replaced.
TEST_F(SelfUpdateTest, RunningExecutableIsReplaced) {
    const fs::path program = test::TestProgram("update_subject");
    const std::string original = test::ReadFile(program);
    ASSERT_FALSE(original.empty());
    self = dir / "bin" / program.filename();
    fresh = WithSuffix(self, ".new");
    old = WithSuffix(self, ".old");
    SetSelfExePathForTesting(self);
    fs::create_directories(self.parent_path());
    fs::copy_file(program, self);
    fs::permissions(self, fs::perms::owner_all, fs::perm_options::add);

    const fs::path flag = dir / "quit";
    test::Spawned running(self, {"wait", PathUtf8(flag)});
    ASSERT_TRUE(running.started());
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(running.Running());

    // A different file that is still a working program: trailing bytes do not disturb the loader.
    const std::string replacement = original + "\nnew launcher";
    ASSERT_TRUE(UpdateLauncher(app, Publish(replacement), err)) << err;
    EXPECT_TRUE(app.relaunch);
    EXPECT_TRUE(test::ReadFile(self) == replacement);
    EXPECT_TRUE(test::ReadFile(old) == original);
    EXPECT_TRUE(running.Running()) << "the old process goes on from the .old file";

    // The restart starts the new file as it is: it must be a runnable program (on POSIX, executable).
    test::Spawned restarted(self, {"say"});
    ASSERT_TRUE(restarted.started());
    EXPECT_EQ(restarted.Wait(), 3);

    test::WriteFile(flag, "");
    EXPECT_EQ(running.Wait(), 0);
}

}  // namespace
}  // namespace launcher
