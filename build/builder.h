#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/status.h"
#include "build/toolchain.h"
#include "game/game_choice.h"
#include "game/game_definition.h"
#include "platform/http.h"
#include "platform/platform.h"

namespace launcher {

struct StageTime {
    std::string name;
    double seconds = 0;
};

// Bytes as "%.1f GB" from 1 GiB up, else "%.0f MB".
std::string FormatSize(uint64_t bytes);

// The build engine. Its work runs on the worker thread, except the read-only queries the pages ask.
class Builder {
public:
    Builder(const GameDefinition& game, const std::filesystem::path& root, Http* http, Platform* platform);
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // Log, status and stage timing.
    void Log(const std::string& text);
    void Report(const std::string& title, const std::string& detail, double progress);
    void BeginTiming();
    bool RunStage(const std::string& name, const std::function<bool()>& stage);
    void ReportTiming();
    std::filesystem::path PlayDir() const;
    std::filesystem::path GameExePath() const;

    // Settings files.
    std::filesystem::path SettingsPath() const;
    std::filesystem::path LocateGame(bool* foundElsewhere = nullptr) const;
    void SetSetting(const std::string& key, const std::string& value);
    std::string ReadBuilt() const;

    // Taking the game in, and the xbe stage.
    bool UseGame(const SelectedGame& game, std::string& err);
    bool WriteXbe(std::string& err);

    // The pipeline.
    bool BuildAll(std::string& err);
    bool IsInstalled() const;
    bool PathTooLong(std::string& err) const;
    bool LaunchGame(std::string& err);

    // Package mode.
    bool BuildPackage(std::string& err);
    std::string FindPackage() const;
    bool GameCodeMissing() const;
    bool DownloadPackage(const std::string& name, std::string& err, std::string& sha256,
                         const std::filesystem::path& downloads, std::filesystem::path& package);

    // Whether the installed game is older than what this launcher offers; false when undetermined.
    bool GameUpdateAvailable(bool* available, std::string& err);

    // Tools and the environment of the build's child processes.
    bool LookUpTools(Toolchain& toolchain, std::string& err, bool withMsvcAndSdk);
    bool InstallTool(const Tool& tool, std::string& err);
    std::filesystem::path ToolDir(const std::string& id) const;
    EnvMap BuildEnvironment(const Toolchain& toolchain) const;

    // The build from source.
    bool FetchSource(std::string& err);
    bool Compile(std::string& err);
    bool InstallBuild(std::string& err);
    // Undoes or finishes an install that a kill or a crash cut off, so the play folder holds one whole
    // build; run at start-up before anything reads the play folder, and by each install first. True when
    // nothing is left cut off; false, with the reason, when a file could not be put back yet.
    bool FinishCutInstall(std::string& err);
    // Whether an install that was cut off waits to be undone or finished.
    bool InstallCutOff() const;

    // Build files and leftovers.
    std::vector<std::filesystem::path> LeftoverBuildFiles() const;
    // `whole`, when given, is false when some of it could not be read: the size is then less than the truth.
    uint64_t LeftoverBuildFilesSize(bool* whole = nullptr) const;
    uint64_t BuildFilesSize(bool* whole = nullptr) const;
    bool RemoveLeftoverBuildFiles(std::string& err);
    bool RemoveBuildFiles(std::string& err);

    // Music.
    std::filesystem::path LoadMusicFolder() const;
    std::filesystem::path MusicDbFolder() const;
    bool ImportMusic(const std::filesystem::path& folder, std::string& summary, std::string& err);

    std::function<void(const Status&)> statusSink;
    std::function<void(const std::string&)> logSink;
    std::atomic<bool> stop{false};
    std::string builtinToolchain;
    std::atomic<int> packagePhase{0};
    std::vector<StageTime> stageTimes;
    GameDefinition game;
    std::filesystem::path root;
    Http* http = nullptr;
    Platform* platform = nullptr;
    Toolchain toolchain;
    std::mutex logMutex;
    // Called before each step of an install that changes the play folder or its record (the tests end
    // the process there).
    std::function<void()> installStep;
    // Set while this launcher holds the data folder's lock: only then are git's lock files removed that
    // a git ended before `staleLocksBefore` (the launcher's start, or a git of its own that it ended)
    // left behind.
    bool holdsDataFolder = false;
    // How long git may say nothing before it is ended: a server that takes the connection and never
    // answers, or falls silent, on any protocol.
    int gitSilenceSeconds = 60;
    std::filesystem::file_time_type staleLocksBefore = std::filesystem::file_time_type::clock::now();

private:
    // The stages of the build from source, in order; the first that fails ends the run.
    bool RunSourceStages(std::string& err);
    // git with the build environment; the exit code (-1 when it did not start or was ended). `report`:
    // git's progress lines move the status.
    int Git(const std::vector<std::string>& args, std::string* output, std::string& err, bool report = true);
    // Sets `whole` to whether the checkout's ".git" names a commit with its tree; false only for a stop.
    bool CheckoutIsWhole(const std::filesystem::path& sourceDir, bool& whole, std::string& err);
    // The submodules of the checkout, fetched and checked out; once more after a failure.
    bool UpdateSubmodules(const std::string& source, std::string& err);
    // Removes each submodule below `workTree` whose repository (in `gitDir`/"modules") has no commit;
    // true when it removed one.
    bool RemoveBrokenSubmodules(const std::filesystem::path& workTree, const std::filesystem::path& gitDir,
                                int depth);

    // The commit the last FetchSource left the checkout at; recorded with the installed build.
    std::string sourceCommit;
    // Whether the last git run was ended for saying nothing for gitSilenceSeconds.
    bool gitFellSilent = false;
};

}  // namespace launcher
