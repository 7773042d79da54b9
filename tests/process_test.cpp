// Platform::Run against real child processes (the helper programs in tests/programs).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "support/terminal.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Program(const std::string& name) { return PathUtf8(test::TestProgram(name)); }

struct Result {
    int code = 0;
    std::vector<std::string> lines;
};

Result RunCollect(const std::vector<std::string>& args, const EnvMap& overrides = {}, const fs::path& workDir = {},
                  const std::atomic<bool>* stop = nullptr) {
    Result result;
    LineSink sink = [&](const std::string& line) { result.lines.push_back(line); };
    result.code = MakePlatform()->Run(args, workDir, overrides, sink, stop);
    return result;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The tricky arguments come back exactly as given; on Windows this goes through the real C runtime's
// command-line splitting.
TEST(ProcessRun, ArgumentsSurviveTheRoundTrip) {
    const std::vector<std::string> args = {
        "plain",
        "two words",
        "",
        "C:\\Data Folder\\",
        "trailing\\\\",
        "say \"hi\"",
        "one\\\"quote",
        "two\\\\\"quotes\\\\\"",
        "\"",
        "\\\\server\\share with space\\",
        "tab\there",
        "gr\xc3\xbc\xc3\x9f"
        "e \xe6\x97\xa5\xe6\x9c\xac",
        "--flag=a b\\c\\",
    };
    std::vector<std::string> command = {Program("argv_print")};
    command.insert(command.end(), args.begin(), args.end());
    const Result result = RunCollect(command);
    ASSERT_EQ(result.code, 0);
    std::vector<std::string> expected;
    for (const std::string& arg : args) expected.push_back("[" + arg + "]");
    EXPECT_EQ(result.lines, expected);
}

TEST(ProcessRun, CutsOutputIntoLinesFromBothStreams) {
    struct Case {
        std::vector<std::string> ops;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{"out:a\\r\\nb"}, {"a", "b"}},
        {{"out:10%\\r", "sleep:20", "out:55%\\r", "sleep:20", "out:100%\\r\\n"}, {"10%", "55%", "100%"}},
        {{"out:to stdout\\n", "err:to stderr\\n", "out:again\\n"}, {"to stdout", "to stderr", "again"}},
        {{"out:\\n\\n\\r\\n"}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> command = {Program("emit")};
        command.insert(command.end(), c.ops.begin(), c.ops.end());
        const Result result = RunCollect(command);
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(result.lines, c.lines) << testing::PrintToString(c.ops);
    }
}

TEST(ProcessRun, LongOutputArrivesWholeAcrossReads) {
    const Result result = RunCollect({Program("emit"), "lines:20000"});
    ASSERT_EQ(result.code, 0);
    ASSERT_EQ(result.lines.size(), 20000u);
    EXPECT_EQ(result.lines.front(), "line 0 of a longer output");
    EXPECT_EQ(result.lines[12345], "line 12345 of a longer output");
    EXPECT_EQ(result.lines.back(), "line 19999 of a longer output");
}

TEST(ProcessRun, LinesArriveWhileTheChildRuns) {
    const auto start = Clock::now();
    std::vector<Clock::duration> arrivals;
    LineSink sink = [&](const std::string&) { arrivals.push_back(Clock::now() - start); };
    const int code =
        MakePlatform()->Run({Program("emit"), "out:first\\n", "sleep:1500", "out:second\\n"}, {}, {}, sink, nullptr);
    const auto total = Clock::now() - start;
    EXPECT_EQ(code, 0);
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_LT(arrivals[0], total - std::chrono::milliseconds(1000));
}

TEST(ProcessRun, ReturnsTheExitCode) {
    for (int code : {0, 1, 3, 42, 255}) {
        EXPECT_EQ(RunCollect({Program("emit"), "out:x\\n", "exit:" + std::to_string(code)}).code, code);
    }
}

// What a child finds on its standard input and terminal, and how it ended.
std::string InputAndTerminal() {
    const Result result = RunCollect({Program("emit"), "stdin", "tty"});
    std::string out;
    for (const std::string& line : result.lines) out += line + "\n";
    return out + "exit " + std::to_string(result.code) + "\n";
}

// Started from a terminal, a child reads nothing and finds no terminal: one that would read or ask
// there (git for a password, ssh for a host key) gets an end of input instead of being stopped.
TEST(ProcessRun, AChildHasNoInputAndNoTerminal) {
    const std::string expected = "stdin: 0 bytes\ntty: none\nexit 0\n";
#ifdef _WIN32
    EXPECT_EQ(InputAndTerminal(), expected);
#else
    const test::TerminalRun terminal = test::RunChildInTerminal(
        "ProcessRunInTerminal.DISABLED_RunsAChild", nlohmann::json::object(), std::chrono::seconds(20));
    if (!terminal.ran) GTEST_SKIP() << terminal.why;
    ASSERT_TRUE(terminal.finished) << "the child still waited after 20 s " << terminal.why;
    EXPECT_EQ(terminal.result, expected);
#endif
}

// The far end of the test above, started by it under a terminal of its own.
TEST(ProcessRunInTerminal, DISABLED_RunsAChild) {
    nlohmann::json task;
    if (!test::ReadTerminalTask(task)) GTEST_SKIP() << "ProcessRun.AChildHasNoInputAndNoTerminal runs it";
    test::WriteTerminalResult(task, InputAndTerminal());
}

TEST(ProcessRun, MissingProgramGivesOneCannotStartLine) {
    const fs::path missing = test::SelfDir() / ("no such program" + MakePlatform()->ExeSuffix());
    const Result result = RunCollect({PathUtf8(missing), "--version"});
    EXPECT_EQ(result.code, -1);
    ASSERT_EQ(result.lines.size(), 1u);
    const std::string& line = result.lines[0];
    EXPECT_EQ(line.rfind("cannot start \"" + PathUtf8(missing) + "\" --version (2: ", 0), 0u) << line;
    EXPECT_EQ(line.back(), ')');
#ifndef _WIN32
    EXPECT_NE(line.find("No such file or directory"), std::string::npos) << line;
#endif
    // Without a sink the failure leaves nothing but the -1.
    EXPECT_EQ(MakePlatform()->Run({PathUtf8(missing)}, {}, {}, LineSink(), nullptr), -1);
}

TEST(ProcessRun, MissingProgramFoundByNameOnPath) {
    const Result result = RunCollect({"launcher-no-such-tool"});
    EXPECT_EQ(result.code, -1);
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_EQ(result.lines[0].rfind("cannot start launcher-no-such-tool (2", 0), 0u) << result.lines[0];
}

TEST(ProcessRun, EmptySinkStillRunsTheChild) {
    EXPECT_EQ(MakePlatform()->Run({Program("emit"), "lines:5000", "exit:7"}, {}, {}, LineSink(), nullptr), 7);
}

TEST(ProcessRun, RunsInTheGivenFolder) {
    test::TempDir dir;
    const fs::path folder = dir / "w\xc3\xa4rk dir";
    fs::create_directories(folder);
    const Result result = RunCollect({Program("emit"), "cwd"}, {}, folder);
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_TRUE(fs::equivalent(Utf8Path(result.lines[0]), folder)) << result.lines[0];
}

TEST(ProcessRun, OverridesAreLaidOverTheInheritedEnvironment) {
    auto platform = MakePlatform();
    const std::string inheritedPath = platform->GetEnv("PATH");
    ASSERT_FALSE(inheritedPath.empty());
    const Result result = RunCollect({Program("emit"), "env"}, {{"Path", "launcher-tools"},
                                                                 {"LAUNCHER_EMPTY", ""},
                                                                 {"LAUNCHER_TEXT", "gr\xc3\xbc\xc3\x9f=1 2"}});
    ASSERT_EQ(result.code, 0);
    EXPECT_TRUE(Contains(result.lines, "LAUNCHER_EMPTY="));
    EXPECT_TRUE(Contains(result.lines, "LAUNCHER_TEXT=gr\xc3\xbc\xc3\x9f=1 2"));
    EXPECT_TRUE(Contains(result.lines, "Path=launcher-tools"));
#ifdef _WIN32
    // Names are case-insensitive: the override is the one PATH the child sees.
    for (const std::string& line : result.lines) {
        std::string name = line.substr(0, line.find('=', 1));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
        if (name == "PATH") {
            EXPECT_EQ(line, "Path=launcher-tools");
        }
    }
    // The block is sorted, the hidden "=" entries first. Wine appends variables of its own to a child's
    // block, so only Windows itself shows the order as it was passed.
    for (std::size_t i = 1; !RunningUnderWine() && i < result.lines.size(); ++i) {
        const std::string a = result.lines[i - 1].substr(0, result.lines[i - 1].find('=', 1));
        const std::string b = result.lines[i].substr(0, result.lines[i].find('=', 1));
        EXPECT_LE(_stricmp(a.c_str(), b.c_str()), 0) << a << " before " << b;
    }
#else
    // Names are case-sensitive: PATH stays as inherited beside the new Path.
    EXPECT_TRUE(Contains(result.lines, "PATH=" + inheritedPath));
#endif
}

// A program written a moment ago may still be held open for writing (by a virus scanner, or on POSIX by
// a child that another thread started at that moment): its start is tried again until it is let go.
TEST(ProcessRun, AProgramHeldForAMomentStartsOnceItIsLetGo) {
#ifdef _WIN32
    // Wine refuses such a start as "file not found", which no retry may hide; Windows says "sharing violation".
    if (RunningUnderWine()) GTEST_SKIP() << "Wine reports a held program as missing";
#endif
    test::TempDir dir;
    const fs::path copy = dir / ("held" + MakePlatform()->ExeSuffix());
    fs::copy_file(test::TestProgram("emit"), copy);
    fs::permissions(copy, fs::perms::owner_all, fs::perm_options::add);
    std::ofstream writer(copy, std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open());
    std::thread release([&writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writer.close();
    });
    const Result result = RunCollect({PathUtf8(copy), "out:started\\n"});
    release.join();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.lines, std::vector<std::string>{"started"});
}

