#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include "programs/pipe_io.h"
#include "support/file_size_limit.h"
#endif

#include "build/builder.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/pinned.h"
#include "support/spawn.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

using Files = std::map<std::string, std::string>;

// Every file below `dir` with its bytes.
Files Snapshot(const fs::path& dir) {
    Files files;
    for (const std::string& name : test::FilesBelow(dir)) files[name] = test::ReadFile(dir / Utf8Path(name));
    return files;
}

// What the build made in its folder, copied into the play folder.
struct InstallTest : ::testing::Test {
    InstallTest() {
        game.title = "Test Game";
        game.shortName = "TestGame";
        game.exe = "Starblaze";
        game.exes = {"Starblaze", "starblazedriving"};
        builder.game = game;
        builder.logSink = [this](const std::string& line) { logged.push_back(line); };
    }

    // Names as the platform's build makes them: ".exe" and ".dll", or no suffix and ".so" on Linux.
    std::string Program(const std::string& stem) const { return stem + platform.ExeSuffix(); }
    std::string Library(const std::string& stem, bool upper = false) const {
        std::string suffix = platform.ExeSuffix().empty() ? ".so" : ".dll";
        if (upper) std::transform(suffix.begin(), suffix.end(), suffix.begin(), ::toupper);
        return stem + suffix;
    }
    void Built(const std::string& name) { test::WriteFile(build / name, "built " + name); }
    bool Installed(const std::string& name) const {
        return test::ReadFile(play / name) == "built " + name;
    }
    // An earlier build in the play folder and a newer one in the build folder, the main program last in
    // the listing of neither, and the user's save beside them.
    void OldAndNewBuilds(size_t newSize) {
        for (const std::string& name : {Library("Audio"), Program("Starblaze"), Library("StarblazeCode")}) {
            test::WriteFile(play / name, "old " + name + std::string(1 << 20, 'o'));
            test::WriteFile(build / name, "new " + name + std::string(newSize, 'n'));
        }
        test::WriteFile(play / "hdd" / "save.dat", "my save");
    }

    test::TempDir tmp;
    test::TestPlatform platform;
    GameDefinition game;
    Builder builder{GameDefinition{}, tmp / "data", nullptr, &platform};
    fs::path build = tmp / "data" / "source" / "out" / "build" / "release";
    fs::path play = tmp / "data" / "play";
    std::vector<std::string> logged;
    std::string err;
};

TEST_F(InstallTest, CopiesTheLibrariesAndTheNamedProgramsOnly) {
    Built(Program("Starblaze"));
    Built(Program("STARBLAZEDRIVING"));  // named in other capitals than the description's
    Built(Program("StarblazeTests"));
    Built(Library("StarblazeCode"));
    Built(Library("Audio", true));
    Built("Starblaze.pdb");
    Built("Starblaze.lib");
    Built("CMakeCache.txt");
    Built("sub/" + Library("Nested"));
    Built("sub/" + Program("Starblaze"));
    fs::create_directories(build / Library("Folder"));
    // The user's files and one an older build left are not touched.
    test::WriteFile(play / "hdd" / "save.dat", "my save");
    test::WriteFile(play / Library("Old"), "from an older build");

    ASSERT_TRUE(builder.InstallBuild(err)) << err;
    std::vector<std::string> expected = {Program("Starblaze"), Program("STARBLAZEDRIVING"), Library("StarblazeCode"),
                                         Library("Audio", true), "hdd/save.dat", Library("Old")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::FilesBelow(play), expected);
    for (const std::string& name : {Program("Starblaze"), Program("STARBLAZEDRIVING"), Library("StarblazeCode")}) {
        EXPECT_TRUE(Installed(name)) << name;
    }
    EXPECT_EQ(test::ReadFile(play / "hdd" / "save.dat"), "my save");
    EXPECT_EQ(logged, std::vector<std::string>{"installed in " + PathUtf8(play)});

    // A new build replaces what is there, and never writes through a hard link standing in its place.
    test::WriteFile(build / Program("Starblaze"), "built again");
    test::WriteFile(tmp / "elsewhere", "a file of someone else's");
    fs::remove(play / Library("StarblazeCode"));
    std::error_code linkError;
    fs::create_hard_link(tmp / "elsewhere", play / Library("StarblazeCode"), linkError);
    ASSERT_TRUE(builder.InstallBuild(err)) << err;
    EXPECT_EQ(test::ReadFile(play / Program("Starblaze")), "built again");
    EXPECT_TRUE(Installed(Library("StarblazeCode")));
    EXPECT_EQ(test::ReadFile(tmp / "elsewhere"), "a file of someone else's");
    EXPECT_EQ(test::FilesBelow(play), expected);
}

