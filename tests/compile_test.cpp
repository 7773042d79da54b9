#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "build/builder.h"
#include "build/source_build.h"
#include "platform/paths.h"
#include "support/git_repo.h"
#include "support/stand_in.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

Tool MakeTool(const std::string& id, const std::string& stamp, bool optional = false) {
    Tool tool;
    tool.id = id;
    tool.title = id;
    tool.stamp = stamp;
    tool.optional = optional;
    return tool;
}

TEST(ReadBuildProgress, NinjaStatusLines) {
    struct Case {
        const char* line;
        const char* detail;  // nullptr: nothing is reported
        double fraction;
    } cases[] = {
        {"[12/345] Building CXX object x.obj", "12 of 345 steps", 12.0 / 345},
        {"[345/345] Linking CXX executable y.exe", "345 of 345 steps", 1.0},
        {"[ 3/10] leading blanks are skipped", "3 of 10 steps", 0.3},
        {"[0/0] x", nullptr, 0},
        {"[1/2", nullptr, 0},
        {"[ 5%] x/y", nullptr, 0},
        {"abc", nullptr, 0},
        {"[/]", nullptr, 0},
        {"[9/x] no total", nullptr, 0},
        // Step counts past a 32-bit integer are held at its largest value.
        {"[1/99999999999] big", "1 of 2147483647 steps", 1 / 99999999999.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string detail;
        double fraction = -7;
        ASSERT_EQ(ReadBuildProgress(c.line, detail, fraction), c.detail != nullptr);
        if (c.detail == nullptr) continue;
        EXPECT_EQ(detail, c.detail);
        EXPECT_DOUBLE_EQ(fraction, c.fraction);
    }
}

TEST(ToolsFingerprint, OneLinePerToolThatIsNotOptional) {
    Toolchain toolchain;
    EXPECT_EQ(ToolsFingerprint(toolchain), "");
    toolchain.tools = {MakeTool("cmake", "aa bin/ share/"), MakeTool("ffmpeg", "ff", true),
                       MakeTool("msvc", "14.44.17.14")};
    EXPECT_EQ(ToolsFingerprint(toolchain), "cmake aa bin/ share/\nmsvc 14.44.17.14\n");
}

// CMake through the stand-in (both targets): what the launcher runs and what it keeps of the build folder.
struct CompileTest : ::testing::Test {
    CompileTest() {
        std::string error;
        EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, error)) << error;
        game.package.clear();
        builder.game = game;
        builder.logSink = [this](const std::string& line) { logged.push_back(line); };
        builder.statusSink = [this](const Status& status) { reports.push_back(status); };
        builder.toolchain.tools = {MakeTool("cmake", "c1"), MakeTool("ninja", "n1"), MakeTool("ffmpeg", "f1", true)};
        test::InstallStandIn("cmake_stand_in", cmake);
        fs::create_directories(source);
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    bool Compile() {
        logged.clear();
        reports.clear();
        builder.stageTimes.clear();
        builder.stop = false;
        return builder.Compile(err);
    }
    size_t Logged(const std::string& line) const { return std::count(logged.begin(), logged.end(), line); }
    bool Reported(const std::string& title, const std::string& detail, double progress) const {
        return std::any_of(reports.begin(), reports.end(), [&](const Status& s) {
            return s.title == title && s.detail == detail && s.progress == progress;
        });
    }
    std::vector<std::string> StageLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : logged) {
            if (line.rfind("stage ", 0) != 0) continue;
            const bool stopped = line.size() > 10 && line.compare(line.size() - 10, 10, " (stopped)") == 0;
            lines.push_back(line.substr(0, line.find(": ")) + (stopped ? " (stopped)" : ""));
        }
        return lines;
    }

    GameDefinition game;
    test::TempDir tmp;
    test::TestPlatform platform;
    // A blank in the path: the Windows command lines must quote it.
    Builder builder{game, tmp / "my data", nullptr, &platform};
    fs::path source = tmp / "my data" / "source";
    fs::path build = source / "out" / "build" / "release";
    fs::path cmake = builder.ToolDir("cmake") / "bin" / ("cmake" + platform.ExeSuffix());
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::string err;
};

TEST_F(CompileTest, ConfiguresAndBuildsWithTheInstalledCMake) {
    platform.env["PATH"] = "inherited";
    ASSERT_TRUE(Compile()) << err;
    std::vector<test::StandInCall> calls = test::StandInCalls(cmake);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"--preset", "release", "-DCMAKE_LINKER_TYPE=LLD"}));
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"--build", "out/build/release"}));
    for (test::StandInCall& call : calls) {
        EXPECT_TRUE(fs::equivalent(call.cwd, source));
        EXPECT_EQ(call.env["PATH"], builder.BuildEnvironment(builder.toolchain)["PATH"]);
        EXPECT_EQ(call.env["GIT_CONFIG_VALUE_0"], "*");
    }
    EXPECT_EQ(test::ReadFile(build / ".launcher-tools"), "cmake c1\nninja n1\n");

    // Each run is a stage; the configure's lines are marked, the build's are not.
    std::vector<std::string> stages;
    for (const StageTime& stage : builder.stageTimes) stages.push_back(stage.name);
    EXPECT_EQ(stages, (std::vector<std::string>{"configure (cmake)", "compile and link (cmake --build)"}));
    EXPECT_EQ(Logged("cmake: -- Configuring release"), 1u);
    EXPECT_EQ(Logged("[1/3] Building CXX object game.obj"), 1u);
    EXPECT_EQ(Logged("cmake: [1/3] Building CXX object game.obj"), 0u);
    EXPECT_TRUE(Reported("Preparing the build", "the first time also downloads the libraries it uses", -1));
    EXPECT_TRUE(Reported("Building Aurora: Starblaze Online", "the first build takes 30 to 90 minutes", 0));
    EXPECT_TRUE(Reported("Building Aurora: Starblaze Online", "1 of 3 steps", 1.0 / 3));
    EXPECT_TRUE(Reported("Building Aurora: Starblaze Online", "3 of 3 steps", 1.0));
    EXPECT_EQ(Logged("the build tools changed: CMake's cache is made again"), 0u);
}

