// Shared by the ffprobe and ffmpeg stand-ins that the music tests run instead of the real programs
// (under Wine, where Debian's cannot run). Both note how they were called in "<source>.<tool>.args"
// beside the song: "cwd <folder>" and then each argument, program included, as "[arg]". A file
// "<program>.broken" beside the program makes it one that starts but cannot run: it prints the file's
// lines after the first and ends with the code on the first (decimal, or hexadecimal after "0x").
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stand_in.h"

namespace stand_in {

inline bool ReadAll(const std::string& file, std::string& out) {
    std::ifstream in(PathOf(file), std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    out = bytes.str();
    return true;
}

inline void Record(const std::string& source, const char* tool, const std::vector<std::string>& args) {
    std::ofstream out(PathOf(source + "." + tool + ".args"), std::ios::binary | std::ios::trunc);
    out << "cwd " << TextOf(fs::current_path()) << "\n";
    for (const std::string& arg : args) out << "[" << arg << "]\n";
}

// The song's lines; those starting with "!" tell the stand-ins what to do, the others are ffprobe's answer.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Acts as the loader of a program that cannot run, when told so; else returns.
inline void FailIfBroken() {
    const fs::path self = SelfPath();
    fs::path file = self.parent_path() / self.stem();
    file += ".broken";
    std::ifstream in(file, std::ios::binary);
    std::string code;
    if (!in || !std::getline(in, code)) return;
    for (std::string line; std::getline(in, line);) std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::exit(static_cast<int>(std::strtoul(code.c_str(), nullptr, 0)));
}

// A value of the song's lines with its escapes read: a backslash and an "n" stand for a line break, which a
// tag may hold.
inline std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace stand_in
