// Stands in for ffprobe in the music tests: notes its call and prints what a probe of the song would. The
// song's lines that do not start with "!" are its format's ("duration=" and the format tags as
// "TAG:key=value"); a line "!stream LINE" is a tag line of its audio stream and "!cover LINE" one of a cover
// picture. As ffprobe does, it prints the streams before the format, stream tags only when "-show_entries"
// asks for them, and no picture when "-select_streams a" keeps to the audio; with "-of json" as one JSON
// object (braces on lines of their own), else as lines of the default writer, which prints a value with
// line breaks as it is.
#include "music_stand_in.h"

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The tag lines ("TAG:key=value") as the members of a JSON object, in their order.
std::string TagsObject(const std::vector<std::string>& lines, const std::string& indent) {
    std::string out = "{\n";
    bool first = true;
    for (const std::string& line : lines) {
        const bool tag = line.size() > 4 && (line[0] == 'T' || line[0] == 't') && (line[1] == 'A' || line[1] == 'a') &&
                         (line[2] == 'G' || line[2] == 'g') && line[3] == ':';
        if (!tag || line.find('=') == std::string::npos) continue;
        const size_t eq = line.find('=');
        out += (first ? "" : ",\n") + indent + "    " + Quoted(line.substr(4, eq - 4)) + ": " +
               Quoted(stand_in::Unescape(line.substr(eq + 1)));
        first = false;
    }
    return out + "\n" + indent + "}";
}

}  // namespace

int main(int argc, char** argv) {
    stand_in::FailIfBroken();
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    if (args.size() < 2) return 2;
    const std::string& source = args.back();
    stand_in::Record(source, "ffprobe", args);
    bool streamTags = false;
    bool audioOnly = false;
    bool json = false;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "-show_entries") streamTags = args[i + 1].find("stream_tags=") != std::string::npos;
        if (args[i] == "-select_streams") audioOnly = args[i + 1] == "a";
        if (args[i] == "-of") json = args[i + 1] == "json";
    }
    std::string text;
    if (!stand_in::ReadAll(source, text)) {
        std::fprintf(stderr, "%s: No such file or directory\n", source.c_str());
        std::fflush(stderr);
        if (json) std::printf("{\n\n}\n");
        return 1;
    }
    const std::vector<std::string> lines = stand_in::Lines(text);
    std::vector<std::vector<std::string>> streams;  // the tag lines of each stream shown
    std::vector<std::string> format;
    for (const char* stream : {"!stream ", "!cover "}) {
        if (!streamTags || (audioOnly && std::string(stream) == "!cover ")) continue;
        std::vector<std::string> tags;
        for (const std::string& line : lines) {
            if (line.rfind(stream, 0) == 0) tags.push_back(line.substr(std::string(stream).size()));
        }
        if (!tags.empty()) streams.push_back(tags);
    }
    for (const std::string& line : lines) {
        if (line.empty() || line[0] != '!') format.push_back(line);
    }
    if (!json) {
        for (const auto& tags : streams) {
            for (const std::string& line : tags) std::printf("%s\n", stand_in::Unescape(line).c_str());
        }
        for (const std::string& line : format) std::printf("%s\n", stand_in::Unescape(line).c_str());
        return 0;
    }
    std::string out = "{\n    \"streams\": [\n";
    for (size_t s = 0; s < streams.size(); ++s) {
        out += std::string(s == 0 ? "" : ",\n") + "        {\n            \"tags\": " +
               TagsObject(streams[s], "            ") + "\n        }";
    }
    out += "\n    ],\n    \"format\": {\n";
    for (const std::string& line : format) {
        if (line.rfind("duration=", 0) == 0) out += "        \"duration\": " + Quoted(line.substr(9)) + ",\n";
    }
    out += "        \"tags\": " + TagsObject(format, "        ") + "\n    }\n}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}
