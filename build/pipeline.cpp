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

bool Builder::RunSourceStages(std::string& err) {
    // A stop between two stages ends the run before the next one, also after a stage that does not look.
    auto stopped = [&] {
        if (!stop) return false;
        err = "cancelled";
        return true;
    };
    auto stage = [&](const std::string& name, const std::function<bool()>& body) {
        return !stopped() && RunStage(name, body);
    };
    if (!stage("build tools list", [&] { return LookUpTools(toolchain, err, true); })) return false;
    for (const Tool& tool : toolchain.tools) {
        if (tool.optional) continue;
        if (!stage("tool " + tool.id, [&] { return InstallTool(tool, err); })) return false;
    }
    if (!stage("game source", [&] { return FetchSource(err); })) return false;
    if (!stage("game's xbe", [&] { return WriteXbe(err); })) return false;
    // Times its configure and compile runs as stages of their own.
    if (stopped() || !Compile(err)) return false;
    return stage("install", [&] { return InstallBuild(err); });
}

bool Builder::BuildAll(std::string& err) {
    if (IsPackageMode(game)) return BuildPackage(err);

    stop = false;
    BeginTiming();
    // An installed game is rebuilt even from a long path: the SDK installer has run before.
    const bool ok = (IsInstalled() || !PathTooLong(err)) && RunSourceStages(err);
    ReportTiming();
    if (ok) {
        SetSetting("built", game.version);
        Report("Ready", "", 1.0);
        return true;
    }
    if (err != "cancelled") Log("build stopped: " + err);
    return false;
}

bool Builder::IsInstalled() const {
    std::error_code ec;
    // An install that was cut off leaves a mix of two builds until it is undone or finished.
    if (InstallCutOff() || !fs::exists(GameExePath(), ec)) return false;
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
