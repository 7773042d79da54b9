// Stands in for cmake where the real one cannot run (under Wine). It records each call (stand_in.h).
//   --preset release ...      "configure": makes out/build/release/CMakeCache.txt ("stand-in cache") and
//                             CMakeFiles/ unless the cache is there
//   --build out/build/release "build": prints three status lines as Ninja does and makes the build's
//                             files: the game's two programs, a test program, a library and a
//                             program database
#include "stand_in.h"

namespace {

using namespace stand_in;

#ifdef _WIN32
constexpr const char* kProgram = ".exe";
constexpr const char* kLibrary = ".dll";
#else
constexpr const char* kProgram = "";
constexpr const char* kLibrary = ".so";
#endif

}  // namespace

int main(int argc, char** argv) {
    Binary();
    std::vector<std::string> args = Arguments(argc, argv);
    Record(args);
    const fs::path build = fs::current_path() / "out" / "build" / "release";
    std::error_code ec;
    if (args.size() >= 3 && args[1] == "--preset") {
        Print("-- Configuring release\n");
        const int code = Control("configure");
        if (code >= 0) return code;
        if (!fs::exists(build / "CMakeCache.txt", ec)) {
            WriteText(build / "CMakeCache.txt", "stand-in cache");
            WriteText(build / "CMakeFiles" / "rules.txt", "stand-in rules");
        }
        Print("-- Build files have been written to: " + TextOf(build) + "\n");
        return 0;
    }
    if (args.size() >= 3 && args[1] == "--build") {
        Print("[1/3] Building CXX object game.obj\n");
        const int code = Control("build");
        if (code >= 0) return code;
        Print("[2/3] Linking CXX shared library StarblazeCode" + std::string(kLibrary) + "\n");
        Print("[3/3] Linking CXX executable Starblaze" + std::string(kProgram) + "\n");
        for (const std::string& name : {std::string("Starblaze") + kProgram, std::string("StarblazeDriving") + kProgram,
                                        std::string("StarblazeTests") + kProgram,
                                        std::string("StarblazeCode") + kLibrary, std::string("Starblaze.pdb")}) {
            WriteText(build / PathOf(name), "built " + name);
        }
        return 0;
    }
    return 1;
}
