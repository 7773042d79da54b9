#include "build/tools.h"

#include <fstream>
#include <map>
#include <set>

#include "build/builder.h"
#include "build/entry_map.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/plain_file.h"
#include "platform/tar_xz.h"
#include "platform/transfer.h"
#include "platform/zip.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Writes `bytes` whole or not at all: through a temporary file that replaces `file` at the end, so that
// an interrupted write never leaves a cut copy behind. The temporary file is made new, never written
// through a link standing at its name. False when it could not be written.
bool WriteWholeFile(const fs::path& file, const std::string& bytes) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::string err;
    return ReplaceFileWhole(file, bytes, ".new", err);
}

// Removes `path` (a link as itself); false with "Could not remove <path>: <reason>" when something stays.
bool RemoveOrSay(const fs::path& path, std::string& err) {
    std::string why;
    if (RemoveTree(path, why)) return true;
    err = "Could not remove " + PathUtf8(path) + ": " + why;
    return false;
}

// Before a tool is installed again: its stamp goes first, so that a tool folder which cannot be emptied
// never counts as installed, then the folder. The "tools" and "downloads" folders and the tool's own
// download folder are only ever the launcher's own: a link standing at any of them goes as itself,
// since the folder would otherwise be emptied, unpacked or downloaded into through it. The stamp and
// the tool's folder are removed relative to the "tools" folder as it was opened, never by their paths:
// one swapped for a link meanwhile is not emptied through it, and the clear then fails. The download
// folder itself stays, with the complete and partial downloads of an earlier attempt.
bool ClearForInstall(const fs::path& stampFile, const fs::path& dir, const fs::path& downloads, std::string& err) {
    const HeldFolder tools(dir.parent_path());
    const bool linked = tools.found() == HeldFolder::Found::Link || tools.found() == HeldFolder::Found::Mounted;
    if (linked && !RemoveOrSay(tools.path(), err)) return false;
    for (const fs::path& folder : {downloads.parent_path(), downloads}) {
        if (IsLink(folder) && !RemoveOrSay(folder, err)) return false;
    }
    if (linked) return true;  // nothing of the launcher's was in it
    const auto said = [&err](bool ok, const fs::path& path, const std::string& why) {
        if (!ok) err = "Could not remove " + PathUtf8(path) + ": " + why;
        return ok;
    };
    std::string why;
    {
        // A tool folder that is a link holds no stamp of the launcher's: it goes as itself. The folder is
        // let go of before it goes: Windows keeps a folder that a handle still holds.
        const HeldFolder tool(tools, dir.filename());
        const bool held = tool.found() == HeldFolder::Found::Folder;
        if (held && !said(tool.RemoveTree(stampFile.filename(), why), stampFile, why)) return false;
    }
    return said(tools.RemoveTree(dir.filename(), why), dir, why);
}

}  // namespace

bool ReadWholeFile(const std::filesystem::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    // read() turns a failing read (a folder opens on POSIX) into badbit instead of an exception.
    std::string bytes;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) return false;
    out = std::move(bytes);
    return true;
}

std::filesystem::path Builder::ToolDir(const std::string& id) const {
    return root / "tools" / Utf8Path(id);
}

bool Builder::LookUpTools(Toolchain& toolchain, std::string& err, bool withMsvcAndSdk) {
    Report("Looking up the build tools", "", -1);
    const fs::path saved = root / "toolchain.json";
    std::string text;
    std::string fetchErr;
    bool fetched = false;
    if (!http) {
        fetchErr = "no connection to the internet";
    } else {
        fetched = FetchText(*http, game.toolchain, text, fetchErr, &stop);
    }
    // A stop is no reason to fall back on another list.
    if (!fetched && fetchErr == "cancelled") {
        err = fetchErr;
        return false;
    }
    if (!fetched) {
        if (ReadWholeFile(saved, text)) {
            Log("toolchain.json could not be fetched (" + fetchErr + "), the last one is used");
        } else if (builtinToolchain.empty()) {
            err = "Could not download the list of build tools: " + fetchErr;
            return false;
        } else {
            text = builtinToolchain;
            Log("toolchain.json could not be fetched (" + fetchErr + "), the launcher's own is used");
        }
    }

    toolchain.tools.clear();
    toolchain.sdkVersion.clear();
    if (!ReadToolchain(text, toolchain.tools, err)) return false;
    if (withMsvcAndSdk) {
        if (!http) {
            err = "Visual Studio channel: no connection to the internet";
            return false;
        }
        if (!ResolveMsvcAndSdk(*http, text, toolchain, err, &stop)) return false;
    }
    // Only a description that reads as far as the caller asked replaces the saved one: a broken answer
    // must not take the place of the copy that works offline. A copy that cannot be written is no reason
    // to stop.
    if (fetched) WriteWholeFile(saved, text);

    uint64_t sum = 0;
    for (const Tool& tool : toolchain.tools) {
        if (!tool.optional) sum = AddSizes(sum, ToolDownloadSize(tool));
    }
    Log("tools: " + std::to_string(toolchain.tools.size()) + ", " + FormatSize(sum) + " to download at most");
    return true;
}

