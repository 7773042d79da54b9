#include <cstdint>
#include <fstream>
#include <limits>
#include <vector>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "game/settings.h"
#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCopyBlock = 0x800000;

bool SameEntry(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

}  // namespace

bool Builder::UseGame(const SelectedGame& game, std::string& err) {
    std::error_code ec;
    fs::create_directories(PlayDir(), ec);
    const fs::path assets = PlayDir() / "assets";

    // A link (or junction) leads into the user's own folder: nothing is ever deleted through it. The folder
    // chosen last counts as linked as well, so that nothing in it is deleted even if it is no link.
    const fs::path earlier = ReadGameKey(root / "launcher.json");
    const bool isLink = IsLink(assets);
    const bool linked = isLink ||
                        (!earlier.empty() && fs::is_directory(earlier, ec) && SameEntry(assets, earlier));
    // Picking the copy that is already in place (the image inside "assets", or the folder it leads to)
    // must not delete it on the way to putting it in place again.
    const bool inPlace = game.isImage ? !linked && SameEntry(assets, game.path.parent_path())
                                      : linked && SameEntry(assets, game.path);

    if (!inPlace && EntryExists(assets)) {
        if (isLink) {
            // The link goes as itself; the folder it leads to is not entered.
            std::string removeError;
            RemoveTree(assets, removeError);
        } else if (!fs::remove(assets, ec) && !linked) {
            // A folder of ours: the images in it are hard links or copies.
            for (fs::directory_iterator it(assets, ec), end; !ec && it != end; it.increment(ec)) {
                if (LowerAscii(PathUtf8(it->path().extension())) != ".iso") continue;
                std::error_code removeError;
                fs::remove(it->path(), removeError);
            }
            fs::remove(assets, ec);
        }
        if (EntryExists(assets)) {
            err = "Cannot replace " + PathUtf8(assets) + ": remove it by hand and choose the game again.";
            return false;
        }
    }

    if (inPlace) {
        // Nothing to link or copy.
    } else if (!game.isImage) {
        if (!platform->LinkFolder(assets, game.path, err)) return false;
    } else {
        fs::create_directory(assets, ec);
        const fs::path target = assets / game.path.filename();
        if (!platform->HardLink(target, game.path)) {
            Log("copying " + PathUtf8(game.path) + " to " + PathUtf8(target));
            // Written under a temporary name, so a stopped or failed copy never looks like the image;
            // the name keeps the ".iso" extension so that the next choice clears a leftover away.
            fs::path partialName = game.path.stem();
            partialName += ".partial";
            partialName += game.path.extension();
            const fs::path partial = assets / partialName;
            uint64_t total = fs::file_size(game.path, ec);
            if (ec) total = std::numeric_limits<uint64_t>::max();
            uint64_t done = 0;
            bool written = false;
            {
                std::ifstream in(game.path, std::ios::binary);
                std::ofstream out(partial, std::ios::binary | std::ios::trunc);
                std::vector<char> buffer(kCopyBlock, 0);
                while (in && out) {
                    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                    std::streamsize got = in.gcount();
                    out.write(buffer.data(), got);
                    done += static_cast<uint64_t>(got);
                    Report("Copying the disc image", FormatSize(done) + " of " + FormatSize(total),
                           total == 0 ? -1.0 : static_cast<double>(done) / static_cast<double>(total));
                    if (stop) break;
                }
                out.close();
                written = !out.fail() && done == total;
            }
            if (written) {
                std::string why;
                written = MoveReplacing(partial, target, why);
                if (!written) Log("cannot rename " + PathUtf8(partial) + ": " + why);
            }
            if (!written) {
                fs::remove(partial, ec);
                err = stop ? "cancelled" : "Could not copy the disc image (is the drive full?)";
                return false;
            }
        }
    }

    const std::string pathText = PathUtf8(game.path);
    SetSetting("game", pathText);
    SetSetting("game_sha1", game.sha1);
    if (fs::path perUser = SettingsPath(); !perUser.empty()) {
        nlohmann::json doc = nlohmann::json::object();
        doc["game"] = pathText;
        WriteSettingsFile(perUser, doc);
    }
    Log("game: " + pathText + ", " + game.release + ", sha1 " + game.sha1);
    return true;
}

}  // namespace launcher
