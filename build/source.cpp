#include <charconv>
#include <cmath>
#include <limits>

#include "app/release.h"
#include "build/builder.h"
#include "build/environment.h"
#include "build/source_build.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSourceTitle = "Downloading the game's source";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

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
    return Git({"-C", source, "submodule", "update", "--init", "--recursive", "--progress"}, nullptr, err) == 0;
}

}  // namespace launcher
