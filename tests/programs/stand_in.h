// Shared by the stand-ins for git and cmake: what every call records, and the control file that makes a
// call fail or take its time. Both files sit beside the program under its own name:
//   NAME.calls    appended per call: "call", "arg A" per argument, "cwd D", "env NAME=VALUE" per variable,
//                 "end" (UTF-8)
//   NAME.control  lines "VERB exit N" (end the call with N), "VERB sleep MS" (wait MS first) or "VERB say
//                 TEXT" (print the line TEXT first), where
//                 VERB is the call's verb (git: clone, fetch, reset, rev-parse, submodule; cmake: configure,
//                 build)
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, void* startup);
#else
#include <unistd.h>
extern char** environ;
#endif

namespace stand_in {

namespace fs = std::filesystem;

#ifdef _WIN32
inline std::string Narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

inline std::wstring Widen(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    return out;
}
#endif

// Paths in and out of the programs are UTF-8 text.
inline fs::path PathOf(const std::string& text) {
#ifdef _WIN32
    return fs::path(Widen(text));
#else
    return fs::path(text);
#endif
}

inline std::string TextOf(const fs::path& path) {
#ifdef _WIN32
    return Narrow(path.c_str());
#else
    return path.string();
#endif
}

// The arguments as UTF-8, the program's own name first.
inline std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    int startup[1] = {0};
    __wgetmainargs(&count, &wide, &env, 0, startup);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(Narrow(wide[i]));
    return out;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

inline fs::path SelfPath() {
#ifdef _WIN32
    wchar_t buffer[32768];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return fs::path(std::wstring(buffer, n));
#else
    return fs::read_symlink("/proc/self/exe");
#endif
}

inline std::vector<std::string> Environment() {
    std::vector<std::string> out;
#ifdef _WIN32
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) out.push_back(Narrow(p));
    if (strings != nullptr) FreeEnvironmentStringsW(strings);
#else
    for (char** e = environ; *e != nullptr; ++e) out.emplace_back(*e);
#endif
    return out;
}

inline void Record(const std::vector<std::string>& args) {
    const fs::path self = SelfPath();
    fs::path file = self.parent_path() / self.stem();
    file += ".calls";
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << "call\n";
    for (size_t i = 1; i < args.size(); ++i) out << "arg " << args[i] << "\n";
    out << "cwd " << TextOf(fs::current_path()) << "\n";
    for (const std::string& entry : Environment()) out << "env " << entry << "\n";
    out << "end\n";
}

// Follows the control file for `verb`: waits, and gives the exit code to end with (-1: go on).
inline int Control(const std::string& verb) {
    const fs::path self = SelfPath();
    fs::path file = self.parent_path() / self.stem();
    file += ".control";
    std::ifstream in(file);
    int code = -1;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string lineVerb, action;
        long value = 0;
        if (!(words >> lineVerb >> action) || lineVerb != verb) continue;
        if (action == "say") {
            std::string text;
            std::getline(words >> std::ws, text);
            std::fputs((text + "\n").c_str(), stdout);
            std::fflush(stdout);
            continue;
        }
        if (!(words >> value)) continue;
        if (action == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(value));
        if (action == "exit") code = static_cast<int>(value);
    }
    return code;
}

inline void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

inline void Binary() {
#ifdef _WIN32
    // Bytes as written: no LF to CR LF translation, so the carriage returns of progress lines stay.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteText(const fs::path& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace stand_in
