#include "build/builder.h"
#include "platform/ascii.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Regular files below `folder`; links and junctions are neither counted nor entered.
uint64_t FilesBelow(const fs::path& folder) {
    uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        fs::file_status status = it->symlink_status(sec);
        if (sec) continue;
        if (fs::is_symlink(status)) {
            it.disable_recursion_pending();
            continue;
        }
        if (fs::is_regular_file(status)) {
            uint64_t size = it->file_size(sec);
            if (!sec) total += size;
        }
    }
    return total;
}

}  // namespace

std::vector<fs::path> Builder::LeftoverBuildFiles() const {
    std::vector<fs::path> list;
    if (!IsPackageMode(game)) return list;
    std::error_code ec;
    for (fs::directory_iterator it(root / "tools", ec), end; !ec && it != end; it.increment(ec)) {
        // The music import's converter stays.
        if (LowerAscii(it->path().filename().string()) == "ffmpeg") continue;
        list.push_back(it->path());
    }
    for (const char* name : {"source", "downloads", "agreed.txt"}) {
        fs::path path = root / name;
        if (fs::exists(fs::symlink_status(path, ec))) list.push_back(path);
    }
    return list;
}

uint64_t Builder::LeftoverBuildFilesSize() const {
    uint64_t total = 0;
    for (const fs::path& path : LeftoverBuildFiles()) {
        std::error_code ec;
        if (fs::is_regular_file(path, ec)) {
            uint64_t size = fs::file_size(path, ec);
            if (!ec) total += size;
        } else {
            total += FilesBelow(path);
        }
    }
    return total;
}

uint64_t Builder::BuildFilesSize() const {
    fs::path folder = IsPackageMode(game) ? PlayDir() / "compiler" / "work" : root / "source" / "out";
    std::error_code ec;
    if (!fs::exists(folder, ec)) return 0;
    return FilesBelow(folder);
}

}  // namespace launcher
