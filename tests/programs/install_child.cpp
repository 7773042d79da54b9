// The far end of the install kill test: installs the build in DATA (a folder the test made) and ends itself
// like a crash before step KILL_AT of the install (counted from 0; -1 never), having written
// DATA/child.ready as it begins and, once the install got through, DATA/child.finished.
//   install_child DATA KILL_AT
// POSIX also serves many kills from one start, cheaply: each request on stdin (three 64-bit numbers: the
// step to kill at, a delay in microseconds after which this program kills the install itself when not
// negative, the length of DATA; then DATA) is an install in a fork of this program, which has no other
// thread (a fork of a threaded program can inherit a lock some other thread held, and hang). Each answer on
// stdout is two 64-bit numbers: 0 killed, 1 finished, 2 failed; and the microseconds from the install's
// start to its end.
//   install_child --serve
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "build/builder.h"
#include "platform/paths.h"
#include "stand_in.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pipe_io.h"
#endif

namespace {

[[noreturn]] void KillThisProcess() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 9);
#else
    ::kill(::getpid(), SIGKILL);
#endif
    std::abort();
}

void Touch(const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary);
}

bool Install(const std::filesystem::path& data, long long killAt, const std::function<void()>& ready) {
    std::unique_ptr<launcher::Platform> platform = launcher::MakePlatform();
    launcher::GameDefinition game;
    game.exe = "Starblaze";
    game.exes = {"Starblaze", "StarblazeDriving"};
    launcher::Builder builder(game, data, nullptr, platform.get());
    builder.logSink = [](const std::string&) {};
    long long steps = 0;
    builder.installStep = [&] {
        if (steps++ == killAt) KillThisProcess();
    };
    ready();
    std::string err;
    if (builder.InstallBuild(err)) return true;
    // The test only sees that the install failed; why goes to the test's output.
    std::fprintf(stderr, "install_child: %s\n", err.c_str());
    return false;
}

#ifndef _WIN32
using pipe_io::ReadAll;
using pipe_io::WriteAll;

int Serve() {
    for (;;) {
        int64_t request[3];
        if (!ReadAll(STDIN_FILENO, request, sizeof request)) return 0;
        std::string path(static_cast<size_t>(request[2]), '\0');
        if (!ReadAll(STDIN_FILENO, path.data(), path.size())) return 0;
        int ready[2];
        if (::pipe(ready) != 0) return 1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            const bool ok = Install(path, request[0], [&] {
                const char byte = 1;
                (void)!::write(ready[1], &byte, 1);
            });
            ::_exit(ok ? 0 : 1);
        }
        ::close(ready[1]);
        char byte = 0;
        const bool started = child > 0 && ::read(ready[0], &byte, 1) == 1;
        const auto begun = std::chrono::steady_clock::now();
        ::close(ready[0]);
        if (started && request[1] >= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(request[1]));
            ::kill(child, SIGKILL);
        }
        int status = 0;
        while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        int64_t end = 2;
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) end = 0;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) end = 1;
        const int64_t answer[2] = {
            end, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun).count()};
        if (!WriteAll(STDOUT_FILENO, answer, sizeof answer)) return 0;
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
#ifndef _WIN32
    if (args.size() == 2 && args[1] == "--serve") return Serve();
#endif
    if (args.size() != 3) return 2;
    const std::filesystem::path data = launcher::Utf8Path(args[1]);
    if (!Install(data, std::atoll(args[2].c_str()), [&] { Touch(data / "child.ready"); })) return 1;
    Touch(data / "child.finished");
    return 0;
}
