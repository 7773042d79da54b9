// Shared by the ffprobe and ffmpeg stand-ins that the music tests run instead of the real programs
// (under Wine, where Debian's cannot run). Both note how they were called in "<source>.<tool>.args"
// beside the song: "cwd <folder>" and then each argument, program included, as "[arg]".
#pragma once

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

}  // namespace stand_in
