#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include "app/release.h"
#include "build/builder.h"
#include "build/environment.h"
#include "build/source_build.h"
#include "platform/file_ops.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "platform/plain_file.h"
#include "platform/zip.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSourceTitle = "Downloading the game's source";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A git that is ended in the middle of its work (the user's Stop, a crash) leaves its lock files, and
// every later git then refuses to go on ("index.lock: File exists"). Only lock files from before
// `before` (this launcher's start, or the end of a git of its own that it ended) are taken for such
// leftovers, and only when no running program holds them open: a git the user runs in the checkout
// meanwhile keeps its locks. The object store holds no lock that stops git, and may hold many thousands
// of files: it is passed over. Links are not entered.
void RemoveStaleLocks(const fs::path& gitDir, fs::file_time_type before) {
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
                const fs::file_time_type written = fs::last_write_time(entry, typeError);
                if (!typeError && written < before) RemoveUnlessHeld(entry, true);
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

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The system's words in a sentence of ours ("cannot write x (28: No space left on device)").
std::string SystemWords(const std::string& sentence) {
    const size_t open = sentence.rfind('(');
    const size_t colon = open == std::string::npos ? open : sentence.find(": ", open);
    const size_t close = sentence.rfind(')');
    if (colon == std::string::npos || close == std::string::npos || close < colon) return sentence;
    return sentence.substr(colon + 2, close - colon - 2);
}

// Whether a few megabytes can still be written into `folder`; false with the system's words when not.
// git tells of a file it could not check out without saying why, and a full disk is the usual reason.
bool RoomToWrite(const fs::path& folder, std::string& why) {
    const fs::path probe = folder / ".launcher-room";
    const std::string block(std::size_t{1} << 16, '\0');
    PlainFile file;
    std::string err;
    bool ok = file.Create(probe, err);
    for (int i = 0; ok && i < 64; ++i) ok = file.Write(block.data(), block.size(), err);
    // A full disk may tell only when the file is closed.
    ok = file.Close(err) && ok;
    std::string ignored;
    RemovePlainFile(probe, ignored);
    if (!ok) why = SystemWords(err);
    return ok;
}

// Whether `dir` is a folder of its own, not a link to one elsewhere.
bool IsOwnFolder(const fs::path& dir) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(dir, ec)) && !IsLink(dir);
}

}  // namespace

void GitFailure::Feed(const std::string& line) {
    for (const char* words : {"No space left on device", "Disk quota exceeded", "File too large",
                              "There is not enough space on the disk"}) {
        if (diskFull_.empty() && Contains(line, words)) diskFull_ = words;
    }
    for (const char* words : {"unable to write", "write error", "could not write", "failed to write", "short write",
                              "Failure writing output"}) {
        if (Contains(line, words)) writeFailed_ = true;
    }
    if (StartsWith(line, "fatal: ")) {
        if (fatal_.empty()) fatal_ = line.substr(7);
    } else if (StartsWith(line, "error: ")) {
        error_ = line.substr(7);
    } else {
        std::string phase;
        double fraction = 0;
        if (!ReadGitProgress(line, phase, fraction)) last_ = line;
    }
}

std::string GitFailure::Reason() const {
    std::string reason = !fatal_.empty() ? fatal_ : !error_.empty() ? error_ : last_;
    // A server's lines come padded with blanks to clear the progress shown before them.
    while (!reason.empty() && (reason.back() == ' ' || reason.back() == '\t')) reason.pop_back();
    return reason;
}

std::string GitVerb(const std::vector<std::string>& args) {
    if (args.size() >= 3 && args[0] == "-C") return args[2];
    if (args.size() >= 2 && StartsWith(args[0], "--git-dir=")) return args[1];
    return args.empty() ? std::string() : args[0];
}

bool GitTalksToAServer(const std::vector<std::string>& args) {
    const std::string verb = GitVerb(args);
    return verb == "clone" || verb == "fetch" || verb == "ls-remote" || verb == "submodule";
}

std::string GitFailedSentence(const std::vector<std::string>& args, const std::string& reason, int code) {
    const std::string verb = GitVerb(args);
    if (reason.empty()) return "git " + verb + " failed (exit code " + std::to_string(code) + ")";
    return "git " + verb + " failed: " + reason;
}

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

