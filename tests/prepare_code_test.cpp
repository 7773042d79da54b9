#include <gtest/gtest.h>

#include "build/package.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(ReadProgressLine, DetailEstimateAndFraction) {
    struct Case {
        const char* line;
        double elapsed;
        const char* detail;
        double progress;
    } cases[] = {
        {"progress 1 10 200 50 1000", 3, "10 of 200 files", 0.05},
        {"progress 1 10 200 50 1000", 10, "10 of 200 files, about 3 min left", 0.05},
        {"progress 1 100 200 500 1000", 50, "100 of 200 files, under a minute left", 0.5},
        {"progress 1 100 200 500 1000", 80, "100 of 200 files, about 1 min left", 0.5},
        {"progress 1 100 200 500 1000", 5, "100 of 200 files", 0.5},  // no estimate until past 5 s
        {"progress 1 100 200 500 1000", 59.4, "100 of 200 files, under a minute left", 0.5},
        {"progress 1 100 200 500 1000", 59.6, "100 of 200 files, about 1 min left", 0.5},
        {"progress 1 200 200 1000 1000", 10, "Finishing the build", 1.0},
        {"progress 1 250 200 1000 1000", 10, "Finishing the build", 1.0},
        {"progress 1 10 200 0 0", 10, "10 of 200 files", -1},
        {"progress -3 10 200 50 1000 trailing words", 3, "10 of 200 files", 0.05},
        // Work done past the total: nothing is left to wait for, and the bar stays full.
        {"progress 1 10 200 1200 1000", 10, "10 of 200 files, under a minute left", 1.0},
        // A huge estimate stays a sane number of minutes.
        {"progress 1 1 200 1 18446744073709551615", 100, "1 of 200 files, about 35791394 min left", 5.421e-20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " at " + std::to_string(c.elapsed));
        std::string detail;
        double progress = 99;
        ASSERT_TRUE(ReadProgressLine(c.line, c.elapsed, detail, progress));
        EXPECT_EQ(detail, c.detail);
        EXPECT_NEAR(progress, c.progress, 1e-9);
    }
    for (const char* dropped : {"progress 1 10 0 5 10", "progress 1 10", "progress", "progress x 1 2 3 4"}) {
        std::string detail = "kept";
        double progress = 99;
        EXPECT_FALSE(ReadProgressLine(dropped, 10, detail, progress)) << dropped;
    }
}

struct GameLines : ::testing::Test {
    GameLines() : platform(MakePlatform()), builder(GameDefinition{}, dir / "data", nullptr, platform.get()) {
        builder.game.title = "Aurora";
        builder.logSink = [this](const std::string& line) { logged.push_back(line); };
        builder.statusSink = [this](const Status& status) { reports.push_back(status); };
    }
    void Feed(std::initializer_list<const char*> lines, double elapsed = 1) {
        for (const char* line : lines) HandleGameLine(builder, line, elapsed, failure);
    }
    test::TempDir dir;
    std::unique_ptr<Platform> platform;
    Builder builder;
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::string failure;
};

TEST_F(GameLines, ProgressLinesAreReportedNeverLogged) {
    Feed({"progress 1 10 200 50 1000", "progress 1 10 0 5 10", "progress 1 10"}, 10);
    EXPECT_TRUE(logged.empty());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].title, "Building Aurora for this PC");
    EXPECT_EQ(reports[0].detail, "10 of 200 files, about 3 min left");
    EXPECT_DOUBLE_EQ(reports[0].progress, 0.05);
}

TEST_F(GameLines, WhatIsLoggedAndWhatFails) {
    Feed({"[12:00:01] Game code: 120 functions", "[12:00:01] loading", "[x]", "progress", "plain words",
          "failed first", "failed second"});
    EXPECT_EQ(logged, (std::vector<std::string>{"game: [12:00:01] Game code: 120 functions", "game: progress",
                                                "game: plain words", "game: failed first", "game: failed second"}));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(failure, "second");

    Feed({"failed "});
    EXPECT_EQ(logged.back(), "game: failed ");
    EXPECT_EQ(failure, "");
    Feed({"failed"});  // no blank: an ordinary line
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace launcher
