#include "platform/text.h"

#include <algorithm>

namespace launcher {

namespace {

template <class Char>
std::basic_string<Char> QuoteArgImpl(const std::basic_string<Char>& arg) {
    const bool plain = !arg.empty() && arg.find_first_of(std::basic_string<Char>{Char(' '), Char('\t'), Char('"')}) ==
                                           std::basic_string<Char>::npos;
    if (plain) return arg;
    std::basic_string<Char> out;
    out.reserve(arg.size() + 2);
    out.push_back(Char('"'));
    std::size_t backslashes = 0;
    for (Char c : arg) {
        if (c == Char('\\')) {
            ++backslashes;
        } else if (c == Char('"')) {
            // n backslashes before a quote become 2n + 1: n were copied already, n + 1 more.
            out.append(backslashes + 1, Char('\\'));
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        out.push_back(c);
    }
    // The closing quote must not be escaped by a trailing run.
    out.append(backslashes, Char('\\'));
    out.push_back(Char('"'));
    return out;
}

// The "C" locale's case folding of the C runtime: ASCII letters only.
wchar_t FoldLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }
wchar_t FoldUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c; }

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldUpper(a[i]) != FoldUpper(b[i])) return false;
    }
    return true;
}

// _wcsicmp: compares folded code units as unsigned values; a prefix sorts first.
bool LessIgnoringCase(const std::wstring& a, const std::wstring& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // Code units of a UTF-16 block; unsigned so that the order does not depend on wchar_t's sign.
        const auto x = static_cast<unsigned long>(FoldLower(a[i]) & 0xFFFF);
        const auto y = static_cast<unsigned long>(FoldLower(b[i]) & 0xFFFF);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace

std::wstring QuoteArg(const std::wstring& arg) { return QuoteArgImpl(arg); }
std::string QuoteArg(const std::string& arg) { return QuoteArgImpl(arg); }

std::string JoinCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line.push_back(' ');
        line += QuoteArg(args[i]);
    }
    return line;
}

WideEnv SplitEnvironment(const std::vector<std::wstring>& entries) {
    WideEnv env;
    env.reserve(entries.size());
    for (const std::wstring& entry : entries) {
        if (entry.size() < 2) continue;
        const std::size_t eq = entry.find(L'=', 1);
        if (eq == std::wstring::npos) continue;
        env.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

void OverlayEnvironment(WideEnv& env, const WideEnv& overrides) {
    for (const auto& pair : overrides) {
        // Not a structured binding: clang 14 (the fuzz build) cannot capture one in a lambda.
        const std::wstring& name = pair.first;
        std::erase_if(env, [&](const auto& entry) { return SameNameIgnoringCase(entry.first, name); });
        env.emplace_back(name, pair.second);
    }
}

void SortEnvironment(WideEnv& env) {
    std::stable_sort(env.begin(), env.end(),
                     [](const auto& a, const auto& b) { return LessIgnoringCase(a.first, b.first); });
}

std::wstring EnvironmentBlock(const WideEnv& env) {
    std::wstring block;
    for (const auto& [name, value] : env) {
        block += name;
        block += L'=';
        block += value;
        block += L'\0';
    }
    // An empty block still needs its two terminating zero units.
    if (block.empty()) block += L'\0';
    block += L'\0';
    return block;
}

std::wstring BuildEnvironmentBlock(const std::vector<std::wstring>& inherited, const WideEnv& overrides) {
    WideEnv env = SplitEnvironment(inherited);
    OverlayEnvironment(env, overrides);
    SortEnvironment(env);
    return EnvironmentBlock(env);
}

std::vector<std::string> OverlayEnvironment(const std::vector<std::string>& inherited, const EnvMap& overrides) {
    std::vector<std::string> env;
    env.reserve(inherited.size() + overrides.size());
    for (const std::string& entry : inherited) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        if (overrides.count(entry.substr(0, eq)) != 0) continue;
        env.push_back(entry);
    }
    for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
    return env;
}

std::filesystem::path FullPathWithoutTrailingSeparator(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    if (ec) full = path;
    auto text = full.native();
    while (text.size() > 1 && (text.back() == '/' || text.back() == std::filesystem::path::preferred_separator)) {
        text.pop_back();
    }
    return std::filesystem::path(text);
}

std::filesystem::path MsiLogPath(const std::filesystem::path& msi, const std::filesystem::path& target) {
    std::filesystem::path log = FullPathWithoutTrailingSeparator(target).parent_path();
    log /= msi.stem();
    log += ".msiexec.log";
    return log;
}

void LineCutter::Feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            Flush();
        } else {
            line_.push_back(c);
        }
    }
}

void LineCutter::Finish() { Flush(); }

void LineCutter::Flush() {
    if (line_.empty()) return;
    if (sink_) sink_(line_);
    line_.clear();
}

}  // namespace launcher
