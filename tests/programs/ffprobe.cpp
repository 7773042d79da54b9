// Stands in for ffprobe in the music tests: notes its call and prints the song's lines that do not start
// with "!" (the "duration=" and tag lines a real probe would print).
#include "music_stand_in.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    if (args.size() < 2) return 2;
    const std::string& source = args.back();
    stand_in::Record(source, "ffprobe", args);
    std::string text;
    if (!stand_in::ReadAll(source, text)) {
        std::printf("%s: No such file or directory\n", source.c_str());
        return 1;
    }
    for (const std::string& line : stand_in::Lines(text)) {
        if (line.empty() || line[0] != '!') std::printf("%s\n", line.c_str());
    }
    return 0;
}
