#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher::test {

// A child program started by a test without waiting for it; ended (killed) with the object if it
// still runs then. Arguments must hold no double quotes.
class Spawned {
public:
    Spawned(const std::filesystem::path& program, const std::vector<std::string>& args);
    ~Spawned();
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool started() const { return handle_ != 0; }
    bool Running();
    // The exit code; -1 when the child never started.
    int Wait();

private:
    std::intptr_t handle_ = 0;  // the process id or handle
    bool ended_ = false;
    int code_ = -1;
};

// Ends this process at once, the way a crash or a kill from outside would: no destructor, no handler and
// no buffered output of it runs (SIGKILL; TerminateProcess on Windows).
[[noreturn]] void KillThisProcess();

}  // namespace launcher::test
