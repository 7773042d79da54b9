#include <system_error>

#include "app/release.h"
#include "build/builder.h"
#include "build/environment.h"
#include "build/source_build.h"
#include "game/game_definition.h"
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
    // A development launcher follows its branch through the source checkout. A game installed from a
    // package has none, and nothing newer to know of.
    std::filesystem::path sourceDir = root / "source";
    std::error_code ec;
    // What counts is the game in the play folder: a build that failed or was stopped after its source
    // stage has moved the checkout on already.
    std::string built = ReadStringKey(root / "launcher.json", "built_commit");
    if (!std::filesystem::exists(sourceDir / ".git", ec)) {
        if (IsPackageMode(game)) return true;
        // The checkout is gone (removed by hand): the server's branch is compared with the build in the play
        // folder, and a build whose commit is unknown is offered again.
        std::string remote;
        if (Git({"ls-remote", game.repo, "refs/heads/" + game.branch}, &remote, err, false) != 0) return false;
        const std::string line = FirstLine(remote);
        const std::string tip = line.substr(0, line.find('\t'));
        if (tip.empty()) {
            err = "the branch " + game.branch + " is not on the server";
            return false;
        }
        *available = built != tip;
        return true;
    }
    // Only the remote-tracking branch moves: the checkout's files stay as built until the next build. A
    // fetch that brings much says so as it goes, and is not taken for a server that fell silent.
    const std::string source = CommandPath(sourceDir);
    if (Git({"-C", source, "fetch", "--progress", "origin", game.branch}, nullptr, err, false) != 0) return false;
    // A build installed before the commit was recorded is taken to be the checkout's.
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
