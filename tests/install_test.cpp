#include <gtest/gtest.h>

#include <algorithm>

#include "build/builder.h"
#include "platform/paths.h"
#include "support/pinned.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

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

    // A new build replaces what is there.
    test::WriteFile(build / Program("Starblaze"), "built again");
    ASSERT_TRUE(builder.InstallBuild(err)) << err;
    EXPECT_EQ(test::ReadFile(play / Program("Starblaze")), "built again");
}

TEST_F(InstallTest, TheMainProgramMustBeThere) {
    const std::string missing = "The build made no " + Program("Starblaze");
    // No build folder at all.
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err, missing);
    EXPECT_TRUE(logged.empty());

    // Only a library: not enough for a first install...
    Built(Library("StarblazeCode"));
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err, missing);
    EXPECT_TRUE(Installed(Library("StarblazeCode")));

    // ...but the program of an earlier build counts.
    test::WriteFile(play / Program("Starblaze"), "earlier");
    ASSERT_TRUE(builder.InstallBuild(err)) << err;
    EXPECT_EQ(test::ReadFile(play / Program("Starblaze")), "earlier");
}

TEST_F(InstallTest, AFileThatCannotBeReplacedIsNamed) {
    Built(Program("Starblaze"));
    // Something stands where the program goes.
    fs::create_directories(play / Program("Starblaze") / "in-the-way");
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err, "Cannot copy " + Program("Starblaze") + " (is the game still running?)");
    EXPECT_TRUE(logged.empty());
}

TEST_F(InstallTest, TheRunningGamesProgramIsNamed) {
    Built(Program("Starblaze"));
    test::WriteFile(play / Program("Starblaze"), "the running game");
    // Kept as the running program keeps its file.
    test::PinnedFile running(play / Program("Starblaze"));
    if (!running.pinned()) GTEST_SKIP() << running.why();
    EXPECT_FALSE(builder.InstallBuild(err));
    EXPECT_EQ(err, "Cannot copy " + Program("Starblaze") + " (is the game still running?)");
    EXPECT_EQ(test::ReadFile(play / Program("Starblaze")), "the running game");
}

}  // namespace
}  // namespace launcher
