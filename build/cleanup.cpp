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

}  // namespace

std::vector<fs::path> Builder::LeftoverBuildFiles() const {
    std::vector<fs::path> list;
    if (!IsPackageMode(game)) return list;
    const fs::path tools = root / "tools";
    if (IsLink(tools)) {
        // A tools folder that leads elsewhere (into the user's own folders, say) is one leftover: the
        // link, never what it leads to.
        list.push_back(tools);
    } else {
        std::error_code ec;
        for (fs::directory_iterator it(tools, ec), end; !ec && it != end; it.increment(ec)) {
            // The music import's converter stays.
            if (LowerAscii(PathUtf8(it->path().filename())) == "ffmpeg") continue;
            list.push_back(it->path());
        }
    }
    for (const char* name : {"source", "downloads", "agreed.txt"}) {
        fs::path path = root / name;
        if (EntryExists(path)) list.push_back(path);
    }
    return list;
}

uint64_t Builder::LeftoverBuildFilesSize(bool* whole) const {
    uint64_t total = 0;
    bool all = true;
    // A link counts as its own small entry, never as what it leads to.
    for (const fs::path& path : LeftoverBuildFiles()) {
        uint64_t bytes = 0;
        std::string why;
        if (!TreeSize(path, bytes, why)) all = false;
        total += bytes;
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
    for (const fs::path& path : LeftoverBuildFiles()) {
        // A link met inside goes as itself: a tools folder may lead into the user's own folders.
        std::string why;
        if (!RemoveTree(path, why)) {
            err = "Could not remove " + PathUtf8(path) + ": " + why;
            return false;
        }
        Log("removed " + PathUtf8(path));
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
