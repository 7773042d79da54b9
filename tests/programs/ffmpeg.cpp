// Stands in for ffmpeg in the music tests: notes its call and writes the output file (the last
// argument) as "converted:" and the song's bytes, so a test sees which song landed where. Lines of the
// song tell it otherwise (and a file beside it, see music_stand_in.h, makes it one that cannot run):
//   !sleep MS      waits first (to be stopped)
//   !fail TEXT     prints a line and TEXT, leaves a partial output and ends with 1
//   !quiet-fail    ends with 1 and prints nothing
//   !no-output     ends with 0 and writes nothing
#include <chrono>
#include <cstdlib>
#include <thread>

#include "music_stand_in.h"

int main(int argc, char** argv) {
    stand_in::FailIfBroken();
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    std::string source;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "-i") source = args[i + 1];
    }
    if (source.empty() || args.size() < 3) return 2;
    stand_in::Record(source, "ffmpeg", args);
    const std::string& output = args.back();

    std::string text;
    if (!stand_in::ReadAll(source, text)) {
        std::fprintf(stderr, "%s: No such file or directory\n", source.c_str());
        return 1;
    }
    for (const std::string& line : stand_in::Lines(text)) {
        if (line.rfind("!sleep ", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(line.c_str() + 7)));
        } else if (line.rfind("!fail ", 0) == 0) {
            std::fprintf(stderr, "[stand-in] reading the input\n%s\n", line.c_str() + 6);
            std::ofstream(stand_in::PathOf(output), std::ios::binary) << "partial";
            return 1;
        } else if (line == "!quiet-fail") {
            return 1;
        } else if (line == "!no-output") {
            return 0;
        }
    }
    std::ofstream out(stand_in::PathOf(output), std::ios::binary | std::ios::trunc);
    out << "converted:" << text;
    out.close();
    return out ? 0 : 1;
}