TEST_F(CompileTest, TheCacheIsMadeAgainOnlyWhenTheToolsChanged) {
    struct Case {
        const char* name;
        std::function<void(CompileTest&)> change;
        bool reset;
    } cases[] = {
        {"nothing changed", [](CompileTest&) {}, false},
        {"an optional tool changed", [](CompileTest& t) { t.builder.toolchain.tools[2].stamp = "f2"; }, false},
        {"a tool's stamp changed", [](CompileTest& t) { t.builder.toolchain.tools[0].stamp = "c2"; }, true},
        {"a tool was added",
         [](CompileTest& t) { t.builder.toolchain.tools.push_back(MakeTool("git", "g1")); }, true},
        {"no fingerprint beside the cache", [](CompileTest& t) { fs::remove(t.build / ".launcher-tools"); }, true},
        {"a fingerprint with a carriage return",
         [](CompileTest& t) { test::WriteFile(t.build / ".launcher-tools", "cmake c1\r\nninja n1\r\n"); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        builder.toolchain.tools[0].stamp = "c1";
        builder.toolchain.tools[2].stamp = "f1";
        builder.toolchain.tools.resize(3);
        ASSERT_TRUE(Compile()) << err;
        // The cache and CMake's folder as a configure left them, and a file of the build beside them.
        test::WriteFile(build / "CMakeCache.txt", "old cache");
        test::WriteFile(build / "CMakeFiles" / "old.txt", "old rules");
        test::WriteFile(build / "Starblaze.obj", "built before");

        c.change(*this);
        ASSERT_TRUE(Compile()) << err;
        EXPECT_EQ(Logged("the build tools changed: CMake's cache is made again"), c.reset ? 1u : 0u);
        EXPECT_EQ(test::ReadFile(build / "CMakeCache.txt"), c.reset ? "stand-in cache" : "old cache");
        EXPECT_EQ(fs::exists(build / "CMakeFiles" / "old.txt"), !c.reset);
        EXPECT_EQ(test::ReadFile(build / "Starblaze.obj"), "built before");
        EXPECT_EQ(test::ReadFile(build / ".launcher-tools"), ToolsFingerprint(builder.toolchain));
    }

    // Without a cache nothing is compared.
    fs::remove(build / "CMakeCache.txt");
    test::WriteFile(build / ".launcher-tools", "something else");
    ASSERT_TRUE(Compile()) << err;
    EXPECT_EQ(Logged("the build tools changed: CMake's cache is made again"), 0u);
}

TEST_F(CompileTest, FailuresAndStops) {
    struct Case {
        const char* control;
        bool stop;  // stop while the run waits
        const char* err;
        size_t runs;
        std::vector<std::string> stages;
    } cases[] = {
        {"configure exit 1", false, "Preparing the build failed, see launcher.log", 1,
         {"stage configure (cmake) (stopped)"}},
        {"build exit 2", false, "The build failed, see launcher.log", 2,
         {"stage configure (cmake)", "stage compile and link (cmake --build) (stopped)"}},
        // A stop is the user's, also while the build is prepared.
        {"configure sleep 20000", true, "cancelled", 1, {"stage configure (cmake) (stopped)"}},
        {"build sleep 20000", true, "cancelled", 2,
         {"stage configure (cmake)", "stage compile and link (cmake --build) (stopped)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        fs::remove(build / ".launcher-tools");
        test::StandInCalls(cmake, true);
        test::ControlStandIn(cmake, c.control);
        std::thread stopper;
        if (c.stop) {
            stopper = std::thread([&] {
                for (int i = 0; i < 500 && test::StandInCalls(cmake).size() < c.runs; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                builder.stop = true;
            });
        }
        logged.clear();
        builder.stop = false;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(builder.Compile(err));
        if (stopper.joinable()) stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(test::StandInCalls(cmake).size(), c.runs);
        EXPECT_EQ(StageLines(), c.stages);
        // Written only after a configure that succeeded.
        EXPECT_EQ(fs::exists(build / ".launcher-tools"), c.runs == 2);
    }
}

TEST_F(CompileTest, WithoutCMakeTheConfigureFails) {
    fs::remove(cmake);
    test::TempDir empty;
    test::ScopedEnv path("PATH", PathUtf8(empty.path()));
    EXPECT_FALSE(Compile());
    EXPECT_EQ(err, "Preparing the build failed, see launcher.log");
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(),
                            [](const std::string& line) { return line.rfind("cmake: cannot start cmake", 0) == 0; }));
}

}  // namespace
}  // namespace launcher
