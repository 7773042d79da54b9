// The far end of the source step's kill test: fetches the game's source into ROOT/source as a build does
// (the repository REPO at the launcher version VERSION, or the branch BRANCH for "dev"), writing each of
// its log lines to stdout. The exit code says whether the step got through. Started afresh for each kill:
// a fork of the threaded test program could inherit a lock some other thread held, and hang.
//   source_child ROOT REPO VERSION BRANCH
#include <cstdio>
#include <string>

#include "build/builder.h"
#include "platform/paths.h"
#include "stand_in.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    if (args.size() != 5) return 2;
    std::unique_ptr<launcher::Platform> platform = launcher::MakePlatform();
    launcher::GameDefinition game;
    game.repo = args[2];
    game.version = args[3];
    game.branch = args[4];
    launcher::Builder builder(game, launcher::Utf8Path(args[1]), nullptr, platform.get());
    builder.logSink = [](const std::string& line) {
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
    };
    std::string err;
    return builder.FetchSource(err) ? 0 : 1;
}
