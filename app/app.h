#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/release.h"
#include "app/status.h"
#include "build/builder.h"
#include "game/game_choice.h"
#include "game/game_definition.h"
#include "platform/http.h"
#include "platform/instance_lock.h"
#include "platform/platform.h"

namespace launcher {

// A job: returns success; on failure leaves one sentence, or "cancelled", in the error string.
using Job = std::function<bool(std::string& err)>;

inline constexpr size_t kLogLines = 2000;
inline constexpr const char* kStoppedText = "Stopped. Press the button again to carry on where it left off.";
// What the user is shown when a job ends on an exception; the details go to the log.
inline constexpr const char* kInternalErrorText = "Something went wrong inside the launcher, see launcher.log";

// The whole state of the running launcher, shared by the UI thread and the one worker.
struct App {
    App();
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Runs `job` on a new worker unless one is running (then the request is dropped).
    void StartTask(Job job, std::string doneText);

    // The data folder's lock, first so that it goes last: held for as long as anything here may work there.
    InstanceLock dataLock;
    GameDefinition game;
    std::unique_ptr<Http> http;
    std::unique_ptr<Platform> platform;
    std::unique_ptr<Builder> builder;
    std::filesystem::path dataDir;
    SelectedGame selected;
    bool consent = false;
    std::atomic<bool> busy{false};
    std::atomic<bool> gameUpdateAvailable{false};
    std::mutex releaseMutex;
    Release latest;
    std::atomic<bool> updateOffered{false};
    std::atomic<bool> updateDismissed{false};
    std::atomic<bool> relaunch{false};
    std::thread worker;
    std::mutex mutex;
    Status status;
    std::string error;
    std::string done;
    std::deque<std::string> log;
    uint64_t buildFilesSize = 0;
    uint64_t leftoverSize = 0;
    // False when some of it could not be read: the size above is then less than the truth.
    bool buildFilesSizeWhole = true;
    bool leftoverSizeWhole = true;
    // Set at start-up until the worker has measured the two sizes for the first time: until then the
    // Manage page shows none.
    bool sizesPending = false;
    int section = 0;
    std::filesystem::path musicFolder;
    std::atomic<bool> musicMessage{false};
    std::string musicSummary;
};

// The worker body: runs the job and stores its outcome under the App mutex.
void RunTask(App* app, Job job, std::string doneText);

// Sinks that copy the Builder's reports into the App under its mutex.
std::function<void(const Status&)> MakeStatusSink(App& app);
std::function<void(const std::string&)> MakeLogSink(App& app);

}  // namespace launcher