// Which failed starts are worth another try: only those that pass by themselves.
TEST(ProcessRun, OnlyPassingRefusalsOfAStartAreTriedAgain) {
    struct Case {
        const char* name;
        long error;
        bool again;
    };
#ifdef _WIN32
    const Case cases[] = {
        {"sharing violation", 32, true},
        {"access denied", 5, true},
        {"lock violation", 33, true},
        {"internal error (Wine under load)", 1359, true},
        {"file not found", 2, false},
        {"path not found", 3, false},
        {"not a program", 193, false},
    };
    for (const Case& c : cases) EXPECT_EQ(MayStartOnRetry(static_cast<unsigned long>(c.error)), c.again) << c.name;
#else
    const Case cases[] = {
        {"text file busy", ETXTBSY, true},
        {"no process for the moment", EAGAIN, true},
        {"no such file", ENOENT, false},
        {"permission denied", EACCES, false},
        {"not a program", ENOEXEC, false},
    };
    for (const Case& c : cases) EXPECT_EQ(MayStartOnRetry(static_cast<int>(c.error)), c.again) << c.name;
#endif
}

// ---- Stop ---------------------------------------------------------------------------------------------

bool Alive(const std::string& pid) {
    const Result probe = RunCollect({Program("child_tree"), "alive", pid});
    return probe.lines == std::vector<std::string>{"alive"};
}

