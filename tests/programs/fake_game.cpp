// Stands in for the game's own program in the package tests.
//
// With "--prepare-code" it follows "fake-game-scenario.txt" in its working folder, one command a line:
//   out TEXT     TEXT and a line end on standard output
//   err TEXT     the same on standard error
//   dll [NAME]   creates NAME (default: this program's name without ".exe", plus ".dll")
//   sleep MS     waits MS milliseconds
//   exit N       ends with exit code N
// Without a scenario file it reports one progress line, creates the library and exits with 0; at
// the end of the scenario it exits with 0.
//
// Without "--prepare-code" it plays the game being started: it writes "launched.txt" (its arguments,
// one a line) into its working folder and exits with 0.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string LibraryName(const char* argv0) {
    return fs::path(argv0).stem().string() + ".dll";
}

void WriteLine(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

int PrepareCode(const char* argv0) {
    std::ifstream scenario("fake-game-scenario.txt");
    if (!scenario) {
        WriteLine(stdout, "progress 1 1 1 1 1");
        std::ofstream(LibraryName(argv0)) << "code";
        return 0;
    }
    for (std::string line; std::getline(scenario, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t blank = line.find(' ');
        std::string command = line.substr(0, blank);
        std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (command == "out") {
            WriteLine(stdout, rest);
        } else if (command == "err") {
            WriteLine(stderr, rest);
        } else if (command == "dll") {
            std::ofstream(rest.empty() ? LibraryName(argv0) : rest) << "code";
        } else if (command == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(rest.c_str())));
        } else if (command == "exit") {
            return std::atoi(rest.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--prepare-code") return PrepareCode(argv[0]);
    std::ofstream launched("launched.txt");
    for (int i = 1; i < argc; ++i) launched << argv[i] << '\n';
    return 0;
}
