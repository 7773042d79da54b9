#include "build/entry_map.h"

#include "build/builder.h"

namespace launcher {

namespace {

constexpr char kVsixFolder[] = "Contents/";
constexpr size_t kVsixFolderLength = sizeof kVsixFolder - 1;

// '*' matches any run of characters other than '/'; everything else matches itself.
bool GlobMatch(const std::string& pattern, const std::string& s) {
    size_t i = 0;
    size_t p = 0;
    size_t star = std::string::npos;
    size_t mark = 0;
    while (i < s.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = i;
        } else if (p < pattern.size() && pattern[p] == s[i]) {
            ++i;
            ++p;
        } else {
            if (star == std::string::npos || s[mark] == '/') return false;
            i = ++mark;
            p = star + 1;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool Accepts(const std::string& pattern, const std::string& s) {
    if (pattern.empty()) return false;  // would match nothing useful; no description writes one
    if (pattern.back() == '/') return s.compare(0, pattern.size(), pattern) == 0;
    return GlobMatch(pattern, s);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string StripComponents(const std::string& name, int32_t count) {
    if (count < 1) return name;
    size_t pos = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (pos >= name.size()) return "";
        size_t slash = name.find('/', pos);
        if (slash == std::string::npos) return "";
        pos = slash + 1;
    }
    return name.substr(pos);
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string MapArchiveEntry(const Tool& tool, const std::string& name) {
    const bool vsix = tool.kind == "vsix";
    std::string s = vsix ? PercentDecode(name) : name;
    if (vsix) {
        if (s.size() < kVsixFolderLength || s.compare(0, kVsixFolderLength, kVsixFolder) != 0) return "";
        s.erase(0, kVsixFolderLength);
    }
    s = StripComponents(s, tool.strip);
    if (s.empty() || s.back() == '/') return "";
    if (tool.keep.empty()) return s;
    for (const std::string& pattern : tool.keep) {
        if (Accepts(pattern, s)) return s;
    }
    return "";
}

ProgressSink UnpackProgress(Builder& builder, const Tool& tool) {
    return [&builder, &tool](uint64_t done, uint64_t total) {
        const double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : -1;
        builder.Report("Unpacking " + tool.title, "", fraction);
    };
}

}  // namespace launcher
