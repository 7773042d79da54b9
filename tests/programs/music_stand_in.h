// Shared by the ffprobe and ffmpeg stand-ins that the music tests run instead of the real programs
// (under Wine, where Debian's cannot run). Both note how they were called in "<source>.<tool>.args"
// beside the song: "cwd <folder>" and then each argument, program included, as "[arg]".
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, void* startup);

namespace stand_in {

inline std::string Narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

inline std::vector<std::string> Arguments(int, char**) {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    int startup[1] = {0};
    __wgetmainargs(&argc, &argv, &env, 0, startup);
    std::vector<std::string> out;
    for (int i = 0; i < argc; ++i) out.push_back(Narrow(argv[i]));
    return out;
}

inline std::filesystem::path ToPath(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
    return std::filesystem::path(wide);
}

inline std::string CurrentFolder() {
    return Narrow(std::filesystem::current_path().c_str());
}

}  // namespace stand_in
#else
namespace stand_in {

inline std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }
inline std::filesystem::path ToPath(const std::string& utf8) { return std::filesystem::path(utf8); }
inline std::string CurrentFolder() { return std::filesystem::current_path().native(); }

}  // namespace stand_in
#endif

namespace stand_in {

inline bool ReadAll(const std::string& file, std::string& out) {
    std::ifstream in(ToPath(file), std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    out = bytes.str();
    return true;
}

inline void Record(const std::string& source, const char* tool, const std::vector<std::string>& args) {
    std::ofstream out(ToPath(source + "." + tool + ".args"), std::ios::binary | std::ios::trunc);
    out << "cwd " << CurrentFolder() << "\n";
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
