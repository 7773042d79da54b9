#include <fstream>

#include "build/builder.h"
#include "build/environment.h"
#include "build/source_build.h"
#include "build/tools.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

bool ReadBuildProgress(const std::string& line, std::string& detail, double& fraction) {
    if (line.size() < 4 || line[0] != '[') return false;
    const size_t slash = line.find('/');
    const size_t close = line.find(']');
    if (slash == std::string::npos || close == std::string::npos || slash > close) return false;
    const double total = LeadingNumber(line.substr(slash + 1));
    if (!(total > 0)) return false;
    const double done = LeadingNumber(line.substr(1));
    detail = std::to_string(TruncateToInt32(done)) + " of " + std::to_string(TruncateToInt32(total)) + " steps";
    fraction = done / total;
    return true;
}

std::string ToolsFingerprint(const Toolchain& toolchain) {
    std::string fingerprint;
    for (const Tool& tool : toolchain.tools) {
        if (!tool.optional) fingerprint += tool.id + " " + tool.stamp + "\n";
    }
    return fingerprint;
}

bool Builder::Compile(std::string& err) {
    const fs::path source = root / "source";
    const fs::path buildDir = source / "out" / "build" / "release";
    const EnvMap env = BuildEnvironment(toolchain);
    const std::string cmake =
        InstalledOrOnPath(ToolDir("cmake") / "bin" / Utf8Path("cmake" + platform->ExeSuffix()), "cmake");

    // CMake's cache remembers the compilers it found: other tools need a fresh one.
    const std::string fingerprint = ToolsFingerprint(toolchain);
    std::error_code ec;
    if (fs::exists(buildDir / "CMakeCache.txt", ec)) {
        std::string stored;
        if (!ReadWholeFile(buildDir / ".launcher-tools", stored) || stored != fingerprint) {
            Log("the build tools changed: CMake's cache is made again");
            fs::remove(buildDir / "CMakeCache.txt", ec);
            std::string removeError;
            RemoveTree(buildDir / "CMakeFiles", removeError);
        }
    }

    Report("Preparing the build", "the first time also downloads the libraries it uses", -1);
    int code = 0;
    LineSink configureLine = [&](const std::string& line) { Log("cmake: " + line); };
    RunStage("configure (cmake)", [&] {
        code = platform->Run({cmake, "--preset", "release", "-DCMAKE_LINKER_TYPE=LLD"}, source, env, configureLine,
                             &stop);
        return code == 0;
    });
    if (code != 0) {
        // A stop is the user's wish, not a failed configure.
        err = stop ? "cancelled" : "Preparing the build failed, see launcher.log";
        return false;
    }
    fs::create_directories(buildDir, ec);
    {
        std::ofstream out(buildDir / ".launcher-tools", std::ios::binary | std::ios::trunc);
        out.write(fingerprint.data(), static_cast<std::streamsize>(fingerprint.size()));
    }

    const std::string title = "Building " + game.title;
    Report(title, "the first build takes 30 to 90 minutes", 0);
    LineSink buildLine = [&](const std::string& line) {
        Log(line);
        std::string detail;
        double fraction = 0;
        if (ReadBuildProgress(line, detail, fraction)) Report(title, detail, fraction);
    };
    RunStage("compile and link (cmake --build)", [&] {
        code = platform->Run({cmake, "--build", "out/build/release"}, source, env, buildLine, &stop);
        return code == 0;
    });
    if (code != 0) {
        err = stop ? "cancelled" : "The build failed, see launcher.log";
        return false;
    }
    return true;
}

}  // namespace launcher
