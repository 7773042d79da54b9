#include <algorithm>

#include "build/builder.h"
#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// The package's own code build works in the play folder; a build from source in its CMake tree.
fs::path BuildFilesFolder(const Builder& builder) {
    return IsPackageMode(builder.game) ? builder.PlayDir() / "compiler" / "work" : builder.root / "source" / "out";
}

// The tools folder's part of the leftovers. The folder is opened once, and its entries are listed,
// measured and removed relative to what was opened: a link that takes its place meanwhile (into a folder
// of the user's with the same layout, say) is never listed, counted or emptied through.
struct ToolLeftovers {
    explicit ToolLeftovers(const fs::path& path) : folder(path) {
        std::string why;
        // What could not be listed contributes nothing.
        if (folder.found() == HeldFolder::Found::Folder) folder.List(names, why);
        // The music import's converter stays.
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const fs::path& name) { return LowerAscii(PathUtf8(name)) == "ffmpeg"; }),
                    names.end());
    }

    // A tools folder that leads elsewhere, or that another file system is mounted on, is one leftover:
    // the link itself, never what it leads to.
    bool itself() const {
        return folder.found() == HeldFolder::Found::Link || folder.found() == HeldFolder::Found::Mounted;
    }

    HeldFolder folder;
    std::vector<fs::path> names;
};

// The leftovers beside the tools folder.
std::vector<fs::path> OtherLeftovers(const fs::path& root) {
    std::vector<fs::path> list;
    for (const char* name : {"source", "downloads", "agreed.txt"}) {
        fs::path path = root / name;
        if (EntryExists(path)) list.push_back(path);
    }
    return list;
}

}  // namespace

std::vector<fs::path> Builder::LeftoverBuildFiles() const {
    std::vector<fs::path> list;
    if (!IsPackageMode(game)) return list;
    const ToolLeftovers tools(root / "tools");
    if (tools.itself()) list.push_back(tools.folder.path());
    for (const fs::path& name : tools.names) list.push_back(tools.folder.path() / name);
    for (fs::path& path : OtherLeftovers(root)) list.push_back(std::move(path));
    return list;
}

uint64_t Builder::LeftoverBuildFilesSize(bool* whole) const {
    uint64_t total = 0;
    bool all = true;
    if (IsPackageMode(game)) {
        const ToolLeftovers tools(root / "tools");
        std::vector<fs::path> paths = OtherLeftovers(root);
        // A link counts as its own small entry, never as what it leads to.
        if (tools.itself()) paths.insert(paths.begin(), tools.folder.path());
        for (const fs::path& name : tools.names) {
            uint64_t bytes = 0;
            std::string why;
            if (!tools.folder.TreeSize(name, bytes, why)) all = false;
            total += bytes;
        }
        for (const fs::path& path : paths) {
            uint64_t bytes = 0;
            std::string why;
            if (!TreeSize(path, bytes, why)) all = false;
            total += bytes;
        }
    }
    if (whole) *whole = all;
    return total;
}

uint64_t Builder::BuildFilesSize(bool* whole) const {
    uint64_t bytes = 0;
    std::string why;
    const bool all = TreeSize(BuildFilesFolder(*this), bytes, why);
    if (whole) *whole = all;
    return bytes;
}

bool Builder::RemoveLeftoverBuildFiles(std::string& err) {
    if (!IsPackageMode(game)) return true;
    // A link met inside goes as itself: a tools folder may lead into the user's own folders.
    const auto removed = [&](bool ok, const fs::path& path, const std::string& why) {
        if (!ok) {
            err = "Could not remove " + PathUtf8(path) + ": " + why;
            return false;
        }
        Log("removed " + PathUtf8(path));
        return true;
    };
    const ToolLeftovers tools(root / "tools");
    std::string why;
    if (tools.itself() && !removed(RemoveTree(tools.folder.path(), why), tools.folder.path(), why)) return false;
    for (const fs::path& name : tools.names) {
        if (!removed(tools.folder.RemoveTree(name, why), tools.folder.path() / name, why)) return false;
    }
    for (const fs::path& path : OtherLeftovers(root)) {
        if (!removed(RemoveTree(path, why), path, why)) return false;
    }
    return true;
}

bool Builder::RemoveBuildFiles(std::string& err) {
    std::string why;
    if (!RemoveTree(BuildFilesFolder(*this), why)) {
        err = "Could not remove the build files: " + why;
        return false;
    }
    return true;
}

}  // namespace launcher