TEST_F(InstallTest, TheMainProgramMustBeThere) {
    const std::string missing = "The build made no " + Program("Starblaze");
    // No build folder at all.
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err, missing);
    EXPECT_TRUE(logged.empty());

    // Only a library: not enough for a first install, and nothing of it is put in place...
    Built(Library("StarblazeCode"));
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err, missing);
    EXPECT_FALSE(fs::exists(play / Library("StarblazeCode")));
    EXPECT_TRUE(test::FilesBelow(play).empty());

    // ...but the program of an earlier build counts.
    test::WriteFile(play / Program("Starblaze"), "earlier");
    ASSERT_TRUE(builder.InstallBuild(err)) << err;
    EXPECT_EQ(test::ReadFile(play / Program("Starblaze")), "earlier");
    EXPECT_TRUE(Installed(Library("StarblazeCode")));
}

// A disk that fills part-way, stood in for by a limit on the size of the files this process writes.
TEST_F(InstallTest, AFullDiskLeavesTheOldBuildAsItWas) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no limit on a process's file sizes; the held file below fails the install there";
#else
    struct Case {
        const char* name;
        bool oldBuild;
    } cases[] = {{"over an earlier build", true}, {"the first install", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RemoveTree(tmp / "data", err)) << err;
        OldAndNewBuilds(2 << 20);
        if (!c.oldBuild) {
            for (const std::string& name : {Library("Audio"), Program("Starblaze"), Library("StarblazeCode")}) {
                fs::remove(play / name);
            }
        }
        const Files before = Snapshot(play);
        const bool installed = builder.IsInstalled();
        logged.clear();

        // Writes past 1.5 MiB fail, for as long as the install runs.
        bool ok = false;
        {
            test::FileSizeLimit full(3 << 19);
            ASSERT_TRUE(full.ok());
            ok = builder.InstallBuild(err);
        }

        EXPECT_FALSE(ok);
        EXPECT_EQ(err.rfind("Cannot copy ", 0), 0u) << err;
        EXPECT_NE(err.find("File too large"), std::string::npos) << err;
        EXPECT_EQ(err.find("still running"), std::string::npos) << err;
        EXPECT_EQ(Snapshot(play), before);
        EXPECT_EQ(builder.IsInstalled(), installed);
        EXPECT_TRUE(logged.empty());
    }
#endif
}

TEST_F(InstallTest, AFileThatCannotBeReplacedLeavesTheOldBuildAndTellsWhy) {
    OldAndNewBuilds(100);
    const Files before = Snapshot(play);
    // Kept as a running program keeps its file: on Windows held open without delete sharing (the game
    // is named), on Linux marked immutable (the system's reason is given, and no game blamed). The
    // libraries, which go in before the program, are put back.
    test::PinnedFile running(play / Program("Starblaze"));
    if (!running.pinned()) GTEST_SKIP() << running.why();
    EXPECT_FALSE(builder.InstallBuild(err));
#ifdef _WIN32
    EXPECT_EQ(err.rfind("Cannot copy " + Program("Starblaze") + " (is the game still running?): ", 0), 0u) << err;
#else
    EXPECT_EQ(err, "Cannot copy " + Program("Starblaze") + ": Operation not permitted");
#endif
    EXPECT_EQ(Snapshot(play), before);
    EXPECT_TRUE(logged.empty());
}

TEST_F(InstallTest, AFolderWhereTheProgramGoesIsLeftAndNamed) {
    OldAndNewBuilds(100);
    fs::remove(play / Program("Starblaze"));
    test::WriteFile(play / Program("Starblaze") / "in-the-way", "mine");
    const Files before = Snapshot(play);
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err.rfind("Cannot copy " + Program("Starblaze") + ": ", 0), 0u) << err;
    EXPECT_GT(err.size(), ("Cannot copy " + Program("Starblaze") + ": ").size()) << "the system's reason";
    EXPECT_EQ(err.find("still running"), std::string::npos) << err;
    EXPECT_EQ(Snapshot(play), before);
}

