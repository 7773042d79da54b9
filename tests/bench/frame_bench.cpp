// CPU time of one interface frame (new frame, DrawUI, render to draw lists; no window, no GPU), measured
// over many frames on a headless GUI context with the product's own interface library:
//   frame_bench [FRAMES]        (default 2000 measured frames per page, after 100 unmeasured ones)
// Pages: the Game and Manage pages of an installed package game, and the Log page holding its 2000 lines;
// the baseline is an empty window in the same frame loop. Prints one line per page:
//   PAGE median-us N p99-us N worst-us N
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/frame.h"
#include "app/launcher.h"
#include "app/theme.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;
using namespace launcher;

double ThreadCpuMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs `warmup` frames, then `frames` measured ones; prints the median, the 99th percentile and the worst.
void Measure(const char* name, int frames, const std::function<void()>& draw) {
    const int warmup = 100;
    std::vector<double> times;
    times.reserve(static_cast<size_t>(frames));
    for (int i = 0; i < warmup + frames; ++i) {
        const double start = ThreadCpuMicroseconds();
        ImGui::NewFrame();
        draw();
        ImGui::Render();
        const double end = ThreadCpuMicroseconds();
        if (i >= warmup) times.push_back(end - start);
    }
    std::sort(times.begin(), times.end());
    std::printf("%s median-us %.1f p99-us %.1f worst-us %.1f\n", name, times[times.size() / 2],
                times[times.size() * 99 / 100], times.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path dir = fs::temp_directory_path() / ("launcher-frame-bench-" + std::to_string(stamp));

    auto app = std::make_unique<App>();
    std::string err;
    if (!LoadGameDefinition(BuiltinGameJson(), app->game, err)) {
        std::fprintf(stderr, "frame_bench: %s\n", err.c_str());
        return 1;
    }
    app->game.version = kLauncherVersion;
    app->dataDir = dir / Utf8Path(app->game.shortName);
    app->builder = std::make_unique<Builder>(app->game, app->dataDir, app->http.get(), app->platform.get());
    app->builder->logSink = MakeLogSink(*app);
    // An installed game, chosen copy and sizes, so every row and button of the pages is drawn.
    Write(app->builder->GameExePath(), "exe");
    Write(app->builder->PlayDir() / (app->game.exe + ".dll"), "code");
    Write(app->dataDir / "launcher.json", "{\n  \"built\": \"v2.0.11\"\n}");
    app->selected.ok = true;
    app->selected.release = "PAL (Europe)";
    app->selected.path = dir / "Starblaze.iso";
    app->buildFilesSize = uint64_t{3} << 29;
    app->leftoverSize = uint64_t{850} << 20;
    for (int i = 0; i < static_cast<int>(kLogLines); ++i) {
        app->builder->Log("game: [00:00:" + std::to_string(i % 60) + "] compiling function " + std::to_string(i) +
                          " of 2000 in the game's code");
    }

    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(static_cast<float>(kWindowWidth), static_cast<float>(kWindowHeight));
    io.DeltaTime = 1.0f / 60.0f;
    ApplyStyle(1.0f);
    ImFont* bold = LoadFonts(fs::path(), 1.0f);
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);

    Measure("empty-window", frames, [] {
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImGui::GetIO().DisplaySize);
        ImGui::Begin("launcher", nullptr, ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoSavedSettings);
        ImGui::End();
    });
    struct Page {
        const char* name;
        int section;
    };
    const Page pages[] = {{"game", kSectionGame}, {"manage", kSectionManage}, {"log-2000", kSectionLog}};
    for (const Page& page : pages) {
        app->section = page.section;
        Measure(page.name, frames, [&] { DrawUI(*app, nullptr, bold); });
    }

    ImGui::DestroyContext();
    app.reset();
    std::string removeErr;
    RemoveTree(dir, removeErr);
    return 0;
}
