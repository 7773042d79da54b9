#include <algorithm>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "build/source_build.h"
#include "build/toolchain.h"
#include "build/tools.h"
#include "platform/ascii.h"
#include "platform/file_copy.h"
#include "platform/file_in_use.h"
#include "platform/file_ops.h"
#include "platform/json_fields.h"
#include "platform/paths.h"
#include "platform/plain_file.h"

namespace launcher {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The record of an install under way, beside the play folder. It names every file the install brings in
// and whether one stood there before, and is in place before the play folder is first changed; "done"
// turns true once every new file is in its place. A start after a kill reads it to undo the install (before
// "done") or to finish it, so the play folder is always one whole build.
constexpr const char* kJournalName = "play.launcher-install";
constexpr const char* kFreshSuffix = ".launcher-new";
constexpr const char* kOldSuffix = ".launcher-old";

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
    bool replaces = false;  // a file (or link) stood at `to` when the install began
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

bool IsPlainFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(path, ec)) && !IsLink(path);
}

Placing PlacingFor(const fs::path& play, const std::string& name) {
    Placing p;
    p.name = name;
    p.to = play / Utf8Path(name);
    p.fresh = WithSuffix(p.to, kFreshSuffix);
    p.old = WithSuffix(p.to, kOldSuffix);
    return p;
}

// Puts the play folder back as it was before the install began: every file moved aside goes back, every
// file brought in where none stood goes, every copy goes. Each step can be repeated after a kill in the
// middle of it: a file is back once its ".launcher-old" is gone, and one brought in where none stood is
// the one whose copy is gone. False, with the first reason, when a file could not be put back.
bool Undo(const std::vector<Placing>& placings, std::string& err) {
    bool whole = true;
    std::string ignored;
    for (size_t i = placings.size(); i-- > 0;) {
        const Placing& p = placings[i];
        std::string why;
        if (EntryExists(p.old)) {
            if (!MoveReplacing(p.old, p.to, why)) {
                if (whole) err = "Cannot put " + p.name + " back: " + why;
                whole = false;
                continue;
            }
        } else if (!p.replaces && !EntryExists(p.fresh) && IsPlainFile(p.to)) {
            RemoveTree(p.to, ignored);
        }
        RemoveTree(p.fresh, ignored);
    }
    return whole;
}

// What an install that got as far as "done" leaves to do: the replaced files go.
void Finish(const std::vector<Placing>& placings) {
    std::string ignored;
    for (const Placing& p : placings) {
        RemoveTree(p.old, ignored);
        RemoveTree(p.fresh, ignored);
    }
}

InstallJournal JournalOf(const std::vector<Placing>& placings, bool done, const std::string& commit) {
    InstallJournal journal;
    journal.done = done;
    journal.commit = commit;
    for (const Placing& p : placings) journal.files.push_back({p.name, p.replaces});
    return journal;
}

// Written under a temporary name and renamed over the old record, so a kill leaves the old or the new one.
bool WriteJournal(const fs::path& file, const InstallJournal& journal, std::string& err) {
    return ReplaceFileWhole(file, WriteInstallJournal(journal), kFreshSuffix, err);
}

}  // namespace

std::string WriteInstallJournal(const InstallJournal& journal) {
    json files = json::array();
    for (const InstallJournal::File& file : journal.files) files.push_back({{"name", file.name}, {"replaces", file.replaces}});
    // A name that is not UTF-8 (Linux names are bytes) is written with stand-ins rather than throw.
    return json{{"done", journal.done}, {"commit", journal.commit}, {"files", files}}.dump(
        1, ' ', false, json::error_handler_t::replace);
}

bool ReadInstallJournal(const std::string& text, InstallJournal& journal) {
    journal = InstallJournal{};
    std::string tooLarge;
    if (!JsonWithinBounds(text, "the install's record", tooLarge)) return false;
    const json record = json::parse(text, nullptr, false);
    if (!record.is_object()) return false;
    JsonFields fields(record, "the install's record");
    journal.done = fields.Flag("done");
    journal.commit = fields.Text("commit", "");
    const json& files = fields.List("files");
    if (!fields.ok() || !fields.Has("files")) return false;
    for (const json& item : files) {
        JsonFields file(item, "a file of the install's record");
        InstallJournal::File entry;
        entry.name = file.Text("name", "");
        entry.replaces = !file.Has("replaces") || file.Flag("replaces");
        if (!item.is_object() || !file.ok()) return false;
        // One entry of the play folder's top level, nothing that leads elsewhere.
        if (IsPlainName(entry.name)) journal.files.push_back(std::move(entry));
    }
    return true;
}

bool Builder::InstallCutOff() const {
    return EntryExists(root / kJournalName);
}

