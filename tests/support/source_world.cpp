#include "support/source_world.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/paths.h"
#include "platform/sha.h"
#include "support/stand_in.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher::test {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kVersion = "v2.0.11";
constexpr const char* kMsvcVersion = "14.44.17.14";

// The system's program `name`, found on the test's PATH.
std::string SystemProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::error_code ec;
        if (!dir.empty() && fs::exists(fs::path(dir) / name, ec)) return dir + "/" + name;
    }
    ADD_FAILURE() << "no " << name << " on PATH";
    return name;
}

// A wrapper that notes its call in NAME.calls beside itself and runs the system's program.
ZipEntry Wrapper(const std::string& entry, const std::string& name, const std::string& program,
                 const std::string& extra = "") {
    ZipEntry zip(entry, "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/" + name + ".calls\"\n" + extra + "exec " +
                            SystemProgram(program) + " \"$@\"\n");
    zip.executable = true;
    return zip;
}

std::string Sha256Of(const fs::path& file) { return Sha256File(file); }

}  // namespace

bool SourceWorld::RealTools() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

SourceWorld::SourceWorld(const fs::path& dir, HttpServer& server, size_t libraryFiles)
    : dir_(dir), server_(server), libraryFiles_(libraryFiles) {
    std::string err;
    EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    game.package.clear();
    game.packages.clear();
    game.version = kVersion;
    game.toolchain = server_.Url("/toolchain.json");

    // The user's copy, a release the description knows.
    disc = dir_ / "disc";
    const std::string xbe = "the main xbe of the test disc";
    WriteFile(disc / "default.xbe", xbe);
    WriteFile(disc / "Driving.xbe", "the driving xbe");
    WriteFile(disc / "media" / "intro.bik", "media");
    game.releases = {{Sha1Hex(xbe.data(), xbe.size()), "PAL (Europe)"}};

    MakeTools();
    MakeSource();
}

std::string SourceWorld::ServeFile(const std::string& path, const fs::path& file) {
    Route route;
    route.file = file;
    server_.Serve(path, route);
    return server_.Url(path);
}

std::vector<std::string> SourceWorld::ToolIds() const {
    std::vector<std::string> ids;
    if (RealTools()) ids.push_back("llvm");
    for (const char* id : {"cmake", "ninja", "git", "msvc", "winsdk"}) ids.push_back(id);
    return ids;
}

std::string SourceWorld::ArchivePath(const std::string& id) const {
    if (id == "llvm") return "/tools/llvm.tar.xz";
    if (id == "msvc") return "/vs/headers.vsix";
    return "/tools/" + id + ".zip";
}

std::vector<std::string> SourceWorld::Stages() const {
    std::vector<std::string> stages = {"build tools list"};
    for (const std::string& id : ToolIds()) stages.push_back("tool " + id);
    for (const char* stage : {"game source", "game's xbe", "configure (cmake)", "compile and link (cmake --build)",
                              "install"}) {
        stages.push_back(stage);
    }
    return stages;
}

