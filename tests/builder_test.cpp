#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "build/builder.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

struct BuilderFixture : ::testing::Test {
    BuilderFixture() : platform(MakePlatform()), builder(GameDefinition{}, dir / "data", nullptr, platform.get()) {
        builder.game.exe = "Game";
        builder.logSink = [this](const std::string& line) { shown.push_back(line); };
    }
    test::TempDir dir;
    std::unique_ptr<Platform> platform;
    Builder builder;
    std::vector<std::string> shown;
};

TEST(FormatSize, Table) {
    struct Case {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 MB"},
        {1048575, "1 MB"},
        {1073741823, "1024 MB"},
        {1073741824, "1.0 GB"},
        {1610612736, "1.5 GB"},
        {uint64_t{850} << 20, "850 MB"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST_F(BuilderFixture, LogCreatesTheDataFolderAndPrefixesOnlyTheFile) {
    ASSERT_FALSE(fs::exists(dir / "data"));
    builder.Log("first line");
    builder.Log("second line");
    std::vector<std::string> file = Lines(test::ReadFile(dir / "data" / "launcher.log"));
    ASSERT_EQ(file.size(), 2u);
    std::regex timed("[0-2][0-9]:[0-5][0-9]:[0-6][0-9] (first|second) line");
    for (const std::string& line : file) EXPECT_TRUE(std::regex_match(line, timed)) << line;
    EXPECT_EQ(shown, (std::vector<std::string>{"first line", "second line"}));
}

TEST_F(BuilderFixture, LogIntoAnUnwritableFolderStillReachesTheInterface) {
    test::WriteFile(dir / "data", "a file where the folder should be");
    builder.Log("kept");
    EXPECT_EQ(shown, std::vector<std::string>{"kept"});
}

TEST_F(BuilderFixture, StageTiming) {
    builder.BeginTiming();
    EXPECT_TRUE(builder.RunStage("fetch", [] { return true; }));
    EXPECT_FALSE(builder.RunStage("unpack", [] { return false; }));
    builder.ReportTiming();

    ASSERT_EQ(builder.stageTimes.size(), 2u);
    EXPECT_EQ(builder.stageTimes[1].name, "unpack");
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_TRUE(std::regex_match(shown[0], std::regex("build started \\d{4}-\\d\\d-\\d\\d, [1-9]\\d* logical processors")))
        << shown[0];
    EXPECT_TRUE(std::regex_match(shown[1], std::regex("stage fetch: \\d+\\.\\d s"))) << shown[1];
    EXPECT_TRUE(std::regex_match(shown[2], std::regex("stage unpack: \\d+\\.\\d s \\(stopped\\)"))) << shown[2];
    EXPECT_TRUE(std::regex_match(shown[3], std::regex("timing: 2 stages, \\d+\\.\\d s in all"))) << shown[3];
    EXPECT_TRUE(std::regex_match(shown[4], std::regex("timing: {3,}\\d+\\.\\d s {1,3}\\d+\\.\\d%  fetch"))) << shown[4];
    EXPECT_TRUE(std::regex_match(shown[5], std::regex("timing: .*%  unpack"))) << shown[5];
}

TEST_F(BuilderFixture, TimingWithoutStagesOrTime) {
    builder.ReportTiming();
    builder.stageTimes = {{"a", 0}, {"b", 0}};
    builder.ReportTiming();
    EXPECT_EQ(shown, (std::vector<std::string>{"timing: 0 stages, 0.0 s in all", "timing: 2 stages, 0.0 s in all",
                                               "timing:       0.0 s   0.0%  a", "timing:       0.0 s   0.0%  b"}));
}

TEST_F(BuilderFixture, BeginTimingForgetsTheLastRun) {
    builder.RunStage("old", [] { return true; });
    builder.BeginTiming();
    EXPECT_TRUE(builder.stageTimes.empty());
}

TEST_F(BuilderFixture, ReportWithAndWithoutSink) {
    builder.Report("nobody listens", "", 0.5);  // no sink: nothing happens
    std::vector<Status> seen;
    builder.statusSink = [&](const Status& s) { seen.push_back(s); };
    builder.Report("Downloading", "3 MB", 0.25);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "Downloading");
    EXPECT_EQ(seen[0].detail, "3 MB");
    EXPECT_EQ(seen[0].progress, 0.25);
}

TEST_F(BuilderFixture, Paths) {
    EXPECT_EQ(builder.PlayDir(), dir / "data" / "play");
    EXPECT_EQ(builder.GameExePath(), dir / "data" / "play" / ("Game" + platform->ExeSuffix()));
}

TEST_F(BuilderFixture, LeftoversOnlyInPackageMode) {
    test::WriteFile(dir / "data" / "tools" / "llvm" / "bin" / "clang", std::string(100, 'c'));
    test::WriteFile(dir / "data" / "tools" / "FFmpeg" / "ffmpeg", std::string(50, 'f'));
    test::WriteFile(dir / "data" / "agreed.txt", "yes");
    test::WriteFile(dir / "data" / "source" / "out" / "a.o", std::string(7, 'o'));
    EXPECT_TRUE(builder.LeftoverBuildFiles().empty());
    EXPECT_EQ(builder.LeftoverBuildFilesSize(), 0u);
    EXPECT_EQ(builder.BuildFilesSize(), 7u);

    builder.game.package = "Game-package.zip";
    std::vector<fs::path> list = builder.LeftoverBuildFiles();
    EXPECT_EQ(list, (std::vector<fs::path>{dir / "data" / "tools" / "llvm", dir / "data" / "source",
                                           dir / "data" / "agreed.txt"}));
    EXPECT_EQ(builder.LeftoverBuildFilesSize(), 100u + 7u + 3u);
    EXPECT_EQ(builder.BuildFilesSize(), 0u);
    test::WriteFile(dir / "data" / "play" / "compiler" / "work" / "x", std::string(11, 'x'));
    EXPECT_EQ(builder.BuildFilesSize(), 11u);
}

}  // namespace
}  // namespace launcher

#include "build/tools.h"

namespace launcher {
namespace {

TEST(ReadWholeFile, ReadsBinaryAndRefusesWhatIsNotAFile) {
    test::TempDir dir;
    std::string bytes("a\r\nb\0c", 6);
    bytes += std::string(200000, 'z');
    test::WriteFile(dir / "f.bin", bytes);
    std::string out = "old";
    ASSERT_TRUE(ReadWholeFile(dir / "f.bin", out));
    EXPECT_EQ(out, bytes);
    out = "old";
    EXPECT_FALSE(ReadWholeFile(dir / "missing", out));
    EXPECT_FALSE(ReadWholeFile(dir.path(), out));
    EXPECT_EQ(out, "old");
}

}  // namespace
}  // namespace launcher
