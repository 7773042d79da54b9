#include <cstdint>
#include <mutex>
#include <string>

#include "app/app.h"
#include "app/frame.h"
#include "app/shell.h"
#include "app/ui_text.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

std::string BuiltOr(const App& app, const char* fallback) {
    std::string built = app.builder->ReadBuilt();
    return built.empty() ? std::string(fallback) : built;
}

std::string GameState(const App& app, bool installed) {
    if (app.builder->GameCodeMissing()) {
        return BuiltOr(app, "an earlier version") + ", built the old way: update it on Game";
    }
    if (installed) return BuiltOr(app, "ready");
    return "not ready yet";
}

void InstallTable(App& app, bool installed) {
    if (!ImGui::BeginTable("install", 2)) return;
    ImGui::TableSetupColumn("name", ImGuiTableColumnFlags_WidthFixed, 10 * ImGui::GetFontSize());
    ImGui::TableSetupColumn("value", ImGuiTableColumnFlags_WidthStretch);
    const SelectedGame& selected = app.selected;
    TableRowText("Launcher", app.game.version);
    TableRowText("Game", GameState(app, installed));
    TableRowText("Your copy", selected.ok ? selected.release + ", " + PathUtf8(selected.path) : "not chosen");
    TableRowText("Folder", PathUtf8(app.dataDir));
    TableRowText("Free on this drive", FormatSize(FreeSpaceOf(app.dataDir)));
    ImGui::EndTable();
}

// Every Manage job hands its outcome to the Game page.
void StartManageJob(App& app, Job job, const char* doneText) {
    app.musicMessage = false;
    app.StartTask(std::move(job), doneText);
}

// The game's code library goes first, so that the package run builds it again instead of finding the game
// complete. One that stays (the game still running holds it) would turn the run into a quiet no-op.
bool BuildAgain(Builder& builder, std::string& err) {
    const fs::path library = builder.PlayDir() / Utf8Path(builder.game.exe + ".dll");
    std::string why;
    if (!RemoveTree(library, why)) {
        err = "Could not remove " + PathUtf8(library) + ": " + why;
        builder.Log("build stopped: " + err);
        return false;
    }
    return builder.BuildAll(err);
}

// A size that could not be counted whole is shown as the least it is.
std::string SizeText(uint64_t bytes, bool whole) {
    return whole ? FormatSize(bytes) : "at least " + FormatSize(bytes);
}

void SpaceAndRepairs(App& app, bool busy, bool installed) {
    uint64_t buildFiles = 0;
    uint64_t leftovers = 0;
    bool buildFilesWhole = true;
    bool leftoversWhole = true;
    bool pending = false;
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        buildFiles = app.buildFilesSize;
        leftovers = app.leftoverSize;
        buildFilesWhole = app.buildFilesSizeWhole;
        leftoversWhole = app.leftoverSizeWhole;
        pending = app.sizesPending;
    }
    Builder* builder = app.builder.get();

    // The sizes change when a job ends; "###" keeps each button's identity apart from its label.
    // Something that could not be measured may still be there to remove.
    // Until the worker has measured them at start-up, the sizes are not known yet.
    ImGui::BeginDisabled(busy || !installed || pending || (buildFiles == 0 && buildFilesWhole));
    const std::string buildFilesText = pending ? "measuring..." : SizeText(buildFiles, buildFilesWhole);
    if (ImGui::Button(("Remove the build files (" + buildFilesText + ")###build-files").c_str())) {
        StartManageJob(app, [builder](std::string& err) { return builder->RemoveBuildFiles(err); },
                       "Build files removed. An update builds everything again.");
    }
    ImGui::EndDisabled();
    ui::TextWrappedColored(palette::MutedText,
                           "Frees space once the game is built. Your saves, settings and music are not touched.");

    if (!IsPackageMode(app.game)) return;

    if (!pending && (leftovers != 0 || !leftoversWhole)) {
        ImGui::BeginDisabled(busy || !installed);
        if (ImGui::Button(
                ("Remove the old build tools (" + SizeText(leftovers, leftoversWhole) + ")###old-tools").c_str())) {
            StartManageJob(app, [builder](std::string& err) { return builder->RemoveLeftoverBuildFiles(err); },
                           "The old build tools are removed.");
        }
        ImGui::EndDisabled();
        ui::TextWrappedColored(palette::MutedText,
                               installed ? "The earlier versions built the game with these; this one does not need "
                                           "them. FFmpeg, for your music, stays."
                                         : "Once the game is updated: the earlier versions built it with these.");
    }

    ImGui::BeginDisabled(!installed || busy || !app.selected.ok);
    if (ImGui::Button("Build the game again")) {
        // A package run like the Game page's Update: it installs this version, so no update is left to offer.
        app.gameUpdateAvailable = false;
        StartManageJob(app, [builder](std::string& err) { return BuildAgain(*builder, err); },
                       "The game is ready. Press Play.");
    }
    ImGui::EndDisabled();
    ui::TextWrappedColored(palette::MutedText,
                           "If the game will not start. Takes a minute or two, and keeps your saves.");
}

}  // namespace

