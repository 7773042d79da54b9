#include <system_error>

#include "app/release.h"
#include "build/builder.h"
#include "build/environment.h"
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
    std::string head, remote;
    if (Git({"-C", source, "fetch", "origin", game.branch}, nullptr, err) != 0 ||
        Git({"-C", source, "rev-parse", "HEAD"}, &head, err) != 0 ||
        Git({"-C", source, "rev-parse", "origin/" + game.branch}, &remote, err) != 0) {
        return false;
    }
    *available = head != remote;
    return true;
}

}  // namespace launcher
