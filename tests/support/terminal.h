#pragma once

// A piece of a test run as if the user had started the launcher from a terminal: a child program that
// asks something on the terminal then waits there for an answer, where without one it would fail.

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

namespace launcher::test {

// Names the child's task file in its environment.
inline constexpr const char* kTerminalTaskVariable = "LAUNCHER_TERMINAL_TASK";

struct TerminalRun {
    bool ran = false;       // false: no terminal can be had here, and `why` says why
    bool finished = false;  // the child test ended, and passed, within the limit
    std::string result;     // what it wrote with WriteTerminalResult
    std::string terminal;   // what was written to the terminal meanwhile
    std::string why;
};

// Runs the test program's child test `childTest` (a DISABLED_ one, named "Suite.DISABLED_Name") in a
// program started afresh (tests/programs/in_terminal) that leads a session of its own with a new
// pseudo-terminal as its controlling terminal and standard input. `task` names what the child needs; it
// reads it with ReadTerminalTask. A child still running after `limit` is killed. Never a fork of this
// threaded program: the fork could inherit an allocator lock that another thread held.
TerminalRun RunChildInTerminal(const std::string& childTest, const nlohmann::json& task, std::chrono::seconds limit);

// In the child test: the task it was given; false when the test program was not started as such a child
// (the child test then skips).
bool ReadTerminalTask(nlohmann::json& task);
// In the child test: hands `text` back to the test as TerminalRun::result.
void WriteTerminalResult(const nlohmann::json& task, const std::string& text);

}  // namespace launcher::test
