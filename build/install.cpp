#include <algorithm>

#include "build/builder.h"
#include "platform/ascii.h"
#include "platform/file_copy.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

bool Builder::InstallBuild(std::string& err) {
    const fs::path buildDir = root / "source" / "out" / "build" / "release";
    const fs::path play = PlayDir();
    std::error_code ec;
    fs::create_directories(play, ec);

    // Programs carry the platform's suffix (".exe"; none on the Linux stand-in, whose libraries are ".so").
    const std::string programExtension = LowerAscii(platform->ExeSuffix());
    const std::string libraryExtension = programExtension.empty() ? ".so" : ".dll";
    std::vector<std::string> programs;
    for (const std::string& name : game.exes) programs.push_back(LowerAscii(name));

    bool copied = false;
    fs::directory_iterator it(buildDir, ec), end;
    if (ec) {
        // No build folder: nothing to copy.
        it = end;
        ec.clear();
    }
    for (; it != end; it.increment(ec)) {
        const fs::path& from = it->path();
        std::error_code typeError;
        if (!fs::is_regular_file(from, typeError)) continue;
        const std::string extension = LowerAscii(PathUtf8(from.extension()));
        const bool library = extension == libraryExtension;
        const bool program = extension == programExtension &&
                             std::find(programs.begin(), programs.end(), LowerAscii(PathUtf8(from.stem()))) !=
                                 programs.end();
        if (!library && !program) continue;
        std::string copyError;
        if (!CopyReplacing(from, play / from.filename(), copyError)) {
            err = "Cannot copy " + PathUtf8(from.filename()) + " (is the game still running?)";
            return false;
        }
        copied = true;
    }
    if (ec) {
        err = "Cannot read the build folder " + PathUtf8(buildDir) + ": " + ec.message();
        return false;
    }
    if (!copied || !IsInstalled()) {
        err = "The build made no " + game.exe + platform->ExeSuffix();
        return false;
    }
    Log("installed in " + PathUtf8(play));
    return true;
}

}  // namespace launcher
