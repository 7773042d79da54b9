#include <algorithm>

#include "build/builder.h"
#include "platform/ascii.h"
#include "platform/file_copy.h"
#include "platform/file_in_use.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// One file of the build on its way into the play folder. It is copied beside its place under a
// temporary name first, so that a full disk or a failed read leaves the play folder as it was; then the
// file there is moved aside and the copy renamed into its place, which writes through nothing that
// stands there (a hard link to someone else's file, say) and can be undone.
struct Placing {
    std::string name;  // the file name, UTF-8
    fs::path from;     // in the build folder
    fs::path to;       // in the play folder
    fs::path fresh;    // the copy beside it
    fs::path old;      // where the file it replaces waits until the whole build is in place
    bool movedAside = false;
    bool placed = false;
};

fs::path WithSuffix(const fs::path& path, const char* suffix) {
    fs::path out = path;
    out += suffix;
    return out;
}

// A folder of the user's where a file goes is neither moved nor replaced; a link is moved as itself.
bool IsFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec)) && !IsLink(path);
}

}  // namespace

bool Builder::InstallBuild(std::string& err) {
    const fs::path buildDir = root / "source" / "out" / "build" / "release";
    const fs::path play = PlayDir();
    std::error_code ec;
    fs::create_directories(play, ec);

    // Programs carry the platform's suffix (".exe"; none on the Linux stand-in, whose libraries are ".so").
    const std::string programExtension = LowerAscii(platform->ExeSuffix());
    const std::string libraryExtension = programExtension.empty() ? ".so" : ".dll";
    const std::string mainProgram = LowerAscii(game.exe + platform->ExeSuffix());
    std::vector<std::string> programs;
    for (const std::string& name : game.exes) programs.push_back(LowerAscii(name));

    std::vector<Placing> placings;
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
        Placing placing;
        placing.name = PathUtf8(from.filename());
        placing.from = from;
        placing.to = play / from.filename();
        placing.fresh = WithSuffix(placing.to, ".launcher-new");
        placing.old = WithSuffix(placing.to, ".launcher-old");
        placings.push_back(std::move(placing));
    }
    if (ec) {
        err = "Cannot read the build folder " + PathUtf8(buildDir) + ": " + ec.message();
        return false;
    }
    // The main program goes in last: until then an earlier build's program, or none, is what Play finds.
    std::stable_partition(placings.begin(), placings.end(),
                          [&](const Placing& p) { return LowerAscii(p.name) != mainProgram; });
    const bool bringsMain = !placings.empty() && LowerAscii(placings.back().name) == mainProgram;
    if (placings.empty() || (!bringsMain && !IsInstalled())) {
        err = "The build made no " + game.exe + platform->ExeSuffix();
        return false;
    }

    std::string ignored;
    auto discardCopies = [&] {
        for (const Placing& p : placings) RemoveTree(p.fresh, ignored);
    };
    // The game holds its files while it runs, which only Windows tells; then it is named.
    auto cannotCopy = [&](const Placing& p, const std::string& reason) {
        std::string why;
        if (FileInUse(p.to, why)) return "Cannot copy " + p.name + " (is the game still running?): " + why;
        return "Cannot copy " + p.name + ": " + reason;
    };

    for (const Placing& p : placings) {
        std::string copyError;
        RemoveTree(p.fresh, ignored);  // left by an install that was cut short
        if (!CopyReplacing(p.from, p.fresh, copyError)) {
            discardCopies();
            err = "Cannot copy " + p.name + ": " + copyError;
            return false;
        }
    }
    for (const Placing& p : placings) {
        std::string why;
        if (EntryExists(p.to) && FileInUse(p.to, why)) {
            discardCopies();
            err = "Cannot copy " + p.name + " (is the game still running?): " + why;
            return false;
        }
    }

    for (size_t i = 0; i < placings.size(); ++i) {
        Placing& p = placings[i];
        std::string moveError;
        bool ok = true;
        if (EntryExists(p.to) && !IsFolder(p.to)) {
            RemoveTree(p.old, ignored);
            ok = MoveReplacing(p.to, p.old, moveError);
            p.movedAside = ok;
        }
        if (ok) {
            ok = MoveReplacing(p.fresh, p.to, moveError);
            p.placed = ok;
        }
        if (ok) continue;
        err = cannotCopy(p, moveError);
        // Everything goes back as it was, this file included.
        for (size_t j = i + 1; j-- > 0;) {
            const Placing& q = placings[j];
            std::string undoError;
            if (q.movedAside) {
                if (!MoveReplacing(q.old, q.to, undoError)) {
                    Log("install: cannot put " + q.name + " back: " + undoError);
                }
            } else if (q.placed) {
                RemoveTree(q.to, ignored);
            }
        }
        discardCopies();
        return false;
    }
    for (const Placing& p : placings) {
        if (p.movedAside) RemoveTree(p.old, ignored);
    }

    if (!IsInstalled()) {
        err = "The build made no " + game.exe + platform->ExeSuffix();
        return false;
    }
    // The update check compares the branch with what is in the play folder, not with the checkout, which
    // a failed or stopped build may have moved on already.
    SetSetting("built_commit", sourceCommit);
    Log("installed in " + PathUtf8(play));
    return true;
}

}  // namespace launcher