int Builder::Git(const std::vector<std::string>& args, std::string* output, std::string& err, bool report) {
    const fs::path installed = ToolDir("git") / "cmd" / Utf8Path("git" + platform->ExeSuffix());
    std::vector<std::string> command{InstalledOrOnPath(installed, "git")};
    command.insert(command.end(), args.begin(), args.end());

    // git runs in the data folder, which a first build may not have made yet.
    std::error_code ec;
    fs::create_directories(root, ec);
    // Another launcher on this data folder could be running git: the folder's lock says there is none.
    const fs::path gitDir = root / "source" / ".git";
    if (holdsDataFolder && IsOwnFolder(gitDir)) RemoveStaleLocks(gitDir, staleLocksBefore);

    // A git that says nothing for gitSilenceSeconds waits on a server that took the connection and never
    // answers, or fell silent: ssh, git:// and a proxy have no bound of their own that always holds. It is
    // ended as a stop ends it. git talks while it works: its progress lines count. A step that works on
    // the checkout alone (a reset of a large tree on a slow disk) may be quiet for longer and is never cut
    // off.
    using Clock = std::chrono::steady_clock;
    std::atomic<Clock::rep> lastOutput{Clock::now().time_since_epoch().count()};
    std::atomic<bool> end{false}, silent{false};
    std::mutex watchMutex;
    std::condition_variable watchWake;
    bool finished = false;
    const auto silence = std::chrono::seconds(std::max(gitSilenceSeconds, 1));
    const bool bounded = GitTalksToAServer(args);
    std::thread watchdog([&] {
        std::unique_lock lock(watchMutex);
        while (!finished) {
            if (stop) {
                end = true;
                return;
            }
            if (bounded && Clock::now() - Clock::time_point(Clock::duration(lastOutput.load())) > silence) {
                silent = true;
                end = true;
                return;
            }
            watchWake.wait_for(lock, std::chrono::milliseconds(100));
        }
    });

    GitFailure failure;
    LineSink sink = [&](const std::string& line) {
        lastOutput = Clock::now().time_since_epoch().count();
        if (output != nullptr) *output += line + "\n";
        Log("git: " + line);
        failure.Feed(line);
        std::string phase;
        double fraction = 0;
        if (report && ReadGitProgress(line, phase, fraction)) Report(kSourceTitle, phase, fraction);
    };
    const int code = platform->Run(command, root, BuildEnvironment(toolchain), sink, &end);
    {
        std::lock_guard lock(watchMutex);
        finished = true;
    }
    watchWake.notify_all();
    watchdog.join();
    gitFellSilent = silent;
    if (code == 0) return 0;
    // What a git that was ended left locked is this launcher's own.
    if (end) staleLocksBefore = fs::file_time_type::clock::now();
    // The runner ends a stopped git with -1; the user asked for it, so it is no failure.
    if (stop) {
        err = "cancelled";
        return code;
    }
    if (silent) {
        const std::string seconds = std::to_string(silence.count()) + (silence.count() == 1 ? " second" : " seconds");
        err = GitFailedSentence(args, "no answer from the server for " + seconds, code);
        Log("git: ended after " + seconds + " without a word");
        return code;
    }
    std::string reason = failure.Reason();
    std::string full = failure.DiskFull(), why;
    if (full.empty() && failure.WriteFailed() && !RoomToWrite(root, why)) full = why;
    if (!full.empty()) reason = "the disk is full (" + full + ")";
    err = GitFailedSentence(args, reason, code);
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
    bool whole = fs::exists(sourceDir / ".git", ec);
    if (whole && !CheckoutIsWhole(sourceDir, whole, err)) return false;
    if (!whole) {
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

bool Builder::CheckoutIsWhole(const fs::path& sourceDir, bool& whole, std::string& err) {
    // A kill during the first clone leaves a ".git" without the remote, or whose HEAD names no commit yet,
    // and every fetch into it fails. Asked of that ".git" alone: a damaged one must not send git on to a
    // repository in a folder above it.
    const fs::path gitDir = sourceDir / ".git";
    const std::string gitDirArg = "--git-dir=" + CommandPath(gitDir);
    std::string ignored;
    int code = IsOwnFolder(gitDir) ? 0 : 1;
    if (code == 0) code = Git({gitDirArg, "config", "--get", "remote.origin.url"}, nullptr, ignored);
    if (code == 0) code = Git({gitDirArg, "rev-parse", "--verify", "-q", "HEAD^{tree}"}, nullptr, ignored);
    if (stop) {
        err = "cancelled";
        return false;
    }
    // A git that does not start says nothing about the checkout: the fetch then fails with its reason.
    whole = code == 0 || code == -1;
    if (!whole) Log("source: the checkout is not whole (a clone cut short?): it is made anew");
    return true;
}

bool Builder::UpdateSubmodules(const std::string& source, std::string& err) {
    // --force checks each submodule out even where its commit is already the right one: a checkout that
    // was stopped half-way has that commit, and only half of its files.
    const std::vector<std::string> update = {"-C",          source,    "submodule", "update", "--init",
                                             "--recursive", "--force", "--progress"};
    if (Git(update, nullptr, err) == 0) return true;
    // A server that fell silent is not asked again: one bound, whatever git itself would have retried.
    if (stop || gitFellSilent) return false;
    // A submodule whose first clone was cut short has no commit, and git fails on it every time: it is
    // made anew, once. Any other failure (a server that cannot be reached) is git's to tell, and to retry.
    if (!RemoveBrokenSubmodules(root / "source", root / "source" / ".git", 0)) {
        if (stop) err = "cancelled";
        return false;
    }
    if (stop) {
        err = "cancelled";
        return false;
    }
    return Git(update, nullptr, err) == 0;
}

bool Builder::RemoveBrokenSubmodules(const fs::path& workTree, const fs::path& gitDir, int depth) {
    if (depth > 8) return false;
    const std::string tree = CommandPath(workTree);
    std::string keys, ignored;
    if (Git({"-C", tree, "config", "--file", ".gitmodules", "--name-only", "--get-regexp",
             "^submodule\\..*\\.path$"},
            &keys, ignored) != 0) {
        return false;
    }
    bool removed = false;
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
        if (Git({moduleGit, "rev-parse", "--verify", "-q", "HEAD^{tree}"}, nullptr, ignored) == 0) {
            removed = RemoveBrokenSubmodules(workTree / Utf8Path(path), moduleDir, depth + 1) || removed;
            continue;
        }
        if (stop) return removed;
        Log("submodule " + path + " has no commit: it is fetched anew");
        RemoveTree(workTree / Utf8Path(path), ignored);
        RemoveTree(moduleDir, ignored);
        removed = true;
    }
    return removed;
}

}  // namespace launcher
