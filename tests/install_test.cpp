#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "build/builder.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/pinned.h"
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

        // Writes past 1.5 MiB fail with EFBIG instead of raising SIGXFSZ, for as long as the case runs.
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = 3 << 19;
        auto* oldHandler = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool ok = builder.InstallBuild(err);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);

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

}  // namespace
}  // namespace launcher
