#include "build/builder.h"
#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

std::vector<fs::path> Builder::LeftoverBuildFiles() const {
    std::vector<fs::path> list;
    if (!IsPackageMode(game)) return list;
    std::error_code ec;
    for (fs::directory_iterator it(root / "tools", ec), end; !ec && it != end; it.increment(ec)) {
        // The music import's converter stays.
        if (LowerAscii(PathUtf8(it->path().filename())) == "ffmpeg") continue;
        list.push_back(it->path());
    }
    for (const char* name : {"source", "downloads", "agreed.txt"}) {
        fs::path path = root / name;
        if (EntryExists(path)) list.push_back(path);
    }
    return list;
}

uint64_t Builder::LeftoverBuildFilesSize() const {
    uint64_t total = 0;
    // A link counts as its own small entry, never as what it leads to.
    for (const fs::path& path : LeftoverBuildFiles()) total += TreeSize(path);
    return total;
}

uint64_t Builder::BuildFilesSize() const {
    fs::path folder = IsPackageMode(game) ? PlayDir() / "compiler" / "work" : root / "source" / "out";
    return TreeSize(folder);
}

}  // namespace launcher
