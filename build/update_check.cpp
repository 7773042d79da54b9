#include <system_error>

#include "app/release.h"
#include "build/builder.h"
#include "build/environment.h"
#include "build/source_build.h"
#include "game/settings.h"
#include "platform/paths.h"

namespace launcher {

bool Builder::GameUpdateAvailable(bool* available, std::string& err) {
    *available = false;
    if (IsVersionTag(game.version)) {
        // A released launcher installs the game of its own version.
        if (IsInstalled()) *available = ReadBuilt() != game.version;
        return true;
    }
    // A development launcher follows its branch through the source checkout; without one (a game
    // installed from a package) there is nothing newer to know of.
    std::filesystem::path sourceDir = root / "source";
    std::error_code ec;
    if (!std::filesystem::exists(sourceDir / ".git", ec)) return true;
    // Only the remote-tracking branch moves: the checkout's files stay as built until the next build.
    const std::string source = CommandPath(sourceDir);
    if (Git({"-C", source, "fetch", "origin", game.branch}, nullptr, err) != 0) return false;
    // What counts is the game in the play folder: a build that failed or was stopped after its source
    // stage has moved the checkout on already. A build installed before the commit was recorded is
    // taken to be the checkout's.
    std::string built = ReadStringKey(root / "launcher.json", "built_commit");
    if (built.empty()) {
        std::string head;
        if (Git({"-C", source, "rev-parse", "HEAD"}, &head, err) != 0) return false;
        built = FirstLine(head);
    }
    std::string remote;
    if (Git({"-C", source, "rev-parse", "origin/" + game.branch}, &remote, err) != 0) return false;
    *available = built != FirstLine(remote);
    return true;
}

}  // namespace launcher