bool Builder::FinishCutInstall(std::string& err) {
    const fs::path journalFile = root / kJournalName;
    if (!EntryExists(journalFile)) return true;
    const fs::path play = PlayDir();
    std::string text;
    InstallJournal journal;
    std::vector<Placing> placings;
    if (ReadWholeFile(journalFile, text) && ReadInstallJournal(text, journal)) {
        for (const InstallJournal::File& file : journal.files) {
            Placing p = PlacingFor(play, file.name);
            p.replaces = file.replaces;
            placings.push_back(std::move(p));
        }
    } else {
        // Only a damaged disk gives a record that cannot be read: what the install left beside each file
        // is put back, which undoes all but the files it brought in where none stood.
        Log("install: the record of an install that was cut off cannot be read: its files are put back");
        journal = InstallJournal{};
        std::error_code ec;
        for (fs::directory_iterator it(play, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = PathUtf8(it->path().filename());
            for (const char* suffix : {kOldSuffix, kFreshSuffix}) {
                const std::string s = suffix;
                if (name.size() <= s.size() || name.compare(name.size() - s.size(), s.size(), s) != 0) continue;
                Placing p = PlacingFor(play, name.substr(0, name.size() - s.size()));
                p.replaces = true;
                placings.push_back(std::move(p));
            }
        }
    }
    const bool done = journal.done;
    const std::string& commit = journal.commit;

    if (done) {
        Finish(placings);
        if (!commit.empty()) SetSetting("built_commit", commit);
        Log("install: an install that was cut off after its last file was finished");
    } else {
        std::string why;
        if (!Undo(placings, why)) {
            err = why;
            Log("install: an install that was cut off cannot be undone yet: " + why);
            return false;
        }
        Log("install: an install that was cut off was undone; the build before it is in place");
    }
    std::string removeError;
    if (!RemoveTree(journalFile, removeError)) {
        err = "Cannot remove " + PathUtf8(journalFile) + ": " + removeError;
        return false;
    }
    return true;
}

bool Builder::InstallBuild(std::string& err) {
    const fs::path buildDir = root / "source" / "out" / "build" / "release";
    const fs::path play = PlayDir();
    const fs::path journalFile = root / kJournalName;
    std::error_code ec;
    fs::create_directories(play, ec);
    // What an earlier install left half done is settled first, so that this one starts from a whole build.
    if (!FinishCutInstall(err)) return false;
    auto step = [&] {
        if (installStep) installStep();
    };

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
        Placing placing = PlacingFor(play, PathUtf8(from.filename()));
        placing.from = from;
        placing.replaces = EntryExists(placing.to) && !IsFolder(placing.to);
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
    // Undoes what was done so far and drops the record; the play folder is as it was.
    auto fail = [&](const std::string& why) {
        std::string undoError;
        if (Undo(placings, undoError)) {
            RemoveTree(journalFile, ignored);
        } else {
            // The record stays, and the next start or install tries again.
            Log("install: " + undoError);
        }
        err = why;
        return false;
    };
    // The game holds its files while it runs, which only Windows tells; then it is named.
    auto cannotCopy = [&](const Placing& p, const std::string& reason) {
        std::string why;
        if (FileInUse(p.to, why)) return "Cannot copy " + p.name + " (is the game still running?): " + why;
        return "Cannot copy " + p.name + ": " + reason;
    };

    step();
    if (std::string why; !WriteJournal(journalFile, JournalOf(placings, false, sourceCommit), why)) {
        err = "Cannot write " + PathUtf8(journalFile) + ": " + why;
        return false;
    }
    for (const Placing& p : placings) {
        std::string copyError;
        step();
        RemoveTree(p.fresh, ignored);
        if (!CopyReplacing(p.from, p.fresh, copyError)) return fail("Cannot copy " + p.name + ": " + copyError);
    }
    for (const Placing& p : placings) {
        std::string why;
        if (EntryExists(p.to) && FileInUse(p.to, why)) {
            return fail("Cannot copy " + p.name + " (is the game still running?): " + why);
        }
    }
    for (const Placing& p : placings) {
        std::string moveError;
        if (p.replaces) {
            step();
            RemoveTree(p.old, ignored);
            if (!MoveReplacing(p.to, p.old, moveError)) return fail(cannotCopy(p, moveError));
        }
        step();
        if (!MoveReplacing(p.fresh, p.to, moveError)) return fail(cannotCopy(p, moveError));
    }

    // From here on the new build is the one in place, whatever happens next.
    step();
    if (std::string why; !WriteJournal(journalFile, JournalOf(placings, true, sourceCommit), why)) {
        return fail("Cannot write " + PathUtf8(journalFile) + ": " + why);
    }
    // The update check compares the branch with what is in the play folder, not with the checkout, which
    // a failed or stopped build may have moved on already.
    SetSetting("built_commit", sourceCommit);
    for (const Placing& p : placings) {
        if (!p.replaces) continue;
        step();
        RemoveTree(p.old, ignored);
    }
    step();
    if (std::string why; !RemoveTree(journalFile, why)) {
        err = "Cannot remove " + PathUtf8(journalFile) + ": " + why;
        return false;
    }

    if (!IsInstalled()) {
        err = "The build made no " + game.exe + platform->ExeSuffix();
        return false;
    }
    Log("installed in " + PathUtf8(play));
    return true;
}

}  // namespace launcher
