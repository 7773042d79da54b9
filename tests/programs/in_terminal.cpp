// Runs a program as if the user had started it from a terminal: it leads a session of its own whose
// controlling terminal, and standard input, is a new pseudo-terminal; its output goes where this
// program's goes.
//   in_terminal TRANSCRIPT SECONDS [NAME=VALUE]... -- PROGRAM [ARG]...
// NAME=VALUE are set in the program's environment. What appears on the terminal is written to
// TRANSCRIPT once the program has ended. A program still running after SECONDS is killed; what it started
// in groups of their own is hung up on with the terminal once the session's leader is gone.
// Exit: the program's code; 128 + N for one ended by signal N; 124 when it ran out of time; 125 when no
// terminal or child could be had (TRANSCRIPT says why).
//
// A program of its own, single-threaded, so that the fork below inherits no lock another thread held:
// a fork of a threaded test program (under ASan above all) may hang in its first allocation.
#ifdef _WIN32
int main() {
    return 125;  // Windows gives a program no terminal of this kind
}
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pipe_io.h"

namespace {

constexpr int kTimedOut = 124;
constexpr int kNoTerminal = 125;

void WriteFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    pipe_io::WriteAll(fd, text.data(), text.size());
    ::close(fd);
}

int Fail(const char* transcript, const std::string& what) {
    WriteFile(transcript, what + ": " + std::strerror(errno));
    return kNoTerminal;
}

// Appends what the terminal holds now, without waiting.
void Drain(int master, std::string& shown) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) {
            shown.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int first = 3;
    while (first < argc && std::strcmp(argv[first], "--") != 0) ++first;
    if (argc < 4 || first + 1 >= argc) {
        static const char usage[] = "usage: in_terminal TRANSCRIPT SECONDS [NAME=VALUE]... -- PROGRAM [ARG]...\n";
        (void)!::write(STDERR_FILENO, usage, sizeof usage - 1);
        return 2;
    }
    const char* transcript = argv[1];
    const auto limit = std::chrono::seconds(std::atol(argv[2]));
    for (int i = 3; i < first; ++i) {
        if (::putenv(argv[i]) != 0) return Fail(transcript, std::string("cannot set ") + argv[i]);
    }

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return Fail(transcript, "no pseudo-terminal");
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) return Fail(transcript, "no pseudo-terminal");
    // Held open here too, so that the terminal never reads as hung up while nothing else has it open.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return Fail(transcript, "no pseudo-terminal");
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    const pid_t child = ::fork();
    if (child < 0) return Fail(transcript, "no child");
    if (child == 0) {
        // A session leader's first terminal is its controlling terminal.
        if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0 || ::dup2(slave, STDIN_FILENO) < 0) {
            ::_exit(kNoTerminal);
        }
        ::execv(argv[first + 1], argv + first + 1);
        static const char failed[] = "in_terminal: cannot start the program\n";
        (void)!::write(STDERR_FILENO, failed, sizeof failed - 1);
        ::_exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string shown;
    int status = 0;
    bool timedOut = false;
    for (;;) {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) break;
        if (ended < 0 && errno != EINTR) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        pollfd fd = {master, POLLIN, 0};
        // Short turns: the program's end is seen by waitpid, not by the terminal.
        if (::poll(&fd, 1, static_cast<int>(left.count() < 10 ? left.count() : 10)) > 0) Drain(master, shown);
    }
    Drain(master, shown);
    WriteFile(transcript, shown);
    ::close(slave);
    ::close(master);
    if (timedOut) return kTimedOut;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : kNoTerminal;
}
#endif
