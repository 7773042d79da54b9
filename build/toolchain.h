#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ascii.h"

namespace launcher {

class Http;

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

// Appends the tools of the description's "tools" list. On false `err` holds the sentence and `tools`
// the tools read before the faulty one. A value of the wrong JSON type fails the reading too.
bool ReadToolchain(const std::string& text, std::vector<Tool>& tools, std::string& err);

// Looks the description's "msvc" and "sdk" entries up in the Visual Studio release channel and its
// package manifest and appends the "msvc" and "winsdk" tools; changes `toolchain` only on success.
bool ResolveMsvcAndSdk(Http& http, const std::string& text, Toolchain& toolchain, std::string& err,
                       const std::atomic<bool>* stop);

// The cabinet files an MSI names (32 lower-case hex digits and ".cab"), found in its raw bytes; sorted,
// each once.
std::vector<std::string> CabNamesInMsi(const std::string& bytes);

// Bytes of everything the tool may download: its files and all its cabinets; the largest size there is
// when the sum goes beyond it.
uint64_t ToolDownloadSize(const Tool& tool);

// a + b, held at the largest size there is instead of wrapping round to a small one.
inline uint64_t AddSizes(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// ASCII lower case, without a copy.
inline std::string ToLowerMove(std::string&& text) {
    return LowerAscii(std::move(text));
}

// Whether `name` can stand as one file or folder name inside a folder of ours: one safe component.
bool IsPlainName(const std::string& name);

// Whether a Windows SDK version can name the SDK's folders and stand in PATH, INCLUDE and LIB: one plain
// name made of letters, digits, '.', '-' and '_' only (no list separator, line end or NUL).
bool IsPlainVersion(const std::string& version);

// The toolchain description built into the launcher, used when no other can be had.
const std::string& BuiltinToolchainJson();

}  // namespace launcher
