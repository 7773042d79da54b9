#pragma once

// The pure pieces of the child-process runner, compiled and tested on every target: command-line
// quoting, the environment a child receives, and cutting a child's output into lines.

#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace launcher {

// One argument quoted so that the Windows C runtime's command-line splitting gives it back unchanged.
// The rules only look at ASCII characters, so the narrow form works on UTF-8 text.
std::wstring QuoteArg(const std::wstring& arg);
std::string QuoteArg(const std::string& arg);
// The quoted arguments joined with one space: how a command line is shown (and built on Windows).
std::string JoinCommandLine(const std::vector<std::string>& args);

// ---- Windows environment block --------------------------------------------------------------------

using WideEnv = std::vector<std::pair<std::wstring, std::wstring>>;

// Splits "NAME=value" entries as the system lists them. Entries shorter than two characters or without
// an "=" after the first character are skipped; the hidden per-drive entries ("=C:=C:\x") keep their
// leading "=" in the name.
WideEnv SplitEnvironment(const std::vector<std::wstring>& entries);
// Lays the overrides, in their order, over the entries: names compare case-insensitively, every entry of
// the same name goes, and the override is appended. An empty value stays an empty value.
void OverlayEnvironment(WideEnv& env, const WideEnv& overrides);
// Sorts by name the way the C runtime's _wcsicmp orders them in the "C" locale (letters folded to
// lower case, so "=" sorts before "_" and "_" before letters).
void SortEnvironment(WideEnv& env);
// name=value entries, each ended by a zero unit, and one more zero unit after the last.
std::wstring EnvironmentBlock(const WideEnv& env);
// All of the above: the block a child is given.
std::wstring BuildEnvironmentBlock(const std::vector<std::wstring>& inherited, const WideEnv& overrides);

// ---- POSIX environment ------------------------------------------------------------------------------

// The inherited "NAME=value" entries with every entry of an overridden name (compared byte for byte)
// removed, then the overrides appended in the map's order.
std::vector<std::string> OverlayEnvironment(const std::vector<std::string>& inherited, const EnvMap& overrides);

// ---- MSI extraction ---------------------------------------------------------------------------------

// The log of an MSI extraction: the target folder's parent (the target made full, trailing separators
// dropped) joined with the MSI's stem and ".msiexec.log".
std::filesystem::path MsiLogPath(const std::filesystem::path& msi, const std::filesystem::path& target);
// `path` made full, with every trailing separator removed.
std::filesystem::path FullPathWithoutTrailingSeparator(const std::filesystem::path& path);

// ---- Output lines -----------------------------------------------------------------------------------

// Cuts a byte stream into lines at every CR or LF and hands each non-empty line to the sink, so CR LF
// pairs and CR-only progress updates give one line each. Bytes pass unchanged.
class LineCutter {
public:
    explicit LineCutter(const LineSink& sink) : sink_(sink) {}
    LineCutter(const LineCutter&) = delete;
    LineCutter& operator=(const LineCutter&) = delete;

    void Feed(const char* data, std::size_t size);
    // Hands on the unfinished last line, if any.
    void Finish();

private:
    void Flush();

    const LineSink& sink_;
    std::string line_;
};

}  // namespace launcher
