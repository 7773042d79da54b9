#include <charconv>
#include <cmath>
#include <limits>

#include "app/release.h"
#include "build/builder.h"
#include "build/environment.h"
#include "build/source_build.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/zip.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSourceTitle = "Downloading the game's source";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A git that is ended in the middle of its work (the user's Stop, a crash) leaves its lock files, and
// every later git then refuses to go on ("index.lock: File exists"). The launcher runs one git at a time,
// so a lock that is there before git starts is a stale one. The object store holds no lock that stops
// git, and may hold many thousands of files: it is passed over. Links are not entered.
void RemoveStaleLocks(const fs::path& gitDir) {
    std::vector<fs::path> folders{gitDir};
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& entry = it->path();
            if (IsLink(entry)) continue;
            std::error_code typeError;
            const fs::file_status status = fs::symlink_status(entry, typeError);
            if (fs::is_directory(status)) {
                if (entry.filename() != "objects") folders.push_back(entry);
            } else if (fs::is_regular_file(status) && entry.extension() == ".lock") {
                fs::remove(entry, typeError);
            }
        }
    }
}

// A submodule's name or path from the repository's ".gitmodules": relative, inside the checkout, no
// "." or ".." part. Anything else is not removed.
bool IsInsidePath(const std::string& path) {
    if (!IsSafeEntryPath(path) || path.find('\0') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        const size_t cut = path.find_first_of("/\\", start);
        const std::string part = path.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (cut == std::string::npos) return true;
        start = cut + 1;
    }
}

}  // namespace

std::string FirstLine(const std::string& output) {
    return output.substr(0, output.find_first_of("\r\n"));
}

double LeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    const size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    auto digitsFrom = [&] {
        while (i < text.size() && IsDigit(text[i])) {
            ++i;
            ++digits;
        }
    };
    digitsFrom();
    if (i < text.size() && text[i] == '.') {
        ++i;
        digitsFrom();
    }
    if (digits == 0) return 0;
    // An exponent counts only when digits follow it.
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j])) ++j;
            i = j;
        }
    }
    // from_chars takes no leading '+' and reads in the "C" locale whatever the user's is.
    size_t from = start < text.size() && text[start] == '+' ? start + 1 : start;
    double value = 0;
    std::from_chars(text.data() + from, text.data() + i, value);
    return std::isfinite(value) ? value : 0;
}

