#pragma once

#include <filesystem>
#include <string>

#include "imgui.h"

namespace launcher {

struct App;

// What both entry points (the Windows program and its Linux stand-in) share: the start-up order, the GUI
// set-up and what a frame does besides the window and the device.

inline constexpr const char* kLauncherVersion = "v2.0.11";
inline constexpr const char* kWindowClassName = "PinecrestLauncher";
// The window background, also the colour each frame is cleared to.
inline constexpr float kClearColor[4] = {62 / 255.0f, 70 / 255.0f, 55 / 255.0f, 1.0f};
inline constexpr int kWindowWidth = 900;
inline constexpr int kWindowHeight = 700;

// The start-up after COM and the App: reads the game description (`gameJson`: the built-in one), sets the
// version, takes the lock of the data folder beside the executable, removes the executable's ".old", makes
// the Builder for the data folder, installs the sinks, settles an install that was cut off, restores the
// consent and the chosen game, reads the sizes and starts the start-up job. False with the description's
// error sentence, or with the sentence that another launcher runs from the data folder, before anything
// else is done.
bool StartUp(App& app, const std::filesystem::path& exePath, const std::string& gameJson, std::string& err);

// For the screenshot check only (scripts/screenshot): LAUNCHER_SCREENSHOT_PAGE "manage", "music" or "log"
// opens that page at start ("music" also when the game has no music). Users never set it: the product
// takes no command line and documents no variable.
void OpenPageForScreenshot(App& app);

// The game's title + " - Launcher".
std::string WindowTitle(const App& app);

// Creates the GUI context without a settings file, applies the theme and loads the fonts; returns the bold
// font.
ImFont* SetUpGui(const std::filesystem::path& fontsFolder, float scale);

// After each frame: once a self-update has put a new executable in place and no job runs, starts it.
// True when it started and the frame loop should end; a failure is shown as the App's error and not retried.
bool RelaunchIfAsked(App& app, const std::filesystem::path& exePath);

// The first shut-down steps: asks the running job to stop and waits for the worker.
void StopWorker(App& app);

// The same for closing the window, with the wait bounded: every wait of a job sees the stop within about a
// second, but should one not, the user is not kept waiting for it. False when the worker still runs after
// `most`; the App must then stay as it is, and the process ends without destroying it.
inline constexpr int kCloseWaitMs = 2000;
bool StopWorkerWithin(App& app, int mostMs);

}  // namespace launcher
