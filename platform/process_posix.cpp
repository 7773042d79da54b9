#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/text.h"

namespace launcher {

namespace {

// Tells the watchdog that the child has ended, without making it sleep out its interval.
struct Watch {
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
};

// Polls every 100 ms until the child is done. A stop kills the child's whole group; so does the child's
// end, because what it left in the group would otherwise keep the output pipe open and the read waiting.
// The child is not reaped here, so its pid (the group id) stays taken.
void GroupWatchdog(Watch& watch, pid_t group, const std::atomic<bool>* stop) {
    std::unique_lock lock(watch.mutex);
    while (!watch.done) {
        if (stop != nullptr && stop->load()) {
            ::kill(-group, SIGKILL);
            return;
        }
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(group), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
            ::kill(-group, SIGKILL);
            return;
        }
        watch.wake.wait_for(lock, std::chrono::milliseconds(100));
    }
}

// Owns the spawn attributes and file actions for one start.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Starts the child; returns 0 or the errno of the failed start (the exec's included).
int Spawn(const std::vector<std::string>& args, const std::filesystem::path& workDir, const EnvMap& overrides,
          int outFd, pid_t& pid) {
    SpawnSetup setup;
    // Nothing to read: a child that would ask (git for a password, ssh for a host key) gets an end of input.
    int rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, outFd, STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, outFd, STDERR_FILENO);
    if (rc == 0 && !workDir.empty()) rc = posix_spawn_file_actions_addchdir_np(&setup.actions, workDir.c_str());
    if (rc != 0) return rc;

    // Its own session, so that a stop reaches everything it starts, and no terminal: a program that would
    // read or set up the one the launcher was started from is never stopped for it. A clean signal state.
    sigset_t mask;
    sigemptyset(&mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
    rc = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attr, &mask);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    if (rc != 0) return rc;

    std::vector<std::string> inherited;
    for (char** e = ::environ; e != nullptr && *e != nullptr; ++e) inherited.emplace_back(*e);
    std::vector<std::string> env = OverlayEnvironment(inherited, overrides);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStore(args);
    std::vector<char*> argv;
    argv.reserve(argStore.size() + 1);
    for (std::string& arg : argStore) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // glibc's posix_spawn reports a failed exec (or chdir) as its result.
    return posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), envp.data());
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 0;
}

}  // namespace

std::string SystemErrorText(const std::string& what, int code) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    std::string out = what + " (" + std::to_string(code);
    if (text != nullptr && *text != '\0') out += std::string(": ") + text;
    out += ")";
    return out;
}

bool MayStartOnRetry(int error) {
    // A program written a moment ago is still open for writing while a child that another thread started
    // at that moment holds the descriptor; or no process could be made for the moment.
    return error == ETXTBSY || error == EAGAIN;
}

int RunProcess(const std::vector<std::string>& args, const std::filesystem::path& workDir, const EnvMap& overrides,
               const LineSink& sink, const std::atomic<bool>* stop) {
    auto cannotStart = [&](int code) {
        if (sink) sink(SystemErrorText("cannot start " + JoinCommandLine(args), code));
        return -1;
    };
    if (args.empty()) return cannotStart(EINVAL);

    // Close-on-exec, so that children started by other threads at the same moment do not hold our pipe.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return cannotStart(errno);

    // A start refused for a moment (see MayStartOnRetry) is tried again a few times within about a second.
    pid_t pid = -1;
    int spawned = 0;
    for (int delayMs : {50, 100, 250, 500, 0}) {
        spawned = Spawn(args, workDir, overrides, fds[1], pid);
        if (spawned == 0 || delayMs == 0 || !MayStartOnRetry(spawned)) break;
        if (stop != nullptr && stop->load()) break;
        const std::string why = SystemErrorText("cannot start " + JoinCommandLine(args), spawned);
        std::fprintf(stderr, "%s; trying again in %d ms\n", why.c_str(), delayMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return cannotStart(spawned);
    }

    Watch watch;
    std::thread watchdog(GroupWatchdog, std::ref(watch), pid, stop);

    LineCutter cutter(sink);
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(fds[0], block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        cutter.Feed(block, static_cast<std::size_t>(got));
    }
    cutter.Finish();
    ::close(fds[0]);

    // Wait for the end without reaping, so the group id cannot be taken by a new process before the
    // leftovers of the group are killed below.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard lock(watch.mutex);
        watch.done = true;
    }
    watch.wake.notify_all();
    watchdog.join();
    ::kill(-pid, SIGKILL);

    int status = 0;
    int exitCode = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped == pid) exitCode = ExitCodeOf(status);

    if (stop != nullptr && stop->load()) return -1;
    return exitCode;
}

}  // namespace launcher