// The record of a cut-off install, damaged or naming what is not the play folder's: the files moved aside
// still go back, the copies go, and nothing outside the play folder is touched.
TEST_F(InstallTest, ADamagedRecordStillPutsTheOldBuildBack) {
    const std::string program = Program("Starblaze");
    struct Case {
        const char* name;
        std::string record;
    } cases[] = {
        {"not a record", "{ \"done\": fal"},
        {"fields of other kinds", R"({"done": "no", "files": [{"name": 7}]})"},
        {"a name that leads out", R"({"done": false, "files": [{"name": "../outside"}, {"name": ")" + program +
                                      R"(", "replaces": true}]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RemoveTree(tmp / "data", err)) << err;
        test::WriteFile(play / (program + ".launcher-old"), "the game");
        test::WriteFile(play / (program + ".launcher-new"), "half the new game");
        test::WriteFile(tmp / "data" / "outside", "not the play folder's");
        test::WriteFile(tmp / "data" / "play.launcher-install", c.record);
        EXPECT_FALSE(builder.IsInstalled());
        ASSERT_TRUE(builder.FinishCutInstall(err)) << err;
        EXPECT_EQ(test::FilesBelow(play), std::vector<std::string>{program});
        EXPECT_EQ(test::ReadFile(play / program), "the game");
        EXPECT_EQ(test::ReadFile(tmp / "data" / "outside"), "not the play folder's");
        EXPECT_TRUE(builder.IsInstalled());
    }
}

// ---- Killed in the middle of an install ------------------------------------------------------------

// An earlier build in the play folder and a newer one in the build folder, a few hundred files each: some
// libraries the newer build no longer makes, some only it makes. What the play folder holds before and
// after a whole install is known byte for byte.
struct KillWorld {
    KillWorld(const fs::path& data, size_t libraries, bool earlier) : data(data) {
        game.title = "Test Game";
        game.shortName = "TestGame";
        game.exe = "Starblaze";
        game.exes = {"Starblaze", "StarblazeDriving"};
        const std::string exe = platform.ExeSuffix(), lib = exe.empty() ? ".so" : ".dll";
        const fs::path build = data / "source" / "out" / "build" / "release";
        auto add = [&](Files& files, const std::string& name, const std::string& bytes) {
            files[name] = bytes;
            test::WriteFile((&files == &next ? build : data / "before") / name, bytes);
        };
        std::vector<std::string> names;
        for (size_t i = 0; i < libraries; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "lib%03zu", i);
            names.push_back(name + lib);
        }
        for (size_t i = 0; i < names.size(); ++i) {
            // The newer build leaves out every tenth library of the earlier one and brings as many of its own.
            if (earlier && i % 10 != 5) add(old, names[i], "old " + names[i] + std::string(i % 7, 'o'));
            if (i % 10 != 0 || !earlier) add(next, names[i], "new " + names[i] + std::string(i % 5, 'n'));
        }
        for (const std::string& program : {"Starblaze" + exe, "StarblazeDriving" + exe}) {
            if (earlier) add(old, program, "old " + program);
            add(next, program, "new " + program);
        }
        old["hdd/save.dat"] = "my save";
        test::WriteFile(data / "before" / "hdd" / "save.dat", "my save");
        Files after = old;
        for (const auto& [name, bytes] : next) after[name] = bytes;
        next = after;
        ResetPlay();
    }

    // The play folder as the earlier build left it, and no record of an install.
    void ResetPlay() {
        std::string err;
        ASSERT_TRUE(RemoveTree(data / "play", err)) << err;
        ASSERT_TRUE(RemoveTree(data / "play.launcher-install", err)) << err;
        fs::copy(data / "before", data / "play", fs::copy_options::recursive);
    }

    std::unique_ptr<Builder> MakeBuilder() {
        auto builder = std::make_unique<Builder>(game, data, nullptr, &platform);
        builder->logSink = [](const std::string&) {};
        return builder;
    }

    // Checks what a start-up makes of what the kill left: one whole build, the earlier or the newer, with
    // nothing beside it, and IsInstalled telling which. Then the next install is whole. Gives which
    // build the start-up left ("old" or "new").
    std::string CheckStartAndNextInstall() {
        std::unique_ptr<Builder> builder = MakeBuilder();
        const Files left = Snapshot(data / "play");
        // Before the start-up settles it, a mix is never taken for an installed game.
        if (builder->IsInstalled()) {
            EXPECT_TRUE(left == old || left == next) << "a mixed play folder counts as installed";
        }
        std::string err;
        EXPECT_TRUE(builder->FinishCutInstall(err)) << err;
        const Files settled = Snapshot(data / "play");
        const bool isOld = settled == old, isNew = settled == next;
        EXPECT_TRUE(isOld || isNew) << Describe(settled);
        EXPECT_FALSE(EntryExists(data / "play.launcher-install"));
        EXPECT_EQ(builder->IsInstalled(), isNew || old.size() > 1);

        // The next install puts the newer build in whole.
        EXPECT_TRUE(builder->InstallBuild(err)) << err;
        EXPECT_EQ(Snapshot(data / "play"), next);
        EXPECT_FALSE(EntryExists(data / "play.launcher-install"));
        return isNew ? "new" : "old";
    }

    // What differs from both builds, briefly.
    std::string Describe(const Files& files) const {
        std::string out;
        size_t shown = 0;
        for (const auto& [name, bytes] : files) {
            const auto o = old.find(name), n = next.find(name);
            const bool fitsOld = o != old.end() && o->second == bytes, fitsNew = n != next.end() && n->second == bytes;
            if (fitsOld && fitsNew) continue;
            if (++shown > 8) break;
            out += "\n  " + name + (fitsOld ? " (old)" : fitsNew ? " (new)" : " (neither)");
        }
        for (const Files* build : {&old, &next}) {
            for (const auto& [name, bytes] : *build) {
                if (files.count(name) == 0 && ++shown <= 8) out += "\n  " + name + " missing";
            }
        }
        return out;
    }

    fs::path data;
    test::TestPlatform platform;
    GameDefinition game;
    Files old, next;
};

