#include "build/tools.h"

#include <fstream>

#include "build/builder.h"
#include "platform/paths.h"

namespace launcher {

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

}  // namespace launcher
