// Stands in for ffprobe in the music tests: notes its call and prints what a probe of the song would. The
// song's lines that do not start with "!" are its format's ("duration=" and the format tags); a line
// "!stream LINE" is a tag line of its audio stream and "!cover LINE" one of a cover picture. As ffprobe
// does, it prints the streams before the format, stream tags only when "-show_entries" asks for them, and
// no picture when "-select_streams a" keeps to the audio.
#include "music_stand_in.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    if (args.size() < 2) return 2;
    const std::string& source = args.back();
    stand_in::Record(source, "ffprobe", args);
    bool streamTags = false;
    bool audioOnly = false;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "-show_entries") streamTags = args[i + 1].find("stream_tags=") != std::string::npos;
        if (args[i] == "-select_streams") audioOnly = args[i + 1] == "a";
    }
    std::string text;
    if (!stand_in::ReadAll(source, text)) {
        std::printf("%s: No such file or directory\n", source.c_str());
        return 1;
    }
    const std::vector<std::string> lines = stand_in::Lines(text);
    for (const char* stream : {"!stream ", "!cover "}) {
        if (!streamTags || (audioOnly && std::string(stream) == "!cover ")) continue;
        for (const std::string& line : lines) {
            if (line.rfind(stream, 0) == 0) std::printf("%s\n", line.c_str() + std::string(stream).size());
        }
    }
    for (const std::string& line : lines) {
        if (line.empty() || line[0] != '!') std::printf("%s\n", line.c_str());
    }
    return 0;
}