TEST(ProcessRunConcurrency, StopEndsTheChildAndItsChildren) {
    std::atomic<bool> stop{false};
    std::string grandchild;
    Clock::time_point stoppedAt;
    LineSink sink = [&](const std::string& line) {
        if (line.rfind("grandchild ", 0) == 0) {
            grandchild = line.substr(11);
            ASSERT_TRUE(Alive(grandchild));
            stoppedAt = Clock::now();
            stop = true;
        }
    };
    const auto start = Clock::now();
    const int code = MakePlatform()->Run({Program("child_tree")}, {}, {}, sink, &stop);
    const auto end = Clock::now();
    EXPECT_EQ(code, -1);
    ASSERT_FALSE(grandchild.empty());
    // The pair would sleep for 30 s; a stop ends both at once.
    EXPECT_LT(end - stoppedAt, std::chrono::seconds(2));
    EXPECT_LT(end - start, std::chrono::seconds(10));
    EXPECT_FALSE(Alive(grandchild));
}

TEST(ProcessRunConcurrency, StopFromAnotherThreadWhileTheChildSleeps) {
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
    Clock::time_point stoppedAt;
    // The stop comes once the child is asleep (its first line arrived, and a moment later): on a busy
    // machine a child can take longer than any fixed delay to start.
    std::thread stopper([&] {
        for (int i = 0; i < 3000 && !started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stoppedAt = Clock::now();
        stop = true;
    });
    std::vector<std::string> lines;
    LineSink sink = [&](const std::string& line) {
        lines.push_back(line);
        started = true;
    };
    const int code =
        MakePlatform()->Run({Program("emit"), "out:started\\n", "sleep:30000", "out:never\\n"}, {}, {}, sink, &stop);
    const auto end = Clock::now();
    stopper.join();
    EXPECT_EQ(code, -1);
    EXPECT_EQ(lines, std::vector<std::string>{"started"});
    EXPECT_LT(end - stoppedAt, std::chrono::seconds(5));
}

TEST(ProcessRunConcurrency, StopSetAfterACleanExitStillGivesMinusOne) {
    std::atomic<bool> stop{false};
    LineSink sink = [&](const std::string&) { stop = true; };
    EXPECT_EQ(MakePlatform()->Run({Program("emit"), "out:done\\n", "exit:0"}, {}, {}, sink, &stop), -1);
    // Already set before the start: the child runs (nothing polls before it starts) and the result is -1.
    EXPECT_EQ(MakePlatform()->Run({Program("emit"), "exit:0"}, {}, {}, LineSink(), &stop), -1);
    stop = false;
    EXPECT_EQ(MakePlatform()->Run({Program("emit"), "exit:4"}, {}, {}, LineSink(), &stop), 4);
}

// The child printed "grandchild <pid>"; that grandchild is killed once the child ended (allowing the
// system a moment to finish it off).
void ExpectGrandchildEnds(const Result& result) {
    ASSERT_EQ(result.lines.size(), 1u);
    ASSERT_EQ(result.lines[0].rfind("grandchild ", 0), 0u);
    const std::string grandchild = result.lines[0].substr(11);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Alive(grandchild) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Alive(grandchild));
}