void ManagePage(App& app, ImFont* bold) {
    const bool busy = app.busy;
    const bool installed = app.builder->IsInstalled();

    SectionHeading("This install", bold);
    InstallTable(app, installed);

    SectionHeading("Folders", bold);
    ImGui::BeginDisabled(!installed);
    if (ImGui::Button("Open the game's folder")) OpenPathInShell(app.builder->PlayDir());
    ImGui::EndDisabled();
    ImGui::SameLine();
    if (ImGui::Button("Open launcher.log")) OpenInShell(PathUtf8(app.dataDir / "launcher.log"));

    SectionHeading("Space and repairs", bold);
    SpaceAndRepairs(app, busy, installed);
    // No error note here: the jobs' outcome shows on the Game page and in the Log.
}

void StartMusicImport(App& app, const fs::path& folder) {
    app.musicMessage = true;
    App* target = &app;
    app.StartTask(
        [target, folder](std::string& err) {
            std::string summary;
            if (!target->builder->ImportMusic(folder, summary, err)) return false;
            std::lock_guard<std::mutex> lock(target->mutex);
            target->musicFolder = folder;
            target->musicSummary = summary;
            return true;
        },
        "Your music is ready.");
}

void MusicPage(App& app, void* window, ImFont* bold, const std::string& error, const std::string& done) {
    const bool busy = app.busy;
    fs::path folder;
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        folder = app.musicFolder;
    }

    SectionHeading("Your music", bold);
    ui::TextWrapped(
        "The game plays Xbox custom soundtracks. Choose a folder of your own music: each folder in it becomes a "
        "soundtrack (MP3, FLAC, OGG, Opus, M4A, AAC, WAV, WMA, AIFF), and the songs in the folder itself one more. "
        "They are converted for the game (ffmpeg, about 90 MB, downloaded the first time; nothing is installed). "
        "In the game they are with the custom soundtracks.");
    if (!folder.empty()) ui::TextWrappedColored(palette::MutedText, "Your music: " + PathUtf8(folder));

    ImGui::BeginDisabled(busy);
    if (ImGui::Button("Choose a music folder...")) {
        const WideText title = WidenUtf8("Choose a folder of your music");
        const fs::path chosen = PickPath(window, true, &title);
        if (!chosen.empty()) StartMusicImport(app, chosen);
    }
    if (!folder.empty()) {
        ImGui::SameLine();
        if (ImGui::Button("Update my music")) StartMusicImport(app, folder);
        ui::TextWrappedColored(palette::MutedText, "After adding or changing songs: only those are converted.");
    }
    ImGui::EndDisabled();

    if (busy || !app.musicMessage) return;
    std::string summary;
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        summary = app.musicSummary;
    }
    const std::string shown = done.empty() || summary.empty() ? done : done + " " + summary;
    ErrorNote(app, error, shown, "Open launcher.log##music");
}

}  // namespace launcher
