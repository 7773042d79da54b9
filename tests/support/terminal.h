#pragma once

// A piece of a test run as if the user had started the launcher from a terminal: a child program that
// asks something on the terminal then waits there for an answer, where without one it would fail.

#include <chrono>
#include <functional>
#include <string>

namespace launcher::test {

struct TerminalRun {
    bool ran = false;       // false: no terminal can be had here, and `why` says why
    bool finished = false;  // the body returned within the limit
    std::string result;     // what it returned
    std::string terminal;   // what was written to the terminal meanwhile
    std::string why;
};

// Runs `body` in a forked child that leads a session of its own with a new pseudo-terminal as its
// controlling terminal and standard input, and hands back what it returns. A child still running after
// `limit` is killed. The child shares nothing with the test afterwards: only the returned text counts.
TerminalRun RunInTerminal(const std::function<std::string()>& body, std::chrono::seconds limit);

}  // namespace launcher::test