void SourceWorld::MakeTools() {
    const fs::path archives = dir_ / "archives";
    fs::create_directories(archives);
    json tools = json::array();
    auto add = [&](const std::string& id, const std::string& title, const std::string& kind, const fs::path& file,
                   int strip, const std::vector<std::string>& keep) {
        json tool = {{"id", id},
                     {"title", title},
                     {"kind", kind},
                     {"url", ServeFile(ArchivePath(id), file)},
                     {"sha256", Sha256Of(file)},
                     {"size", fs::file_size(file)}};
        if (strip != 0) tool["strip"] = strip;
        if (!keep.empty()) tool["keep"] = keep;
        tools.push_back(tool);
    };

    // A big file in the CMake archive gives a download that a stop can catch half-way.
    const ZipEntry big("cmake-3.31.12/share/cmake-3.31/big.bin", TestBytes(3 << 20), true);
    if (RealTools()) {
        // Clang as a tar.xz made by tar and xz, one top folder dropped, only the compiler kept.
        const fs::path llvm = dir_ / "llvm-tree" / "clang+llvm-19.1.7";
        WriteFile(llvm / "bin" / "clang++",
                  "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/clang++.calls\"\nexec " + SystemProgram("c++") +
                      " \"$@\"\n");
        fs::permissions(llvm / "bin" / "clang++", fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add);
        WriteFile(llvm / "bin" / "llvm-objdump", "not kept");
        WriteFile(llvm / "lib" / "clang" / "19" / "include" / "stddef.h", "kept");
        std::unique_ptr<Platform> platform = MakePlatform();
        const fs::path tarXz = archives / "llvm.tar.xz";
        std::string output;
        const int code = platform->Run({"tar", "--format=gnu", "-cJf", PathUtf8(tarXz), "-C",
                                        PathUtf8(dir_ / "llvm-tree"), "clang+llvm-19.1.7"},
                                       dir_, {}, [&](const std::string& line) { output += line + "\n"; }, nullptr);
        EXPECT_EQ(code, 0) << output;
        add("llvm", "Clang 19.1.7", "tar.xz", tarXz, 1, {"bin/clang++", "lib/clang/"});

        WriteZipOrFail(archives / "cmake.zip",
                       {Wrapper("cmake-3.31.12/bin/cmake", "cmake", "cmake", "env > \"$(dirname \"$0\")/cmake.env\"\n"),
                        big, {"cmake-3.31.12/doc/readme.txt", "not kept"}});
        WriteZipOrFail(archives / "git.zip", {Wrapper("cmd/git", "git", "git")});
    } else {
        WriteZipOrFail(archives / "cmake.zip",
                       {ZipEntry::Program("cmake-3.31.12/bin/cmake.exe", TestProgram("cmake_stand_in")), big,
                        {"cmake-3.31.12/doc/readme.txt", "not kept"}});
        WriteZipOrFail(archives / "git.zip", {ZipEntry::Program("cmd/git.exe", TestProgram("git_stand_in"))});
    }
    WriteNinja(archives / "ninja.zip", false);
    add("cmake", "CMake 3.31.12", "zip", archives / "cmake.zip", 1, {"bin/", "share/"});
    add("ninja", "Ninja 1.13.2", "zip", archives / "ninja.zip", 0, {});
    add("git", "MinGit 2.56.0", "zip", archives / "git.zip", 0, {});
    // An optional tool: no stage of the build installs it, so its archive is never asked for.
    tools.push_back({{"id", "ffmpeg"},
                     {"url", server_.Url(ArchivePath("ffmpeg"))},
                     {"sha256", std::string(64, '0')},
                     {"optional", true}});

    // Microsoft's C++ libraries: one VSIX package found through the channel and its manifest. The SDK
    // package lists no installers (msiexec's administrative installs do not run under Wine).
    const std::string msvcRoot = std::string("Contents/VC/Tools/MSVC/") + kMsvcVersion;
    WriteZipOrFail(archives / "headers.vsix", {{"extension.vsixmanifest", "<manifest/>"},
                                               {msvcRoot + "/include/vcruntime.h", "// vcruntime"},
                                               {msvcRoot + "/lib/x64/msvcrt.lib", "lib"}});
    const fs::path vsix = archives / "headers.vsix";
    json manifest = {
        {"packages",
         {{{"id", std::string("Microsoft.VC.") + kMsvcVersion + ".CRT.Headers.base"},
           {"chip", "neutral"},
           {"language", "neutral"},
           {"payloads",
            {{{"url", ServeFile(ArchivePath("msvc"), vsix)},
              {"sha256", Sha256Of(vsix)},
              {"size", fs::file_size(vsix)},
              {"fileName", "payload.vsix"}}}}},
          {{"id", "Win11SDK_10.0.26100"}, {"payloads", json::array()}}}}};
    server_.ServeJson("/vs/manifest.json", manifest.dump());
    json channel = {{"channelItems",
                     {{{"id", "Microsoft.VisualStudio.Manifests.VisualStudio"},
                       {"payloads", {{{"url", server_.Url("/vs/manifest.json")}}}}}}}};
    server_.ServeJson("/vs/channel.json", channel.dump());

    json toolchain = {{"tools", tools},
                      {"msvc",
                       {{"channel", server_.Url("/vs/channel.json")},
                        {"version", kMsvcVersion},
                        {"packages", {"Microsoft.VC.{v}.CRT.Headers.base"}}}},
                      {"sdk",
                       {{"package", "Win11SDK_10.0.26100"}, {"version", "10.0.26100.0"}, {"msis", json::array()}}}};
    toolchain_ = toolchain.dump(4);
    server_.ServeJson("/toolchain.json", toolchain_);
}

void SourceWorld::WriteNinja(const fs::path& archive, bool notes) {
    std::vector<ZipEntry> entries;
    if (RealTools()) {
        entries.push_back(Wrapper("ninja", "ninja", "ninja"));
    } else {
        entries.push_back(ZipEntry::Program("ninja.exe", TestProgram("argv_print")));
    }
    if (notes) entries.push_back({"notes.txt", "a newer Ninja"});
    WriteZipOrFail(archive, entries);
}

void SourceWorld::UpdateNinja() {
    const fs::path archive = dir_ / "archives" / "ninja-new.zip";
    WriteNinja(archive, true);
    json toolchain = json::parse(toolchain_);
    for (json& tool : toolchain["tools"]) {
        if (tool["id"] != "ninja") continue;
        tool["url"] = ServeFile(ArchivePath("ninja"), archive);
        tool["sha256"] = Sha256Of(archive);
        tool["size"] = fs::file_size(archive);
    }
    toolchain_ = toolchain.dump(4);
    server_.ServeJson("/toolchain.json", toolchain_);
}

