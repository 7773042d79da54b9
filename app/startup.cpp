#include "app/startup.h"

#include "app/app.h"
#include "app/release.h"
#include "music/import.h"

namespace launcher {

bool RunStartupJob(App& app, bool takeOver, std::string& err) {
    Builder& builder = *app.builder;
    // An import cut short leaves the game's soundtracks half old, half new until it is finished or undone.
    if (std::string musicErr; !RecoverMusicImport(builder, musicErr)) builder.Log("music: " + musicErr);
    if (takeOver) {
        // The pickers are disabled while this job runs, so the chosen game cannot change under us.
        SelectedGame copy = app.selected;
        std::string useErr;
        if (!builder.UseGame(copy, useErr)) {
            builder.Log("game: could not use the copy another install chose: " + useErr);
        }
    }

    const std::string& version = app.game.version;
    if (IsVersionTag(version)) {
        Release release;
        std::string checkErr;
        if (!FetchLatestRelease(*app.http, app.game, release, checkErr, &builder.stop)) {
            builder.Log("update check: " + (checkErr.empty() ? std::string("no answer") : checkErr));
        } else if (CompareVersionTags(release.tag_name, version) > 0) {
            builder.Log("update check: " + release.tag_name + " is out, this launcher is " + version + ": offered");
            std::lock_guard<std::mutex> lock(app.releaseMutex);
            app.latest = release;
            app.updateOffered = true;
        } else {
            builder.Log("update check: the latest release is " + release.tag_name + ", this launcher is " + version);
        }
    }
    // Stopped (or the window closed): the game update check can wait for the next start.
    if (builder.stop) {
        err.clear();
        return true;
    }

    if (builder.IsInstalled()) {
        bool available = false;
        std::string checkErr;
        // A failed check keeps the flag as it was; git's own lines are in the log.
        if (builder.GameUpdateAvailable(&available, checkErr)) app.gameUpdateAvailable = available;
    }

    err.clear();
    return true;
}

void StartStartupJob(App& app, bool takeOver) {
    app.StartTask([&app, takeOver](std::string& err) { return RunStartupJob(app, takeOver, err); }, "");
}

}  // namespace launcher
