#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace launcher {

// One file to download.
struct FileRef {
    std::string name;
    std::string url;
    std::string sha256;  // lower-case hex
    uint64_t size = 0;   // 0: unknown
};

// One tool of the toolchain description.
struct Tool {
    std::string id;
    std::string title;
    std::string kind;  // "zip", "tar.xz", "vsix" or "msi"
    std::string stamp;
    std::vector<FileRef> files;
    std::vector<FileRef> cabs;
    int32_t strip = 0;
    std::vector<std::string> keep;
    bool optional = false;
};

struct Toolchain {
    std::vector<Tool> tools;
    std::string sdkVersion;
};

}  // namespace launcher
