#include <chrono>
#include <thread>

#include "platform/paths.h"
#include "support/spawn.h"
#include "support/terminal.h"
#include "support/test_support.h"

namespace launcher::test {

namespace {

// in_terminal's own exit codes.
constexpr int kTimedOut = 124;
constexpr int kNoTerminal = 125;
// How long in_terminal itself may take past the child's limit before it is taken for hung.
constexpr auto kGrace = std::chrono::seconds(10);

}  // namespace

TerminalRun RunChildInTerminal(const std::string& childTest, const nlohmann::json& task, std::chrono::seconds limit) {
    TerminalRun run;
    TempDir dir;
    const std::filesystem::path taskFile = dir / "task.json";
    const std::filesystem::path result = dir / "result";
    const std::filesystem::path transcript = dir / "terminal";
    nlohmann::json full = task;
    full["result"] = PathUtf8(result);
    WriteFile(taskFile, full.dump());

    Spawned child(TestProgram("in_terminal"),
                  {PathUtf8(transcript), std::to_string(limit.count()),
                   std::string(kTerminalTaskVariable) + "=" + PathUtf8(taskFile), "--",
                   PathUtf8(TestProgram("launcher_tests")), "--gtest_filter=" + childTest,
                   "--gtest_also_run_disabled_tests", "--gtest_brief=1"});
    if (!child.started()) {
        run.why = "in_terminal did not start";
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit + kGrace;
    while (child.Running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (child.Running()) {
        run.ran = true;
        run.why = "in_terminal itself still ran " + std::to_string(kGrace.count()) + " s past the limit";
        return run;  // killed with `child`
    }
    const int code = child.Wait();
    run.terminal = ReadFile(transcript);
    if (code == kNoTerminal) {
        run.why = run.terminal.empty() ? "in_terminal could not start the child" : run.terminal;
        run.terminal.clear();
        return run;
    }
    run.ran = true;
    run.result = ReadFile(result);
    run.finished = code == 0;
    if (code == kTimedOut) {
        run.why = "(killed at the limit)";
    } else if (code != 0) {
        run.why = "the child ended with code " + std::to_string(code);
    }
    return run;
}

}  // namespace launcher::test