int32_t TruncateToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (value >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

bool ReadGitProgress(const std::string& line, std::string& phase, double& fraction) {
    const size_t percent = line.find('%');
    if (percent == std::string::npos || percent < 2) return false;
    const size_t blank = line.rfind(' ', percent);
    const size_t from = blank == std::string::npos ? 0 : blank + 1;
    fraction = LeadingNumber(line.substr(from, percent - from)) / 100;
    phase = line.substr(0, line.find(':'));
    return true;
}

int Builder::Git(const std::vector<std::string>& args, std::string* output, std::string& err) {
    const fs::path installed = ToolDir("git") / "cmd" / Utf8Path("git" + platform->ExeSuffix());
    std::vector<std::string> command{InstalledOrOnPath(installed, "git")};
    command.insert(command.end(), args.begin(), args.end());

    // git runs in the data folder, which a first build may not have made yet.
    std::error_code ec;
    fs::create_directories(root, ec);
    const fs::path gitDir = root / "source" / ".git";
    if (fs::is_directory(fs::symlink_status(gitDir, ec)) && !IsLink(gitDir)) RemoveStaleLocks(gitDir);
    LineSink sink = [&](const std::string& line) {
        if (output != nullptr) *output += line + "\n";
        Log("git: " + line);
        std::string phase;
        double fraction = 0;
        if (ReadGitProgress(line, phase, fraction)) Report(kSourceTitle, phase, fraction);
    };
    const int code = platform->Run(command, root, BuildEnvironment(toolchain), sink, &stop);
    if (code == 0) return 0;
    // The runner ends a stopped git with -1; the user asked for it, so it is no failure.
    if (stop) {
        err = "cancelled";
    } else {
        err = "git " + (args.empty() ? std::string() : args[0]) + " failed (" + std::to_string(code) +
              "), see launcher.log";
    }
    return code;
}

bool Builder::FetchSource(std::string& err) {
    Report(kSourceTitle, "", -1);
    sourceCommit.clear();
    const fs::path sourceDir = root / "source";
    const std::string source = CommandPath(sourceDir);
    // A released launcher builds the game at the tag of its own version; a development one follows the branch.
    const bool released = IsVersionTag(game.version);
    const std::string ref = released ? game.version : game.branch;

    std::error_code ec;
    if (!fs::exists(sourceDir / ".git", ec)) {
        // Whatever is left there goes; a link in it is removed itself, never followed into the user's files.
        std::string removeError;
        RemoveTree(sourceDir, removeError);
        if (Git({"clone", "--progress", "--branch", ref, game.repo, source}, nullptr, err) != 0) {
            // A clone ended by a stop leaves a repository without its branches; the next run starts afresh.
            RemoveTree(sourceDir, removeError);
            return false;
        }
    } else if (released) {
        if (Git({"-C", source, "fetch", "--progress", "--force", "origin", "refs/tags/" + ref + ":refs/tags/" + ref},
                nullptr, err) != 0 ||
            Git({"-C", source, "reset", "--hard", ref}, nullptr, err) != 0) {
            return false;
        }
    } else {
        if (Git({"-C", source, "fetch", "--progress", "origin", ref}, nullptr, err) != 0 ||
            Git({"-C", source, "reset", "--hard", "origin/" + ref}, nullptr, err) != 0) {
            return false;
        }
    }
    if (!UpdateSubmodules(source, err)) return false;

    // Which commit is being built, recorded with the build once it is installed.
    std::string head, headErr;
    if (Git({"-C", source, "rev-parse", "HEAD"}, &head, headErr) == 0) sourceCommit = FirstLine(head);
    return true;
}

bool Builder::UpdateSubmodules(const std::string& source, std::string& err) {
    // --force checks each submodule out even where its commit is already the right one: a checkout that
    // was stopped half-way has that commit, and only half of its files.
    const std::vector<std::string> update = {"-C",          source,    "submodule", "update", "--init",
                                             "--recursive", "--force", "--progress"};
    if (Git(update, nullptr, err) == 0) return true;
    if (stop) return false;
    // A submodule whose first clone was cut short has no commit, and git fails on it every time.
    RemoveBrokenSubmodules(root / "source", root / "source" / ".git", 0);
    if (stop) {
        err = "cancelled";
        return false;
    }
    return Git(update, nullptr, err) == 0;
}

void Builder::RemoveBrokenSubmodules(const fs::path& workTree, const fs::path& gitDir, int depth) {
    if (depth > 8) return;
    const std::string tree = CommandPath(workTree);
    std::string keys, ignored;
    if (Git({"-C", tree, "config", "--file", ".gitmodules", "--name-only", "--get-regexp",
             "^submodule\\..*\\.path$"},
            &keys, ignored) != 0) {
        return;
    }
    size_t start = 0;
    for (size_t cut; (cut = keys.find('\n', start)) != std::string::npos; start = cut + 1) {
        const std::string key = keys.substr(start, cut - start);
        const std::string prefix = "submodule.", suffix = ".path";
        if (key.size() <= prefix.size() + suffix.size() || key.rfind(prefix, 0) != 0 ||
            key.compare(key.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string name = key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
        std::string value;
        if (Git({"-C", tree, "config", "--file", ".gitmodules", "--get", key}, &value, ignored) != 0) continue;
        const std::string path = FirstLine(value);
        if (!IsInsidePath(name) || !IsInsidePath(path)) continue;
        const fs::path moduleDir = gitDir / "modules" / Utf8Path(name);
        const std::string moduleGit = "--git-dir=" + CommandPath(moduleDir);
        if (Git({moduleGit, "rev-parse", "--verify", "-q", "HEAD"}, nullptr, ignored) == 0) {
            RemoveBrokenSubmodules(workTree / Utf8Path(path), moduleDir, depth + 1);
            continue;
        }
        if (stop) return;
        Log("submodule " + path + " has no commit: it is fetched anew");
        RemoveTree(workTree / Utf8Path(path), ignored);
        RemoveTree(moduleDir, ignored);
    }
}

}  // namespace launcher
