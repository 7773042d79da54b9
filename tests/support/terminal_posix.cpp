#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/terminal.h"

namespace launcher::test {

namespace {

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

TerminalRun RunInTerminal(const std::function<std::string()>& body, std::chrono::seconds limit) {
    TerminalRun run;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name)) {
        run.why = std::string("no pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) ::close(master);
        return run;
    }
    int result[2];
    if (::pipe2(result, O_CLOEXEC) != 0) {
        run.why = std::string("no pipe: ") + std::strerror(errno);
        ::close(master);
        return run;
    }

    const pid_t child = ::fork();
    if (child == 0) {
        ::close(result[0]);
        // The first terminal a session leader opens becomes its controlling terminal.
        if (::setsid() < 0) ::_exit(3);
        const int slave = ::open(name, O_RDWR);
        if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(4);
        ::dup2(slave, STDIN_FILENO);
        WriteAll(result[1], body());
        // Nothing of the test's own ending (its checks, its temporary folders) may run twice.
        ::_exit(0);
    }
    ::close(result[1]);
    if (child < 0) {
        run.why = std::string("no child: ") + std::strerror(errno);
        ::close(result[0]);
        ::close(master);
        return run;
    }
    run.ran = true;

    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool open = true;
    char buffer[4096];
    while (open) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd fds[2] = {{result[0], POLLIN, 0}, {master, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) run.terminal.append(buffer, static_cast<size_t>(n));
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::read(result[0], buffer, sizeof buffer);
            if (n > 0) {
                run.result.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                open = false;
            }
        }
    }
    run.finished = !open;
    // A child that still waits is ended; what it started in groups of its own is hung up on with the
    // terminal once the session's leader is gone.
    if (!run.finished) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (run.finished && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        run.finished = false;
        run.why = "the child ended with status " + std::to_string(status);
    }
    ::close(result[0]);
    ::close(master);
    return run;
}

}  // namespace launcher::test
