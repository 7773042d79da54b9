#include <system_error>

#include "app/release.h"
#include "build/builder.h"

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
    std::error_code ec;
    if (!std::filesystem::exists(root / "source" / ".git", ec)) return true;
    err = "the game's source checkout cannot be compared with its branch by this launcher";
    return false;
}

}  // namespace launcher
