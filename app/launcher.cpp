#include "app/launcher.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <system_error>

#include "app/app.h"
#include "app/frame.h"
#include "app/startup.h"
#include "app/theme.h"
#include "platform/paths.h"

namespace launcher {

bool StartUp(App& app, const std::filesystem::path& exePath, const std::string& gameJson, std::string& err) {
    if (!LoadGameDefinition(gameJson, app.game, err)) return false;
    app.game.version = kLauncherVersion;
    app.dataDir = exePath.parent_path() / Utf8Path(app.game.shortName);

    // One launcher at a time in a data folder: a second one touches nothing there and says why it ends.
    std::string lockErr;
    const InstanceLock::Result lock = app.dataLock.Take(app.dataDir, lockErr);
    if (lock == InstanceLock::Result::HeldElsewhere) {
        err = "The launcher is already running from " + PathUtf8(app.dataDir) + ": use that window, or close it first.";
        return false;
    }

    // A self-update leaves the replaced executable beside the new one.
    std::error_code ec;
    std::filesystem::path old = exePath;
    old += ".old";
    std::filesystem::remove(old, ec);

    app.builder = std::make_unique<Builder>(app.game, app.dataDir, app.http.get(), app.platform.get());
    app.builder->holdsDataFolder = lock == InstanceLock::Result::Taken;
    app.builder->builtinToolchain = BuiltinToolchainJson();
    app.builder->statusSink = MakeStatusSink(app);
    app.builder->logSink = MakeLogSink(app);
    if (lock == InstanceLock::Result::Failed) app.builder->Log("data folder: " + lockErr);
    // An install that a kill cut off is undone or finished before anything looks at the play folder.
    std::string installErr;
    app.builder->FinishCutInstall(installErr);

    app.consent = std::filesystem::exists(app.dataDir / "agreed.txt", ec) && !ec;

    bool foundElsewhere = false;
    std::filesystem::path chosen = app.builder->LocateGame(&foundElsewhere);
    if (!chosen.empty()) app.selected = ChooseGame(app.game, chosen);
    const bool takeOver = app.selected.ok && foundElsewhere;
    if (takeOver) app.builder->Log("game: " + PathUtf8(chosen) + " as another install of this launcher chose it");

    // No worker runs yet, so no lock. The sizes walk whole folder trees, which can take a long time: the
    // worker takes them at the end of the start-up job, as after every job, while the window is drawn.
    app.musicFolder = app.builder->LoadMusicFolder();
    app.sizesPending = true;

    StartStartupJob(app, takeOver);
    return true;
}

void OpenPageForScreenshot(App& app) {
    const std::string page = app.platform->GetEnv("LAUNCHER_SCREENSHOT_PAGE");
    if (page == "manage") {
        app.section = kSectionManage;
    } else if (page == "music") {
        app.game.music = true;
        app.section = kSectionMusic;
    } else if (page == "log") {
        app.section = kSectionLog;
    }
}

std::string WindowTitle(const App& app) {
    return app.game.title + " - Launcher";
}

ImFont* SetUpGui(const std::filesystem::path& fontsFolder, float scale) {
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::GetIO().IniFilename = nullptr;
    ApplyStyle(scale);
    return LoadFonts(fontsFolder, scale);
}

bool RelaunchIfAsked(App& app, const std::filesystem::path& exePath) {
    if (!app.relaunch || app.busy) return false;
    std::string err;
    if (app.platform->Launch(exePath, exePath.parent_path(), err)) return true;
    app.relaunch = false;
    std::lock_guard<std::mutex> lock(app.mutex);
    app.error = "The new launcher is in place but did not start: " + err + " Start it again.";
    return false;
}

void StopWorker(App& app) {
    if (app.builder) app.builder->stop = true;
    if (app.worker.joinable()) app.worker.join();
}

bool StopWorkerWithin(App& app, int mostMs) {
    if (app.builder) app.builder->stop = true;
    // `busy` is cleared as the worker's last step, so once it is clear the join returns at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(mostMs);
    while (app.busy && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (app.busy) {
        if (app.builder) app.builder->Log("the running job did not stop in time; the launcher ends without it");
        return false;
    }
    if (app.worker.joinable()) app.worker.join();
    return true;
}

}  // namespace launcher
