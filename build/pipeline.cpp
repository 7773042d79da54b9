#include "build/builder.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// The Windows SDK installer fails on longer data folder paths (in UTF-16 units).
constexpr size_t kLongestPath = 80;

// The path's length in UTF-16 units, counted from its UTF-8 form (no conversion that could throw).
size_t Utf16Length(const std::string& utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units;  // a character starts here
        if (c >= 0xF0) ++units;           // four-byte characters take a surrogate pair
    }
    return units;
}

}  // namespace

bool Builder::BuildAll(std::string& err) {
    if (IsPackageMode(game)) return BuildPackage(err);

    stop = false;
    BeginTiming();
    bool installed = IsInstalled();
    if (installed || !PathTooLong(err)) {
        // The build-from-source stages come with the source build; until then this road ends here.
        err = "Building from source is not available in this launcher yet.";
    }
    ReportTiming();
    if (err != "cancelled") Log("build stopped: " + err);
    return false;
}

bool Builder::IsInstalled() const {
    std::error_code ec;
    if (!fs::exists(GameExePath(), ec)) return false;
    if (IsPackageMode(game) && !fs::exists(PlayDir() / Utf8Path(game.exe + ".dll"), ec)) return false;
    return true;
}

bool Builder::PathTooLong(std::string& err) const {
    size_t length = Utf16Length(PathUtf8(root));
    if (length <= kLongestPath) return false;
    err = "This folder's path is too long for Microsoft's Windows SDK installer (" + std::to_string(length) +
          " characters, at most 80): " + PathUtf8(root) + ". Move " + game.shortName +
          "Launcher.exe to a short folder, such as C:\\Games\\" + game.shortName + ", and run it from there.";
    return true;
}

bool Builder::LaunchGame(std::string& err) {
    return platform->Launch(GameExePath(), PlayDir(), err);
}

}  // namespace launcher
