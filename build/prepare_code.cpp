#include <chrono>
#include <climits>
#include <cstdio>

#include "build/package.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

std::string Title(const Builder& builder) {
    return "Building " + builder.game.title + " for this PC";
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

bool ReadProgressLine(const std::string& line, double elapsed, std::string& detail, double& progress) {
    int unused = 0;
    unsigned long long filesDone = 0, filesAll = 0, workDone = 0, workAll = 0;
    if (std::sscanf(line.c_str(), "progress %d %llu %llu %llu %llu", &unused, &filesDone, &filesAll, &workDone,
                    &workAll) != 5 ||
        filesAll == 0) {
        return false;
    }
    detail = std::to_string(filesDone) + " of " + std::to_string(filesAll) + " files";
    if (filesDone >= filesAll) {
        detail = "Finishing the build";
    } else if (elapsed > 5 && workDone != 0) {
        // Work done past the total leaves nothing to wait for (and must not wrap round).
        double remaining = workAll > workDone ? static_cast<double>(workAll - workDone) : 0.0;
        double estimate = elapsed * remaining / static_cast<double>(workDone) + 0.5;
        int left = estimate >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(estimate);
        if (left <= 59) {
            detail += ", under a minute left";
        } else {
            detail += ", about " + std::to_string((static_cast<long long>(left) + 30) / 60) + " min left";
        }
    }
    if (workAll == 0) {
        progress = -1;
    } else {
        progress = static_cast<double>(workDone) / static_cast<double>(workAll);
        if (progress > 1) progress = 1;
    }
    return true;
}

void HandleGameLine(Builder& builder, const std::string& line, double elapsed, std::string& failure) {
    if (line.size() >= 9 && StartsWith(line, "progress ")) {
        std::string detail;
        double progress = -1;
        if (ReadProgressLine(line, elapsed, detail, progress)) builder.Report(Title(builder), detail, progress);
        return;
    }
    // Of the game's own log only the lines about its code are worth keeping.
    bool gameLog = StartsWith(line, "[");
    if (!gameLog || (line.size() >= 10 && line.find("Game code:") != std::string::npos)) {
        builder.Log("game: " + line);
    }
    if (line.size() >= 7 && StartsWith(line, "failed ")) failure = line.substr(7);
}

bool PrepareGameCode(Builder& builder, const fs::path& unpackDir, std::string& failure) {
    builder.Report(Title(builder), "Starting", -1);
    const fs::path program = unpackDir / builder.GameExePath().filename();
    const auto start = std::chrono::steady_clock::now();
    LineSink sink = [&](const std::string& line) {
        auto elapsed = std::chrono::steady_clock::now() - start;
        double seconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1e9;
        HandleGameLine(builder, line, seconds, failure);
    };
    int code = builder.platform->Run({PathUtf8(program), "--prepare-code"}, unpackDir, EnvMap{}, sink, &builder.stop);
    return code == 0;
}

}  // namespace launcher