bool Builder::InstallTool(const Tool& tool, std::string& err) {
    // The tool's folder is emptied below: an id that is not one plain name could reach elsewhere.
    if (!IsPlainName(tool.id)) {
        err = "The tool \"" + tool.id + "\" has no usable name.";
        return false;
    }
    const fs::path dir = ToolDir(tool.id);
    const fs::path stampFile = dir / ".launcher-stamp";
    std::string stamp;
    if (ReadWholeFile(stampFile, stamp) && stamp == tool.stamp) return true;

    // Nothing is unpacked into, downloaded into or stamped through what could not be removed first: a
    // link standing there (to a folder of the user's) goes as itself, or the install stops.
    const fs::path downloads = root / "downloads" / Utf8Path(tool.id);
    if (!ClearForInstall(stampFile, dir, downloads, err)) return false;
    std::error_code ec;
    fs::create_directories(downloads, ec);

    uint64_t total = ToolDownloadSize(tool);
    uint64_t done = 0;
    const std::string progressTitle = "Downloading " + tool.title;
    auto fetch = [&](const FileRef& file) {
        if (!IsPlainName(file.name)) {
            err = "Could not download " + file.name + ": that is no plain file name";
            return false;
        }
        Log("download " + file.url);
        ProgressSink progress = [&](uint64_t bytes, uint64_t) {
            const double fraction = total > 0 ? static_cast<double>(done + bytes) / static_cast<double>(total) : -1;
            Report(progressTitle, FormatSize(done + bytes) + " of " + FormatSize(total), fraction);
        };
        std::string downloadErr;
        const bool ok = Download(*http, file.url, downloads / Utf8Path(file.name), file.sha256, file.size, progress,
                                 &stop, downloadErr);
        done += file.size;
        if (ok) return true;
        err = downloadErr == "cancelled" ? downloadErr : "Could not download " + file.name + ": " + downloadErr;
        return false;
    };

    if (!http) {
        err = "Could not download " + tool.title + ": no connection to the internet";
        return false;
    }
    for (const FileRef& file : tool.files) {
        if (!fetch(file)) return false;
    }
    Report("Unpacking " + tool.title, "", -1);

    if (tool.kind == "msi") {
        // Only the cabinets that the chosen installers name are fetched, not every one of the package.
        std::map<std::string, const FileRef*> cabinets;
        for (const FileRef& cab : tool.cabs) cabinets[LowerAscii(cab.name)] = &cab;
        std::vector<const FileRef*> needed;
        std::set<std::string> seen;
        for (const FileRef& msi : tool.files) {
            std::string bytes;
            ReadWholeFile(downloads / Utf8Path(msi.name), bytes);
            for (const std::string& name : CabNamesInMsi(bytes)) {
                auto found = cabinets.find(LowerAscii(name));
                if (found != cabinets.end() && seen.insert(found->first).second) needed.push_back(found->second);
            }
        }
        total = done;
        for (const FileRef* cab : needed) total += cab->size;
        for (const FileRef* cab : needed) {
            if (!fetch(*cab)) return false;
        }
        for (size_t i = 0; i < tool.files.size(); ++i) {
            const FileRef& msi = tool.files[i];
            Report("Unpacking " + tool.title, msi.name,
                   static_cast<double>(i) / static_cast<double>(tool.files.size()));
            Log("extract " + msi.name);
            if (!platform->ExtractMsi(downloads / Utf8Path(msi.name), dir, err)) return false;
            if (stop) {
                err = "cancelled";
                return false;
            }
        }
    } else {
        EntryMapper map = [&tool](const std::string& name) { return MapArchiveEntry(tool, name); };
        const ProgressSink progress = UnpackProgress(*this, tool);
        for (const FileRef& file : tool.files) {
            Log("unpack " + file.name);
            const fs::path archive = downloads / Utf8Path(file.name);
            const bool ok = tool.kind == "tar.xz" ? ExtractTarXz(archive, dir, map, progress, &stop, err)
                                                  : ExtractZip(archive, dir, map, progress, &stop, err);
            if (!ok) return false;
        }
    }

    // Written last: a stopped or failed install leaves no matching stamp and starts over next time.
    WriteWholeFile(stampFile, tool.stamp);
    if (!RemoveOrSay(downloads, err)) return false;
    Log(tool.title + " ready in " + PathUtf8(dir));
    return true;
}

}  // namespace launcher
