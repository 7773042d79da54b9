#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/spawn.h"

extern char** environ;

namespace launcher::test {

Spawned::Spawned(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0) handle_ = pid;
}

Spawned::~Spawned() {
    if (handle_ != 0 && !ended_) {
        kill(static_cast<pid_t>(handle_), SIGKILL);
        Wait();
    }
}

bool Spawned::Running() {
    if (handle_ == 0 || ended_) return false;
    int status = 0;
    pid_t r = waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
    if (r == 0) return true;
    ended_ = true;
    code_ = r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
}

int Spawned::Wait() {
    if (handle_ == 0) return -1;
    if (!ended_) {
        int status = 0;
        pid_t r = waitpid(static_cast<pid_t>(handle_), &status, 0);
        ended_ = true;
        code_ = r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return code_;
}

void KillThisProcess() {
    ::kill(::getpid(), SIGKILL);
    std::abort();  // not reached
}

}  // namespace launcher::test