TEST(ProcessRunConcurrency, WhatTheChildLeftRunningEndsWithIt) {
    const Result result = RunCollect({Program("child_tree"), "leave"});
    ASSERT_EQ(result.code, 0);
    ExpectGrandchildEnds(result);
}

TEST(ProcessRunConcurrency, AGrandchildHoldingTheOutputDoesNotHoldUpTheEnd) {
    // The grandchild keeps the output pipe open and would sleep for 30 s; the run is over when the child is.
    const std::atomic<bool> never{false};
    for (const std::atomic<bool>* stop : std::vector<const std::atomic<bool>*>{nullptr, &never}) {
        const auto start = Clock::now();
        const Result result = RunCollect({Program("child_tree"), "linger"}, {}, {}, stop);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << "with a stop flag: " << (stop != nullptr);
        EXPECT_EQ(result.code, 0);
        ExpectGrandchildEnds(result);
    }
}

TEST(ProcessRunConcurrency, SeveralThreadsRunChildrenAtOnce) {
    // A slow child on one thread must not hold up a quick one on another (no shared pipe ends), and each
    // run sees only its own output.
    std::atomic<bool> stop{false};
    std::thread slow([&] { RunCollect({Program("emit"), "sleep:20000"}, {}, {}, &stop); });
    std::vector<std::thread> threads;
    std::vector<Result> results(6);
    std::vector<std::string> problems(results.size());
    const auto start = Clock::now();
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round) {
                const std::string tag = "thread " + std::to_string(i) + " round " + std::to_string(round);
                Result r = RunCollect({Program("emit"), "out:" + tag + "\\n", "lines:200", "exit:" + std::to_string(i)},
                                      {{"LAUNCHER_TAG", tag}});
                if (r.code != static_cast<int>(i) || r.lines.size() != 201 || r.lines[0] != tag) {
                    results[i].code = -100;
                    problems[i] = tag + ": exit " + std::to_string(r.code) + ", " + std::to_string(r.lines.size()) +
                                  " lines" + (r.lines.empty() ? "" : ", the first \"" + r.lines[0] + "\"");
                }
                results[i].lines.push_back(tag);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const auto elapsed = Clock::now() - start;
    stop = true;
    slow.join();
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].code, 0) << "thread " << i << ": " << problems[i];
        EXPECT_EQ(results[i].lines.size(), 5u);
    }
    EXPECT_LT(elapsed, std::chrono::seconds(15));
}

}  // namespace
}  // namespace launcher
