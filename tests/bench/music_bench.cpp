// The music import on a folder of songs, timed: one song at a time, again with nothing changed, and
// several songs at once into a second data folder, whose files, database, cache, summary and log must be
// those of the first. scripts/bench-music sets it beside bare ffmpeg runs in a shell loop.
//   music_bench [--jobs N] SONGS WORK     (N: songs at once, default one per processor)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "build/builder.h"
#include "game/game_definition.h"
#include "music/import.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace launcher;

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every file below the folder with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    std::function<void(const fs::path&, const std::string&)> walk = [&](const fs::path& at, const std::string& rel) {
        std::error_code ec;
        for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = rel + PathUtf8(it->path().filename());
            if (it->is_directory()) {
                walk(it->path(), name + "/");
            } else {
                out[name] = test::ReadFile(it->path());
            }
        }
    };
    walk(folder, "");
    return out;
}

struct Run {
    Run(const GameDefinition& game, const fs::path& root) : builder(game, root, nullptr, &platform) {
        builder.logSink = [this](const std::string& line) {
            if (line.rfind("music: ", 0) == 0) lines.push_back(line);
        };
    }
    bool Import(const fs::path& songs, unsigned jobs, double& seconds) {
        lines.clear();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = ImportMusicWith(builder, MusicPrograms{}, jobs, songs, summary, err);
        seconds = Seconds(start);
        if (!ok) std::fprintf(stderr, "music_bench: the import failed: %s\n", err.c_str());
        return ok;
    }
    test::TestPlatform platform;
    Builder builder;
    std::vector<std::string> lines;
    std::string summary;
    std::string err;
};

}  // namespace

int main(int argc, char** argv) {
    unsigned jobs = DefaultMusicJobs();
    std::vector<fs::path> places;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--jobs" && i + 1 < argc) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else {
            places.push_back(Utf8Path(arg));
        }
    }
    if (places.size() != 2) {
        std::fprintf(stderr, "usage: music_bench [--jobs N] SONGS WORK\n");
        return 2;
    }
    const fs::path songs = places[0];
    const fs::path work = places[1];
    std::string err;
    for (const char* name : {"one", "several"}) {
        if (!RemoveTree(work / name, err)) {
            std::fprintf(stderr, "music_bench: %s\n", err.c_str());
            return 1;
        }
    }
    GameDefinition game;
    if (!LoadGameDefinition(BuiltinGameJson(), game, err)) return 1;

    Run one(game, work / "one");
    double first = 0, again = 0, parallel = 0;
    if (!one.Import(songs, 1, first)) return 1;
    const std::map<std::string, std::string> result = Snapshot(one.builder.MusicDbFolder());
    const std::vector<std::string> lines = one.lines;
    const std::string summary = one.summary;
    if (!one.Import(songs, 1, again)) return 1;
    const std::string repeatLine = one.lines.empty() ? "" : one.lines.back();

    Run several(game, work / "several");
    if (!several.Import(songs, jobs, parallel)) return 1;
    const bool same = Snapshot(several.builder.MusicDbFolder()) == result && several.lines == lines &&
                      several.summary == summary;

    std::printf("summary          %s\n", summary.c_str());
    std::printf("repeat           %s\n", repeatLine.substr(repeatLine.find(", ") + 2).c_str());
    std::printf("import-1         %.2f s\n", first);
    std::printf("import-repeat    %.3f s\n", again);
    std::printf("import-%-2u        %.2f s\n", jobs, parallel);
    std::printf("identical        %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
