#pragma once

// Everything a build from source reaches for, made by the test: the list of tools with their archives,
// the Visual Studio channel and manifest, the game's repository, and the user's copy of the game; served
// by the loopback server. On Linux the tools are small wrappers around the system's git, cmake, ninja
// and C++ compiler, and the repository is a real one with a tiny CMake project; under Wine the tools are
// the stand-ins of tests/programs. Each installed tool notes its calls beside itself.

#include <filesystem>
#include <string>
#include <vector>

#include "build/builder.h"
#include "support/git_repo.h"
#include "support/http_server.h"

namespace launcher::test {

class SourceWorld {
public:
    // Makes everything below `dir` and serves it from `server`. With `libraryFiles` (real tools only) the
    // game's submodule "lib" holds that many more files, "files/0000.txt" on, in one pack, and both
    // repositories mark a file for the smudge filters "stopgame" (the game's "version.h") and "stoplib"
    // (the library's StopFile()), which git runs as it checks those files out once the test defines them.
    SourceWorld(const std::filesystem::path& dir, HttpServer& server, size_t libraryFiles = 0);

    // True where the real git, CMake and compiler run (Linux); false with the stand-ins.
    static bool RealTools();

    // Build mode, version "v2.0.11", the server's tools list and repository, the copy's release known.
    GameDefinition game;
    // The user's copy of the game: a folder with its two xbe files.
    std::filesystem::path disc;

    // The tools the pipeline installs, in the list's order ("msvc" and "winsdk" last).
    std::vector<std::string> ToolIds() const;
    // The server path of a tool's archive ("ffmpeg", the optional tool, has none and is never asked for).
    std::string ArchivePath(const std::string& id) const;
    // The stage names of a whole successful build, in order.
    std::vector<std::string> Stages() const;
    // How many times the launcher ran an installed tool ("git", "cmake", "ninja"), from its notes.
    size_t Runs(const Builder& builder, const std::string& id) const;
    // The environment the installed cmake last ran with.
    std::string CMakeEnv(const Builder& builder, const std::string& name) const;
    // A new commit on the branch and, when `tag` is set, the launcher's tag moved onto it; the program's
    // text changes, so a build of it differs.
    void MoveOn(bool tag);
    // A new release of Ninja: its archive, and with it the tool's stamp, changes in the served list.
    void UpdateNinja();
    // What the installed game program says it is (Linux: the commit's text built into it).
    std::string Built(const Builder& builder) const;

    // The served repositories (real tools only).
    GitRepo& Game() { return *repo_; }
    GitRepo& Library() { return *lib_; }
    // The library's file marked for "stoplib", half-way through its files.
    std::string StopFile() const;
    size_t LibraryFiles() const { return libraryFiles_; }

private:
    void MakeTools();
    void MakeSource();
    std::string ServeFile(const std::string& path, const std::filesystem::path& file);
    void WriteNinja(const std::filesystem::path& archive, bool notes);

    std::filesystem::path dir_;
    HttpServer& server_;
    std::unique_ptr<GitRepo> repo_, lib_;
    std::filesystem::path remote_;  // the stand-in's repository
    std::string toolchain_;         // the served list of tools
    int version_ = 1;
    size_t libraryFiles_ = 0;
};

}  // namespace launcher::test