void SourceWorld::MakeSource() {
    if (!RealTools()) {
        remote_ = dir_ / "remote";
        WriteFile(remote_ / "refs" / "main", "commit-1");
        WriteFile(remote_ / "refs" / kVersion, "commit-1");
        game.repo = PathUtf8(remote_);
        return;
    }
    lib_ = std::make_unique<GitRepo>(dir_ / "repos" / "lib", libraryFiles_ > 0);
    lib_->Write("lib.h", "#define LIB_NAME \"lib\"\n");
    if (libraryFiles_ > 0) {
        for (size_t i = 0; i < libraryFiles_; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "files/%04zu.txt", i);
            lib_->Write(name, "library file " + std::to_string(i) + "\n");
        }
        lib_->Write(".gitattributes", StopFile() + " filter=stoplib\n");
    }
    lib_->Commit("library");
    server_.ServeFolder("/repos/lib.git/", lib_->served());

    repo_ = std::make_unique<GitRepo>(dir_ / "repos" / "game");
    repo_->Write("CMakePresets.json", R"({
    "version": 3,
    "configurePresets": [{
        "name": "release",
        "generator": "Ninja",
        "binaryDir": "${sourceDir}/out/build/release",
        "cacheVariables": {"CMAKE_BUILD_TYPE": "Release", "CMAKE_CXX_COMPILER": "clang++"}
    }]
}
)");
    repo_->Write("CMakeLists.txt", R"(cmake_minimum_required(VERSION 3.21)
project(Starblaze CXX)
foreach(xbe default.xbe Driving.xbe)
  if(NOT EXISTS "${CMAKE_SOURCE_DIR}/assets/${xbe}")
    message(FATAL_ERROR "assets/${xbe} is missing")
  endif()
endforeach()
add_library(StarblazeCode SHARED code.cpp)
set_target_properties(StarblazeCode PROPERTIES PREFIX "")
target_include_directories(StarblazeCode PRIVATE lib)
add_executable(Starblaze main.cpp)
target_link_libraries(Starblaze PRIVATE StarblazeCode)
add_executable(StarblazeDriving main.cpp)
target_link_libraries(StarblazeDriving PRIVATE StarblazeCode)
add_executable(StarblazeTests main.cpp)
target_link_libraries(StarblazeTests PRIVATE StarblazeCode)
)");
    repo_->Write("code.cpp", "#include \"lib.h\"\nconst char* CodeName() { return LIB_NAME; }\n");
    repo_->Write("version.h", "#define GAME_VERSION \"1\"\n");
    repo_->Write("main.cpp", R"(#include <cstdio>
#include "version.h"
const char* CodeName();
int main() { std::printf("game %s with %s\n", GAME_VERSION, CodeName()); }
)");
    if (libraryFiles_ > 0) repo_->Write(".gitattributes", "version.h filter=stopgame\n");
    repo_->AddSubmodule("../lib.git", lib_->dir(), "lib");
    repo_->Commit("the game");
    repo_->Tag(kVersion);
    server_.ServeFolder("/repos/game.git/", repo_->served());
    game.repo = server_.Url("/repos/game.git");
}

void SourceWorld::MoveOn(bool tag) {
    ++version_;
    const std::string commit = "commit-" + std::to_string(version_);
    if (!RealTools()) {
        WriteFile(remote_ / "refs" / "main", commit);
        if (tag) WriteFile(remote_ / "refs" / kVersion, commit);
        return;
    }
    repo_->Write("version.h", "#define GAME_VERSION \"" + std::to_string(version_) + "\"\n");
    repo_->Commit(commit);
    if (tag) repo_->Tag(kVersion);
}

size_t SourceWorld::Runs(const Builder& builder, const std::string& id) const {
    if (!RealTools()) {
        const fs::path program = id == "git"     ? builder.ToolDir("git") / "cmd" / "git.exe"
                                 : id == "cmake" ? builder.ToolDir("cmake") / "bin" / "cmake.exe"
                                                 : builder.ToolDir(id) / (id + ".exe");
        return StandInCalls(program).size();
    }
    const fs::path notes = id == "git"     ? builder.ToolDir("git") / "cmd" / "git.calls"
                           : id == "cmake" ? builder.ToolDir("cmake") / "bin" / "cmake.calls"
                           : id == "llvm"  ? builder.ToolDir("llvm") / "bin" / "clang++.calls"
                                           : builder.ToolDir(id) / (id + ".calls");
    std::ifstream in(notes);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

std::string SourceWorld::CMakeEnv(const Builder& builder, const std::string& name) const {
    if (!RealTools()) {
        std::vector<StandInCall> calls = StandInCalls(builder.ToolDir("cmake") / "bin" / "cmake.exe");
        return calls.empty() ? std::string() : calls.back().env[name];
    }
    std::ifstream in(builder.ToolDir("cmake") / "bin" / "cmake.env");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
    }
    return {};
}

std::string SourceWorld::StopFile() const {
    char name[32];
    std::snprintf(name, sizeof name, "files/%04zu.txt", libraryFiles_ / 2);
    return name;
}

std::string SourceWorld::Built(const Builder& builder) const {
    if (!RealTools()) return ReadFile(builder.GameExePath());
    std::unique_ptr<Platform> platform = MakePlatform();
    std::string output;
    platform->Run({PathUtf8(builder.GameExePath())}, builder.PlayDir(), {},
                  [&](const std::string& line) { output += line; }, nullptr);
    return output;
}

}  // namespace launcher::test
