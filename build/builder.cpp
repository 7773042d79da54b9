#include "build/builder.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

#include "platform/paths.h"

namespace launcher {

namespace {

// Local time formatted with `format`; empty when the local time cannot be determined.
std::string LocalTimeText(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    if (localtime_s(&parts, &now) != 0) return "";
#else
    if (localtime_r(&now, &parts) == nullptr) return "";
#endif
    char buffer[16];
    size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
    char buffer[32];
    if (bytes >= (uint64_t{1} << 30)) {
        std::snprintf(buffer, sizeof buffer, "%.1f GB", static_cast<double>(bytes) / (1u << 30));
    } else {
        std::snprintf(buffer, sizeof buffer, "%.0f MB", static_cast<double>(bytes) / (1u << 20));
    }
    return buffer;
}

Builder::Builder(const GameDefinition& game, const std::filesystem::path& root, Http* http,
                 Platform* platform)
    : game(game), root(root), http(http), platform(platform) {}

void Builder::Log(const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    std::string prefix = LocalTimeText("%H:%M:%S ");
    {
        std::ofstream file(root / "launcher.log", std::ios::app);
        if (file) file << prefix << text << '\n';
    }
    // Still under logMutex, so the file and the interface see lines in the same order.
    if (logSink) logSink(text);
}

void Builder::Report(const std::string& title, const std::string& detail, double progress) {
    if (statusSink) statusSink(Status{title, detail, progress});
}

void Builder::BeginTiming() {
    stageTimes.clear();
    Log("build started " + LocalTimeText("%Y-%m-%d") + ", " +
        std::to_string(std::thread::hardware_concurrency()) + " logical processors");
}

bool Builder::RunStage(const std::string& name, const std::function<bool()>& stage) {
    auto start = std::chrono::steady_clock::now();
    bool ok = stage();
    auto elapsed = std::chrono::steady_clock::now() - start;
    double seconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1e9;
    stageTimes.push_back(StageTime{name, seconds});
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f s", seconds);
    Log("stage " + name + ": " + buffer + (ok ? "" : " (stopped)"));
    return ok;
}

void Builder::ReportTiming() {
    double sum = 0;
    for (const StageTime& stage : stageTimes) sum += stage.seconds;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "timing: %zu stages, %.1f s in all", stageTimes.size(), sum);
    Log(buffer);
    for (const StageTime& stage : stageTimes) {
        double share = sum > 0 ? stage.seconds * 100 / sum : 0;
        std::snprintf(buffer, sizeof buffer, "%9.1f s %5.1f%%  ", stage.seconds, share);
        Log("timing: " + std::string(buffer) + stage.name);
    }
}

std::filesystem::path Builder::PlayDir() const {
    return root / "play";
}

std::filesystem::path Builder::GameExePath() const {
    return PlayDir() / Utf8Path(game.exe + platform->ExeSuffix());
}

}  // namespace launcher
