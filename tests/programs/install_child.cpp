// The far end of the install kill test under Windows, where a start of the whole test program takes most
// of a second: installs the build in DATA (a folder the test made) and ends itself like a crash before
// step KILL_AT of the install (counted from 0; -1 never), having written DATA/child.ready as it begins
// and, once the install got through, DATA/child.finished.
//   install_child DATA KILL_AT
#include <cstdlib>
#include <fstream>
#include <string>

#include "build/builder.h"
#include "platform/paths.h"
#include "stand_in.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
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

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    if (args.size() != 3) return 2;
    const std::filesystem::path data = launcher::Utf8Path(args[1]);
    const long killAt = std::atol(args[2].c_str());
    std::unique_ptr<launcher::Platform> platform = launcher::MakePlatform();
    launcher::GameDefinition game;
    game.exe = "Starblaze";
    game.exes = {"Starblaze", "StarblazeDriving"};
    launcher::Builder builder(game, data, nullptr, platform.get());
    builder.logSink = [](const std::string&) {};
    long steps = 0;
    builder.installStep = [&] {
        if (steps++ == killAt) KillThisProcess();
    };
    Touch(data / "child.ready");
    std::string err;
    if (!builder.InstallBuild(err)) return 1;
    Touch(data / "child.finished");
    return 0;
}
