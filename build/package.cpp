#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "build/package.h"
#include "build/tools.h"
#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/file_time.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

std::string LocalPackageStamp(const fs::path& package) {
    std::error_code ec;
    uint64_t size = fs::file_size(package, ec);
    if (ec) size = std::numeric_limits<uint64_t>::max();
    int64_t ticks = 0;
    if (!LastWriteTicks(package, ticks)) ticks = std::numeric_limits<int64_t>::min();
    return std::to_string(size) + " " + std::to_string(ticks);
}

std::string Builder::FindPackage() const {
    std::string text;
    nlohmann::json settings = nlohmann::json::object();
    if (ReadWholeFile(root / "launcher.json", text)) {
        settings = nlohmann::json::parse(text, nullptr, false);
    }
    std::string sha1;
    if (settings.is_object()) {
        auto it = settings.find("game_sha1");
        if (it != settings.end() && it->is_string()) sha1 = it->get<std::string>();
    }
    if (sha1.empty() && !game.packages.empty()) {
        fs::path chosen = LocateGame();
        if (!chosen.empty()) sha1 = ChooseGame(game, chosen).sha1;
    }
    auto entry = game.packages.find(LowerAscii(sha1));
    return entry != game.packages.end() ? entry->second : game.package;
}

bool Builder::GameCodeMissing() const {
    if (!IsPackageMode(game)) return false;
    std::error_code ec;
    return fs::exists(GameExePath(), ec) && !fs::exists(PlayDir() / Utf8Path(game.exe + ".dll"), ec);
}

bool Builder::BuildPackage(std::string& err) {
    stop = false;
    BeginTiming();
    auto fail = [&] {
        packagePhase = 0;
        ReportTiming();
        if (err != "cancelled") Log("build stopped: " + err);
        return false;
    };

    if (LocateGame().empty()) {
        err = "Choose the game first.";
        return fail();
    }
    const std::string name = FindPackage();
    if (name.empty()) {
        err = "No package is known for this copy of the game: choose it again.";
        return fail();
    }

    packagePhase = 1;
    const fs::path unpackDir = PlayDir() / ".next";
    const fs::path downloads = root / "downloads";
    const fs::path beside = root.parent_path() / Utf8Path(name);
    fs::path package;
    std::string stamp;
    std::error_code ec;
    if (fs::exists(beside, ec)) {
        Log("package beside the launcher: " + PathUtf8(beside));
        package = beside;
        stamp = LocalPackageStamp(beside);
    } else if (!RunStage("package download", [&] { return DownloadPackage(name, err, stamp, downloads, package); })) {
        if (stop) err = "cancelled";
        return fail();
    }

    packagePhase = 2;
    std::string unpacked;
    bool reuse = ReadWholeFile(unpackDir / kStampName, unpacked) && unpacked == stamp;
    if (!reuse && !fs::exists(package, ec)) {
        // The download stage found this very package installed and complete: nothing to do.
        Log("package already installed: " + name);
    } else {
        if (!reuse) {
            std::string removeError;
            RemoveTree(unpackDir, removeError);  // what cannot go shows up in the unpack
            if (!RunStage("package unpack", [&] { return UnpackPackage(*this, unpackDir, ec, package, err); })) {
                if (stop) err = "cancelled";
                return fail();
            }
            WriteStamp(unpackDir / kStampName, stamp);
            // A downloaded package has served its purpose; one beside the launcher is the user's.
            if (package.parent_path() == downloads) fs::remove(package, ec);
        }

        packagePhase = 3;
        std::string failure;
        if (!RunStage("compile game code", [&] { return PrepareGameCode(*this, unpackDir, failure); })) {
            if (stop) {
                err = "cancelled";
            } else {
                err = failure.empty() ? "The game's code could not be built, see launcher.log" : failure;
            }
            return fail();
        }
        if (!fs::exists(unpackDir / Utf8Path(game.exe + ".dll"), ec)) {
            err = "The build finished without " + game.exe + ".dll, see launcher.log";
            return fail();
        }
        if (!RunStage("replace the game", [&] { return PutGameInPlace(*this, unpackDir, ec, err); })) return fail();
        std::string removeError;
        RemoveTree(unpackDir, removeError);
        if (!IsInstalled()) {
            err = "The game was put in place but is not complete, see launcher.log";
            return fail();
        }
    }

    packagePhase = 4;
    ReportTiming();
    SetSetting("built", game.version);
    Report("Ready", "", 1.0);
    return true;
}

}  // namespace launcher