// How a child install ended.
enum class ChildEnd { Killed, Finished, Failed };

// Runs installs in child processes (tests/programs/install_child), each killed at a step (counted from 0)
// or, given a delay, by another process that long after it began. POSIX: forks of one start of the program,
// as these are hundreds of kills; Windows: a start for each.
class KillChildren {
public:
#ifndef _WIN32
    KillChildren() {
        int requests[2], answers[2];
        if (::pipe2(requests, O_CLOEXEC) != 0) return;
        if (::pipe2(answers, O_CLOEXEC) != 0) {
            ::close(requests[0]);
            ::close(requests[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, answers[1], STDOUT_FILENO);
        const std::string program = test::TestProgram("install_child").string();
        std::string serve = "--serve";
        char* argv[] = {const_cast<char*>(program.c_str()), serve.data(), nullptr};
        if (posix_spawn(&server_, program.c_str(), &actions, nullptr, argv, environ) != 0) server_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(requests[0]);
        ::close(answers[1]);
        requests_ = requests[1];
        answers_ = answers[0];
    }
    ~KillChildren() {
        ::close(requests_);
        ::close(answers_);
        int status = 0;
        if (server_ > 0) ::waitpid(server_, &status, 0);
    }

    // `took`, when given, gets the time from the install's start to the child's end.
    ChildEnd Run(const fs::path& data, long killAt, std::chrono::microseconds delay,
                 std::chrono::microseconds* took = nullptr) {
        const std::string path = data.string();
        const int64_t request[3] = {killAt, static_cast<int64_t>(delay.count()), static_cast<int64_t>(path.size())};
        int64_t answer[2] = {0, 0};
        if (server_ <= 0 || !WriteAll(requests_, request, sizeof request) ||
            !WriteAll(requests_, path.data(), path.size()) || !ReadAll(answers_, answer, sizeof answer)) {
            return ChildEnd::Failed;
        }
        if (took) *took = std::chrono::microseconds(answer[1]);
        return answer[0] == 0 ? ChildEnd::Killed : answer[0] == 1 ? ChildEnd::Finished : ChildEnd::Failed;
    }

private:
    static bool WriteAll(int fd, const void* data, size_t size) { return pipe_io::WriteAll(fd, data, size); }
    static bool ReadAll(int fd, void* data, size_t size) { return pipe_io::ReadAll(fd, data, size); }

    pid_t server_ = -1;
    int requests_ = -1, answers_ = -1;
#else
    ChildEnd Run(const fs::path& data, long killAt, std::chrono::microseconds delay,
                 std::chrono::microseconds* took = nullptr) {
        const fs::path readyFile = data / "child.ready", finished = data / "child.finished";
        std::error_code ec;
        fs::remove(readyFile, ec);
        fs::remove(finished, ec);
        bool killed = false;
        {
            test::Spawned child(test::TestProgram("install_child"), {PathUtf8(data), std::to_string(killAt)});
            if (!child.started()) return ChildEnd::Failed;
            while (child.Running() && !fs::exists(readyFile, ec)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto begun = std::chrono::steady_clock::now();
            if (delay.count() >= 0) {
                std::this_thread::sleep_for(delay);
                // The object's end terminates a child that still runs.
                killed = child.Running();
            } else {
                lastExit_ = child.Wait();
                killed = lastExit_ == 9;
            }
            if (took) {
                *took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun);
            }
        }
        if (fs::exists(finished, ec)) return ChildEnd::Finished;
        return killed ? ChildEnd::Killed : ChildEnd::Failed;
    }
    // How the last child that was waited for ended.
    int LastExit() const { return lastExit_; }

private:
    int lastExit_ = -1;
#endif
};

TEST(InstallKills, EveryStepAndRandomMomentsLeaveOneWholeBuild) {
    // Linux forks a child for every kill; under Wine each is a start of the test program, which takes
    // a good part of a second, so the builds there are smaller. The table kills at every step of a build
    // small enough to go through quickly (every step of each file looks alike); the random moments fall
    // into an install of a few hundred files.
    struct Case {
        const char* name;
        bool earlier;
        size_t stepLibraries, randomLibraries;
        int randomKills;
    } cases[] = {
#ifdef _WIN32
        {"over an earlier build", true, 4, 40, 2},
        {"the first install", false, 2, 40, 1},
#else
        {"over an earlier build", true, 32, 200, 20},
        {"the first install", false, 12, 200, 8},
#endif
    };
    KillChildren children;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            test::TempDir tmp;
            KillWorld world(tmp / "data", c.stepLibraries, c.earlier);
            // A kill at each step in turn, until the install gets through.
            std::map<std::string, int> outcomes;
            long steps = 0;
            for (;; ++steps) {
                SCOPED_TRACE("killed at step " + std::to_string(steps));
                world.ResetPlay();
                const ChildEnd end = children.Run(world.data, steps, std::chrono::microseconds(-1));
#ifdef _WIN32
                ASSERT_NE(end, ChildEnd::Failed) << "the child's exit code: " << children.LastExit();
#else
                ASSERT_NE(end, ChildEnd::Failed);
#endif
                if (end == ChildEnd::Finished) break;
                ++outcomes[world.CheckStartAndNextInstall()];
                if (::testing::Test::HasFailure()) return;
            }
            // Every file was on its way, and the kills landed on both sides of the last one.
            EXPECT_GT(steps, static_cast<long>(2 * c.stepLibraries));
            EXPECT_GT(outcomes["old"], 0);
            EXPECT_GT(outcomes["new"], 0);
        }

        test::TempDir tmp;
        KillWorld world(tmp / "data", c.randomLibraries, c.earlier);
        // A whole install, timed, gives the span the random kills fall into.
        std::chrono::microseconds span{};
        ASSERT_EQ(children.Run(world.data, -1, std::chrono::microseconds(-1), &span), ChildEnd::Finished);
        std::mt19937 random(20240611u + (c.earlier ? 1u : 0u));
        std::uniform_int_distribution<long long> moment(0, span.count());
        for (int i = 0; i < c.randomKills; ++i) {
            const std::chrono::microseconds delay(moment(random));
            SCOPED_TRACE("killed " + std::to_string(delay.count()) + " us in");
            world.ResetPlay();
            ASSERT_NE(children.Run(world.data, -1, delay), ChildEnd::Failed);
            world.CheckStartAndNextInstall();
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
}  // namespace launcher
