// Interface states: real frames of DrawUI on a headless Dear ImGui context (no window, no renderer), with
// what each frame submits recorded through the library's test-engine hooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/frame.h"
#include "app/launcher.h"
#include "app/theme.h"
#include "imgui_internal.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "support/git_repo.h"
#include "support/http_server.h"
#include "support/imgui_recorder.h"
#include "support/pinned.h"
#include "support/source_world.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/xdvdfs_writer.h"
#include "support/zip_writer.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::ImGuiRecorder;
using test::RecordedItem;

constexpr const char* kReadyText =
    "The program comes ready to go, and your PC builds the game's code from your own disc, once. Nothing is "
    "installed in Windows, and it all stays in one folder.";
constexpr const char* kFasterText =
    "This version comes ready-made: your PC only builds the game's own code, in a minute or two, with no build "
    "tools to download. Your saves, settings and music are kept, and the game you have keeps working until the "
    "new one is ready.";
constexpr const char* kStopHint =
    "You can stop at any time: it carries on from there next time. Your saves and music are not touched.";
constexpr const char* kWorkingHint = "Working: see the bar below. It carries on from there next time if you stop it.";

// One headless GUI context with the launcher's theme and the built-in font, and an App on a temporary data
// folder with the built-in game description.
class UiFrames : public ::testing::Test {
public:
    void SetUp() override {
        context_ = ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        // Tall enough that no page item is clipped away (clipped items report no label).
        io.DisplaySize = ImVec2(900, 1600);
        io.DeltaTime = 1.0f / 60.0f;
        ApplyStyle(1.0f);
        bold_ = LoadFonts(fs::path(), 1.0f);
        recorder_ = std::make_unique<ImGuiRecorder>(context_);

        std::string err;
        ASSERT_TRUE(LoadGameDefinition(BuiltinGameJson(), app_.game, err)) << err;
        app_.game.version = kLauncherVersion;
        // No per-user settings folder: taking a game in must not write into this machine's home.
        app_.platform = std::make_unique<test::TestPlatform>();
        MakeBuilder(dir_ / "StarblazeOnline");
    }

    void TearDown() override {
        StopWorker(app_);
        recorder_.reset();
        ImGui::DestroyContext(context_);
    }

    void MakeBuilder(const fs::path& dataDir) {
        app_.dataDir = dataDir;
        app_.builder = std::make_unique<Builder>(app_.game, app_.dataDir, app_.http.get(), app_.platform.get());
        app_.builder->statusSink = MakeStatusSink(app_);
        app_.builder->logSink = MakeLogSink(app_);
    }

    void BuildMode() {
        app_.game.package.clear();
        app_.game.packages.clear();
        MakeBuilder(app_.dataDir);
    }

    void ChooseUsableCopy() {
        app_.selected.ok = true;
        app_.selected.isImage = true;
        app_.selected.release = "PAL (Europe)";
        app_.selected.path = dir_ / "game.iso";
    }

    // The files that make the game count as installed (package mode also needs the code library).
    void Install(bool withCode = true) {
        test::WriteFile(app_.builder->GameExePath(), "not a program");
        if (withCode) test::WriteFile(app_.builder->PlayDir() / (app_.game.exe + ".dll"), "code");
    }

    void SetBuilt(const std::string& version) {
        test::WriteFile(app_.dataDir / "launcher.json", "{\n  \"built\": \"" + version + "\"\n}");
    }

    void Busy(const std::string& title = "", const std::string& detail = "", double progress = -1.0) {
        app_.busy = true;
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.status = Status{title, detail, progress};
    }

    // One frame; the recorder then holds what this frame submitted.
    void Frame() {
        recorder_->Clear();
        ImGui::NewFrame();
        DrawUI(app_, nullptr, bold_);
        ImGui::Render();
    }

    // Moves the mouse onto the item (as the last frame placed it), presses and releases: three frames.
    void Click(const std::string& label) {
        const RecordedItem* item = recorder_->Find(label);
        ASSERT_NE(item, nullptr) << "no item " << label;
        ImVec2 center((item->min.x + item->max.x) / 2, (item->min.y + item->max.y) / 2);
        ImGuiIO& io = ImGui::GetIO();
        io.AddMousePosEvent(center.x, center.y);
        Frame();
        io.AddMouseButtonEvent(0, true);
        Frame();
        io.AddMouseButtonEvent(0, false);
        Frame();
    }

    bool HasButton(const std::string& label) { return recorder_->Find(label) != nullptr; }

    // Present and enabled (false also when it is missing).
    bool Enabled(const std::string& label) {
        const RecordedItem* item = recorder_->Find(label);
        return item != nullptr && !item->disabled;
    }

    bool Disabled(const std::string& label) {
        const RecordedItem* item = recorder_->Find(label);
        return item != nullptr && item->disabled;
    }

    bool HasText(const std::string& text) { return recorder_->HasText(text); }
    bool HasText(const std::string& text, ImU32 color) { return recorder_->HasText(text, color); }

    int SidebarRows() {
        int rows = 0;
        for (const char* label : {"Game", "Your music", "Manage", "Log"}) rows += HasButton(label) ? 1 : 0;
        return rows;
    }

    test::TempDir dir_;
    App app_;
    ImGuiContext* context_ = nullptr;
    ImFont* bold_ = nullptr;
    std::unique_ptr<ImGuiRecorder> recorder_;
};

// ---- Frame: header, sidebar, footer ----------------------------------------------------------------

TEST_F(UiFrames, HeaderShowsTitleAndVersion) {
    Frame();
    EXPECT_TRUE(HasText("Aurora: Starblaze Online", palette::White));
    EXPECT_TRUE(HasText("Launcher v2.0.11", palette::MutedText));
}

TEST_F(UiFrames, FooterFollowsTheJob) {
    struct Case {
        const char* name;
        bool busy;
        std::string title;
        std::string shown;
    };
    const Case cases[] = {
        {"busy before the first report", true, "", "Starting..."},
        {"busy with a title", true, "Downloading the package", "Downloading the package"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Busy(c.title, "", -1.0);
        Frame();
        EXPECT_TRUE(HasText(c.shown));
        EXPECT_EQ(HasText("Starting..."), c.title.empty());
        EXPECT_TRUE(Enabled("Stop"));
        EXPECT_FALSE(HasText("PC port launcher. Everything goes in"));
    }

    app_.busy = false;
    Frame();
    EXPECT_FALSE(HasButton("Stop"));
    EXPECT_TRUE(HasText("PC port launcher. Everything goes in", palette::MutedText));
    EXPECT_TRUE(HasText(PathUtf8(app_.dataDir), palette::MutedText));
}

TEST_F(UiFrames, StopSetsTheBuilderStopFlagEachTime) {
    Busy("Unpacking", "1 of 3", 0.3);
    Frame();
    Click("Stop");
    EXPECT_TRUE(app_.builder->stop);
    // The job has not ended, so the footer still offers it; a second press is harmless.
    app_.builder->stop = false;
    Click("Stop");
    EXPECT_TRUE(app_.builder->stop);
    EXPECT_TRUE(app_.busy);
}

TEST_F(UiFrames, SidebarRowsFollowTheMusicFlag) {
    Frame();
    EXPECT_EQ(SidebarRows(), 3);
    EXPECT_FALSE(HasButton("Your music"));

    // Without music a stored section 1 shows the Game page.
    app_.section = kSectionMusic;
    Frame();
    EXPECT_TRUE(HasText("Your game", palette::Accent));

    app_.game.music = true;
    Frame();
    EXPECT_EQ(SidebarRows(), 4);
    EXPECT_FALSE(HasText("Your game", palette::Accent));
    EXPECT_TRUE(HasText("Your music", palette::White));  // the selected row's label
}

TEST_F(UiFrames, ClickingASectionShowsItsPageInTheSameFrame) {
    app_.builder->Log("first line");
    Frame();
    EXPECT_TRUE(HasText("Game", palette::White));
    EXPECT_TRUE(HasText("Log", palette::Text));
    Click("Log");
    EXPECT_EQ(app_.section, kSectionLog);
    EXPECT_TRUE(HasText("Log", palette::White));
    EXPECT_TRUE(HasText("first line"));
    EXPECT_FALSE(HasText("Your game"));
}

TEST_F(UiFrames, SidebarStaysUsableWhileAJobRuns) {
    Busy("Downloading");
    Frame();
    EXPECT_TRUE(Enabled("Manage"));
    Click("Manage");
    EXPECT_EQ(app_.section, kSectionManage);
}

// ---- The Log page ------------------------------------------------------------------------------------

class LogPageFrames : public UiFrames {
protected:
    void AddLines(int n) {
        for (int i = 0; i < n; ++i) app_.builder->Log("line " + std::to_string(next_++));
    }

    ImGuiWindow* LogWindow() {
        for (const RecordedItem& item : recorder_->items()) {
            if (item.label.find("/log_") != std::string::npos) return ImGui::FindWindowByID(item.id);
        }
        return nullptr;
    }

    void Frames(int n) {
        for (int i = 0; i < n; ++i) Frame();
    }

    int next_ = 1;
};

TEST_F(LogPageFrames, EmptyLogShowsAnEmptyWell) {
    app_.section = kSectionLog;
    Frames(2);
    ASSERT_NE(LogWindow(), nullptr);
    EXPECT_TRUE(recorder_->texts().size() > 0);
    EXPECT_FALSE(recorder_->HasTextContaining("line "));
}

TEST_F(LogPageFrames, FollowsTheBottomUnlessScrolledUp) {
    app_.section = kSectionLog;
    AddLines(kLogLines);
    Frames(3);
    ImGuiWindow* log = LogWindow();
    ASSERT_NE(log, nullptr);
    ASSERT_GT(log->ScrollMax.y, 0.0f);
    EXPECT_FLOAT_EQ(log->Scroll.y, log->ScrollMax.y);
    EXPECT_TRUE(HasText("line 1"));
    EXPECT_TRUE(HasText("line 2000"));

    // At the cap, new lines push the oldest out and the view stays at the bottom.
    AddLines(5);
    Frames(3);
    EXPECT_FALSE(HasText("line 5"));
    EXPECT_TRUE(HasText("line 2005"));
    EXPECT_FLOAT_EQ(log->Scroll.y, log->ScrollMax.y);

    // Less than a line above the bottom still follows.
    const float fs = ImGui::GetFontSize();
    ImGui::SetScrollY(log, log->ScrollMax.y - fs / 2);
    Frames(1);
    AddLines(1);
    Frames(3);
    EXPECT_FLOAT_EQ(log->Scroll.y, log->ScrollMax.y);

    // A reader who scrolled up stays where they are.
    const float readerAt = std::floor(log->ScrollMax.y / 2);  // scroll positions are whole pixels
    ImGui::SetScrollY(log, readerAt);
    Frames(1);
    AddLines(3);
    Frames(3);
    EXPECT_FLOAT_EQ(log->Scroll.y, readerAt);
}

// ---- Widgets -------------------------------------------------------------------------------------------

TEST_F(UiFrames, ErrorNoteShowsTheErrorOverTheDoneText) {
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.error = "The package could not be downloaded, see launcher.log";
        app_.done = "The game is ready. Press Play.";
    }
    Frame();
    EXPECT_TRUE(HasText("The package could not be downloaded, see launcher.log", palette::ErrorText));
    EXPECT_TRUE(Enabled("Open launcher.log"));
    EXPECT_FALSE(HasText("The game is ready. Press Play."));

    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.error.clear();
    }
    Frame();
    EXPECT_TRUE(HasText("The game is ready. Press Play.", palette::DoneText));
    EXPECT_FALSE(HasButton("Open launcher.log"));

    // A message that belongs to the music page is not shown here.
    app_.musicMessage = true;
    Frame();
    EXPECT_FALSE(HasText("The game is ready. Press Play."));
}

// ---- Game page, package mode -----------------------------------------------------------------------

// Expected outcome of one state: texts that must show, texts that must not, and buttons (label, disabled).
struct Expect {
    std::vector<std::string> texts;
    std::vector<std::string> absent;
    std::vector<std::pair<std::string, bool>> buttons;
    std::vector<std::string> noButtons;
};

class GamePageStates : public UiFrames {
public:
    void Check(const Expect& e) {
        Frame();
        for (const std::string& t : e.texts) EXPECT_TRUE(HasText(t)) << "missing text: " << t;
        for (const std::string& t : e.absent) EXPECT_FALSE(HasText(t)) << "unexpected text: " << t;
        for (const auto& [label, disabled] : e.buttons) {
            const RecordedItem* item = recorder_->Find(label);
            if (item == nullptr) {
                ADD_FAILURE() << "missing button: " << label;
                continue;
            }
            EXPECT_EQ(item->disabled, disabled) << label << (disabled ? " should be disabled" : " should be enabled");
        }
        for (const std::string& b : e.noButtons) EXPECT_FALSE(HasButton(b)) << "unexpected button: " << b;
    }

    // The step labels' colours tell their state: muted to do, white under way, text colour done.
    ImU32 StepColor(int state) { return state == 0 ? palette::MutedText : state == 1 ? palette::White : palette::Text; }
    void ExpectSteps(int game, int download, int unpack, int build) {
        EXPECT_TRUE(HasText("Your game", StepColor(game))) << "Your game";
        EXPECT_TRUE(HasText("Download the program", StepColor(download))) << "Download the program";
        EXPECT_TRUE(HasText("Unpack it", StepColor(unpack))) << "Unpack it";
        EXPECT_TRUE(HasText("Build the game for this PC", StepColor(build))) << "Build the game for this PC";
    }
};

TEST_F(GamePageStates, PackageModeStates) {
    struct Case {
        const char* name;
        std::function<void(GamePageStates&)> setup;
        Expect expect;
    };
    const std::string freeLine = "Free on this drive: ";
    const Case cases[] = {
        {"nothing chosen, nothing installed",
         [](GamePageStates&) {},
         {{"Getting the game ready", kReadyText, "not chosen yet",
           "Choose your copy of the game: a disc image (.iso) of your own disc, or a folder with the disc's files. "
           "Nothing is copied off the internet: the game comes from your disc."},
          {"Ready to play"},
          {{"Get the game ready", true}, {"Play", true}, {"Choose a disc image...", false}, {"Choose a folder...", false}},
          {"Update"}}},
        {"usable copy, nothing installed",
         [](GamePageStates& t) { t.ChooseUsableCopy(); },
         {{"Getting the game ready", "PAL (Europe)"},
          {"not chosen yet"},
          {{"Get the game ready", false}, {"Play", true}},
          {}}},
        {"installed, idle, no update",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
         },
         {{"Ready to play"},
          {"Getting the game ready", kReadyText},
          {{"Play", false}},
          {"Get the game ready", "Update"}}},
        {"installed, update, release version",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
             t.app_.gameUpdateAvailable = true;
         },
         {{"Getting the game ready",
           "Version v2.0.11 is ready to install (yours: an earlier one). Your saves, settings and music are kept."},
          {"Ready to play"},
          {{"Update", false}, {"Play", false}},
          {"Get the game ready"}}},
        {"installed, update, built setting named",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
             t.SetBuilt("v2.0.9");
             t.app_.gameUpdateAvailable = true;
         },
         {{"Version v2.0.11 is ready to install (yours: v2.0.9). Your saves, settings and music are kept."},
          {},
          {{"Update", false}},
          {}}},
        {"installed, update, development version",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
             t.app_.game.version = "dev";
             t.app_.gameUpdateAvailable = true;
         },
         {{"A new version is available."}, {}, {{"Update", false}}, {}}},
        {"earlier version's executable only",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install(false);
         },
         {{"A faster way to play", kFasterText},
          {kReadyText},
          {{"Update", false}, {"Play", false}},
          {"Get the game ready"}}},
        {"earlier version's executable, own job running",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install(false);
             t.Busy("Unpacking the program");
             t.app_.builder->packagePhase = 2;
         },
         {{"A faster way to play", kReadyText, kStopHint},
          {kFasterText},
          {{"Play", true}, {"Choose a disc image...", true}, {"Choose a folder...", true}},
          {"Update", "Get the game ready"}}},
        {"music import running",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Busy("Converting songs");
             t.app_.musicMessage = true;
             std::lock_guard<std::mutex> lock(t.app_.mutex);
             t.app_.error = "ffmpeg failed";
         },
         {{kReadyText},
          {kStopHint, "ffmpeg failed"},
          {{"Get the game ready", false}, {"Play", true}},
          {"Open launcher.log"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        app_.busy = false;
        app_.musicMessage = false;
        app_.gameUpdateAvailable = false;
        app_.selected = SelectedGame{};
        app_.game.version = kLauncherVersion;
        {
            std::lock_guard<std::mutex> lock(app_.mutex);
            app_.error.clear();
            app_.status = Status{};
        }
        MakeBuilder(fresh.path() / "StarblazeOnline");
        c.setup(*this);
        Check(c.expect);
        EXPECT_TRUE(recorder_->HasTextContaining(freeLine) == (HasButton("Get the game ready") || HasButton("Update")))
            << "the free-space line goes with the install button";
    }
}

TEST_F(GamePageStates, InstalledAndIdleShowsEveryStepDone) {
    ChooseUsableCopy();
    Install();
    Frame();
    ExpectSteps(2, 2, 2, 2);
    EXPECT_TRUE(HasText("PAL (Europe)", palette::MutedText));  // the first step's hint
}

TEST_F(GamePageStates, StepUnderWayFollowsThePackagePhase) {
    ChooseUsableCopy();
    struct Case {
        int phase;
        int download, unpack, build;
    };
    for (const Case& c : {Case{1, 1, 0, 0}, Case{2, 2, 1, 0}, Case{3, 2, 2, 1}}) {
        SCOPED_TRACE(c.phase);
        Busy("Working", "12 MB of 80 MB", 0.15);
        app_.builder->packagePhase = c.phase;
        Frame();
        ExpectSteps(2, c.download, c.unpack, c.build);
        // The running detail stands on the right of the step under way, in the accent colour.
        EXPECT_TRUE(HasText("12 MB of 80 MB", palette::Accent));
        EXPECT_TRUE(HasText(kStopHint, palette::MutedText));
        EXPECT_FALSE(HasButton("Get the game ready"));
        EXPECT_TRUE(Disabled("Play"));
    }

    // A failed or stopped run puts the phase back to 0: every step is to do again.
    app_.busy = false;
    app_.builder->packagePhase = 0;
    Frame();
    ExpectSteps(2, 0, 0, 0);
    EXPECT_TRUE(Enabled("Get the game ready"));
}

TEST_F(GamePageStates, PressingTheInstallButtonClearsTheFlagsAndStartsTheJob) {
    ChooseUsableCopy();
    Install();
    app_.gameUpdateAvailable = true;
    app_.musicMessage = true;
    Frame();
    Click("Update");
    EXPECT_FALSE(app_.gameUpdateAvailable);
    EXPECT_FALSE(app_.musicMessage);
    // The job ran on the worker (the package run fails here: no game was taken in).
    StopWorker(app_);
    Frame();
    std::lock_guard<std::mutex> lock(app_.mutex);
    EXPECT_FALSE(app_.error.empty());
}

TEST_F(GamePageStates, FailedPlayShowsItsErrorFromTheNextFrame) {
    ChooseUsableCopy();
    Install();
    Frame();
    ASSERT_TRUE(Enabled("Play"));
    Click("Play");
    std::string error;
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        error = app_.error;
    }
    ASSERT_FALSE(error.empty()) << "a file that is no program must not start";
    Frame();
    EXPECT_TRUE(HasText(error, palette::ErrorText));
    EXPECT_TRUE(Enabled("Open launcher.log"));
}

TEST_F(GamePageStates, UnusableCopyShowsItsMessage) {
    app_.selected.message = "This is not a disc image of the game.";
    Frame();
    EXPECT_TRUE(HasText("This is not a disc image of the game.", palette::ErrorText));
}

#ifndef _WIN32

// The pickers with a stand-in zenity that "chooses" a path: the choice is identified and taken in on the UI
// thread, before the frame goes on. (On Windows the picker is the shell's modal dialog.)
class PickerFrames : public GamePageStates {
public:
    void SetUp() override {
        GamePageStates::SetUp();
        const char* path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "";
        setenv("PATH", bin_.path().c_str(), 1);
        const std::string xbe = "XBEH the picked game";
        ASSERT_TRUE(test::WriteXdvdfsImage(image_, {test::XFile("default.xbe", xbe)}));
        app_.game.releases = {{Sha1Hex(xbe.data(), xbe.size()), "Test release"}};
        MakeBuilder(app_.dataDir);
    }
    void TearDown() override {
        setenv("PATH", oldPath_.c_str(), 1);
        GamePageStates::TearDown();
    }
    void Picker(const std::string& body) {
        test::WriteFile(bin_ / "zenity", "#!/bin/sh\n" + body);
        chmod((bin_ / "zenity").c_str(), 0755);
    }

    test::TempDir bin_;
    fs::path image_ = dir_ / "Starblaze.iso";
    std::string oldPath_;
};

TEST_F(PickerFrames, PickedImageIsIdentifiedAndTakenIn) {
    Picker("echo '" + PathUtf8(image_) + "'\n");
    Frame();
    Click("Choose a disc image...");
    ASSERT_TRUE(app_.selected.ok) << app_.selected.message;
    EXPECT_EQ(app_.selected.release, "Test release");
    EXPECT_TRUE(app_.selected.isImage);
    // Taken into the data folder and remembered.
    EXPECT_TRUE(fs::exists(app_.builder->PlayDir() / "assets" / "Starblaze.iso"));
    EXPECT_EQ(app_.builder->LocateGame(), app_.selected.path);
    Frame();
    EXPECT_TRUE(HasText("Test release", palette::DoneText));
    EXPECT_TRUE(HasText(PathUtf8(app_.selected.path), palette::MutedText));
    EXPECT_TRUE(Enabled("Get the game ready"));
}

TEST_F(PickerFrames, AnImageCopiedAfterAStoppedJobIsCopiedWhole) {
    // The last job was stopped; its flag must not stop the copy of an image on another drive.
    app_.builder->stop = true;
    static_cast<test::TestPlatform&>(*app_.platform).failHardLink = true;
    fs::resize_file(image_, 9 << 20);  // more than one copy chunk
    Picker("echo '" + PathUtf8(image_) + "'\n");
    Frame();
    Click("Choose a disc image...");
    ASSERT_TRUE(app_.selected.ok) << app_.selected.message;
    EXPECT_EQ(test::ReadFile(app_.builder->PlayDir() / "assets" / "Starblaze.iso"), test::ReadFile(image_));
    EXPECT_EQ(app_.builder->LocateGame(), app_.selected.path);
}

TEST_F(PickerFrames, CancelledPickerChangesNothing) {
    ChooseUsableCopy();
    const SelectedGame before = app_.selected;
    Picker("exit 1\n");
    Frame();
    Click("Choose a folder...");
    EXPECT_TRUE(app_.selected.ok);
    EXPECT_EQ(app_.selected.path, before.path);
    EXPECT_EQ(app_.selected.release, before.release);
}

TEST_F(PickerFrames, UnusablePickShowsWhy) {
    test::WriteFile(dir_ / "notes.txt", "not a game");
    Picker("echo '" + PathUtf8(dir_ / "notes.txt") + "'\n");
    Frame();
    Click("Choose a disc image...");
    EXPECT_FALSE(app_.selected.ok);
    ASSERT_FALSE(app_.selected.message.empty());
    Frame();
    EXPECT_TRUE(HasText(app_.selected.message, palette::ErrorText));
    EXPECT_TRUE(Disabled("Get the game ready"));
}

#endif

// ---- Game page, build mode -------------------------------------------------------------------------

TEST_F(GamePageStates, BuildNeedsAUsableCopyAndConsent) {
    BuildMode();
    struct Case {
        bool ok;
        bool consent;
        bool disabled;
    };
    for (const Case& c : {Case{false, false, true}, Case{true, false, true}, Case{false, true, true},
                          Case{true, true, false}}) {
        SCOPED_TRACE(testing::Message() << "ok " << c.ok << ", consent " << c.consent);
        app_.selected = SelectedGame{};
        if (c.ok) ChooseUsableCopy();
        app_.consent = c.consent;
        Frame();
        EXPECT_TRUE(HasText("Build", palette::Accent));
        EXPECT_EQ(Disabled("Build"), c.disabled);
        const RecordedItem* box = recorder_->Find("I accept the license terms for Microsoft's C++ libraries and Windows SDK");
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->checked, c.consent);
        EXPECT_TRUE(Enabled("Read them"));
        EXPECT_TRUE(recorder_->HasTextContaining("Free on this drive: "));
        EXPECT_TRUE(Disabled("Play"));
    }
}

TEST_F(GamePageStates, TickingTheBoxGivesConsentWithoutWritingIt) {
    BuildMode();
    ChooseUsableCopy();
    Frame();
    ASSERT_TRUE(Disabled("Build"));
    Click("I accept the license terms for Microsoft's C++ libraries and Windows SDK");
    EXPECT_TRUE(app_.consent);
    EXPECT_TRUE(Enabled("Build"));
    // "agreed.txt" is written when the build starts, not on the tick.
    EXPECT_FALSE(fs::exists(app_.dataDir / "agreed.txt"));
}

TEST_F(GamePageStates, LongDataFolderShowsItsMessageAndKeepsBuildDisabled) {
    BuildMode();
    ChooseUsableCopy();
    app_.consent = true;
    MakeBuilder(dir_ / std::string(80, 'x') / "StarblazeOnline");
    Frame();
    std::string message;
    ASSERT_TRUE(app_.builder->PathTooLong(message));
    EXPECT_TRUE(HasText(message, palette::ErrorText));
    EXPECT_TRUE(Disabled("Build"));
}

TEST_F(GamePageStates, TheBuildButtonsClearTheFlagsAndStartTheBuild) {
    // The build's first stage asks this server for the list of tools; it has none.
    test::HttpServer server;
    app_.game.toolchain = server.Url("/toolchain.json");
    BuildMode();
    struct Case {
        const char* button;
        bool installed;
        bool update;
        bool agreed;  // "agreed.txt" is written
    } cases[] = {
        {"Build", false, true, true},
        {"Rebuild", true, false, false},
        {"Update", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        test::TempDir fresh;
        MakeBuilder(fresh.path() / "StarblazeOnline");
        fs::create_directories(app_.dataDir);
        ChooseUsableCopy();
        app_.consent = true;
        if (c.installed) Install(false);
        app_.gameUpdateAvailable = c.update;
        app_.musicMessage = true;
        Frame();
        Click(c.button);
        EXPECT_FALSE(app_.gameUpdateAvailable);
        EXPECT_FALSE(app_.musicMessage);
        if (c.agreed) {
            // Exactly the address of the licence terms, with no line end.
            EXPECT_EQ(test::ReadFile(app_.dataDir / "agreed.txt"), "https://go.microsoft.com/fwlink/?LinkId=2179911");
        } else {
            EXPECT_FALSE(fs::exists(app_.dataDir / "agreed.txt"));
        }
        // Waited for, not stopped: a stop would end the build as the user's.
        while (app_.busy) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        app_.worker.join();
        std::string error, done;
        {
            std::lock_guard<std::mutex> lock(app_.mutex);
            error = app_.error;
            done = app_.done;
        }
        // The build ran and failed at its first stage; its sentence shows on the page.
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(done, "");
        ASSERT_FALSE(app_.builder->stageTimes.empty());
        EXPECT_EQ(app_.builder->stageTimes[0].name, "build tools list");
        Frame();
        EXPECT_TRUE(HasText(error, palette::ErrorText));
    }
}

TEST_F(GamePageStates, ASuccessfulBuildShowsItsDoneTextAndLetsThePlayerPlay) {
    test::TempDir worldDir;
    test::GitIsolation isolation(worldDir / "home");
    test::HttpServer server;
    test::SourceWorld world(worldDir / "world", server);
    if (const char* path = std::getenv("PATH")) static_cast<test::TestPlatform&>(*app_.platform).env["PATH"] = path;
    app_.game = world.game;
    MakeBuilder(worldDir / "L" / "StarblazeOnline");
    app_.builder->SetSetting("game", PathUtf8(world.disc));
    app_.selected = ChooseGame(app_.game, world.disc);
    ASSERT_TRUE(app_.selected.ok) << app_.selected.message;
    app_.consent = true;
    Frame();
    ASSERT_TRUE(Disabled("Play"));
    Click("Build");
    bool working = false;
    while (app_.busy) {
        Frame();
        working = working || HasText(kWorkingHint, palette::MutedText);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(working);
    app_.worker.join();
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        ASSERT_EQ(app_.error, "");
        EXPECT_EQ(app_.done, "The game is built. Press Play.");
    }
    Frame();
    EXPECT_TRUE(HasText("The game is built. Press Play.", palette::DoneText));
    EXPECT_TRUE(HasText("Built and ready.", palette::DoneText));
    EXPECT_TRUE(Enabled("Rebuild"));
    EXPECT_TRUE(Enabled("Play"));

    // A rebuild, and an update once the game moved on, end with the same text.
    auto press = [this](const char* button) {
        Click(button);
        while (app_.busy) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        app_.worker.join();
        std::lock_guard<std::mutex> lock(app_.mutex);
        EXPECT_EQ(app_.error, "");
        EXPECT_EQ(app_.done, "The game is built. Press Play.");
    };
    press("Rebuild");
    world.MoveOn(true);
    app_.gameUpdateAvailable = true;
    Frame();
    EXPECT_TRUE(Enabled("Update"));
    press("Update");
    EXPECT_FALSE(app_.gameUpdateAvailable);
    Frame();
    EXPECT_TRUE(HasText("The game is built. Press Play.", palette::DoneText));
    EXPECT_TRUE(HasText("Built and ready.", palette::DoneText));
    EXPECT_TRUE(Enabled("Rebuild"));
    if (test::SourceWorld::RealTools()) {
        EXPECT_EQ(world.Built(*app_.builder), "game 2 with lib");
    }
}

TEST_F(GamePageStates, BuildModeStates) {
    BuildMode();
    struct Case {
        const char* name;
        std::function<void(GamePageStates&)> setup;
        Expect expect;
    };
    const Case cases[] = {
        {"job running",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
             t.Busy("Building");
             std::lock_guard<std::mutex> lock(t.app_.mutex);
             t.app_.error = "an earlier failure";
         },
         {{kWorkingHint}, {"an earlier failure", "Built and ready."}, {{"Play", true}}, {"Build", "Rebuild", "Update"}}},
        {"music import running",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Busy("Converting songs");
             t.app_.musicMessage = true;
         },
         {{kWorkingHint}, {}, {{"Play", true}}, {"Build", "Open launcher.log"}}},
        {"built, no update",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
         },
         {{"Built and ready."}, {}, {{"Rebuild", false}, {"Play", false}}, {"Build", "Update", "Read them"}}},
        {"built, no copy",
         [](GamePageStates& t) { t.Install(); },
         {{"Built and ready."}, {}, {{"Rebuild", true}, {"Play", true}}, {}}},
        {"built, update",
         [](GamePageStates& t) {
             t.ChooseUsableCopy();
             t.Install();
             t.app_.gameUpdateAvailable = true;
         },
         {{"Version v2.0.11 of the game is ready to build (yours: an earlier one). Your saves, settings and music "
           "are kept."},
          {"Built and ready."},
          {{"Update", false}, {"Play", false}},
          {"Rebuild"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        app_.busy = false;
        app_.musicMessage = false;
        app_.gameUpdateAvailable = false;
        app_.selected = SelectedGame{};
        {
            std::lock_guard<std::mutex> lock(app_.mutex);
            app_.error.clear();
            app_.status = Status{};
        }
        MakeBuilder(fresh.path() / "StarblazeOnline");
        c.setup(*this);
        Check(c.expect);
    }
}

// ---- The update banner ---------------------------------------------------------------------------

TEST_F(GamePageStates, UpdateBanner) {
    Frame();
    EXPECT_FALSE(HasText("A new version"));

    app_.updateOffered = true;
    {
        std::lock_guard<std::mutex> lock(app_.releaseMutex);
        app_.latest.tag_name = "v2.1.0";
        app_.latest.html_url = "https://example.invalid/releases/v2.1.0";
    }
    Frame();
    EXPECT_TRUE(HasText("A new version", palette::Accent));
    EXPECT_TRUE(HasText("Version v2.1.0 is out (this launcher is v2.0.11).", palette::Accent));
    EXPECT_TRUE(HasText("Update the launcher, then build the game again with the new version. Your saves and "
                        "settings are kept."));
    // No launcher file in the release: nothing to update with.
    EXPECT_TRUE(Disabled("Update the launcher"));
    EXPECT_TRUE(Enabled("What's new"));

    {
        std::lock_guard<std::mutex> lock(app_.releaseMutex);
        app_.latest.download_url = "https://example.invalid/StarblazeOnlineLauncher.exe";
    }
    Frame();
    EXPECT_TRUE(Enabled("Update the launcher"));
    Busy("Checking");
    Frame();
    EXPECT_TRUE(Disabled("Update the launcher"));
    app_.busy = false;

    Frame();
    Click("Later");
    EXPECT_TRUE(app_.updateDismissed);
    Frame();
    EXPECT_FALSE(HasText("A new version"));
    EXPECT_FALSE(HasButton("Update the launcher"));
}

// ---- The Manage page -------------------------------------------------------------------------------

class ManagePageStates : public GamePageStates {
public:
    void SetUp() override {
        GamePageStates::SetUp();
        app_.section = kSectionManage;
    }

    // A fresh start for one case of a table: the built-in game, nothing chosen, idle, a new data folder.
    void Reset(const fs::path& dataDir) {
        std::string err;
        ASSERT_TRUE(LoadGameDefinition(BuiltinGameJson(), app_.game, err)) << err;
        app_.game.version = kLauncherVersion;
        app_.busy = false;
        app_.musicMessage = false;
        app_.gameUpdateAvailable = false;
        app_.selected = SelectedGame{};
        {
            std::lock_guard<std::mutex> lock(app_.mutex);
            app_.error.clear();
            app_.done.clear();
            app_.status = Status{};
            app_.buildFilesSize = 0;
            app_.leftoverSize = 0;
            app_.buildFilesSizeWhole = true;
            app_.leftoverSizeWhole = true;
            app_.musicFolder.clear();
            app_.musicSummary.clear();
        }
        MakeBuilder(dataDir);
    }

    void Sizes(uint64_t buildFiles, uint64_t leftovers, bool whole = true) {
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.buildFilesSize = buildFiles;
        app_.leftoverSize = leftovers;
        app_.buildFilesSizeWhole = whole;
        app_.leftoverSizeWhole = whole;
    }

    // The value drawn right after a label of the "This install" table in the last frame.
    std::string RowValue(const std::string& label) {
        const std::vector<test::RecordedText>& texts = recorder_->texts();
        for (size_t i = 0; i + 1 < texts.size(); ++i) {
            if (texts[i].text == label && texts[i].color == palette::MutedText) return texts[i + 1].text;
        }
        ADD_FAILURE() << "no row " << label;
        return "";
    }

    // Waits for the job a button started (without asking it to stop) and draws the next frame.
    void FinishJob() {
        ASSERT_TRUE(app_.worker.joinable()) << "no job was started";
        app_.worker.join();
        Frame();
    }

    std::string Error() {
        std::lock_guard<std::mutex> lock(app_.mutex);
        return app_.error;
    }
    std::string Done() {
        std::lock_guard<std::mutex> lock(app_.mutex);
        return app_.done;
    }
    void SetOutcome(const std::string& error, const std::string& done) {
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.error = error;
        app_.done = done;
    }

    fs::path CodeLibrary() { return app_.builder->PlayDir() / (app_.game.exe + ".dll"); }
};

constexpr const char* kFreesSpaceText =
    "Frees space once the game is built. Your saves, settings and music are not touched.";
constexpr const char* kToolsInstalledText =
    "The earlier versions built the game with these; this one does not need them. FFmpeg, for your music, stays.";
constexpr const char* kToolsNotInstalledText = "Once the game is updated: the earlier versions built it with these.";
constexpr const char* kBuildAgainText = "If the game will not start. Takes a minute or two, and keeps your saves.";

TEST_F(ManagePageStates, InstallTableFollowsTheInstall) {
    struct Case {
        const char* name;
        std::function<void(ManagePageStates&)> setup;
        std::string game;
        bool copyChosen;
    };
    const std::string oldWay = ", built the old way: update it on Game";
    const Case cases[] = {
        {"nothing installed, nothing chosen", [](ManagePageStates&) {}, "not ready yet", false},
        {"installed, no built setting", [](ManagePageStates& t) { t.Install(); }, "ready", false},
        {"installed, built setting named",
         [](ManagePageStates& t) {
             t.Install();
             t.SetBuilt("v2.0.9");
             t.ChooseUsableCopy();
         },
         "v2.0.9", true},
        {"an earlier version's executable only", [](ManagePageStates& t) { t.Install(false); },
         "an earlier version" + oldWay, false},
        {"an earlier version's executable, built setting named",
         [](ManagePageStates& t) {
             t.Install(false);
             t.SetBuilt("v2.0.7");
             t.ChooseUsableCopy();
         },
         "v2.0.7" + oldWay, true},
        {"build mode: the executable is the whole game",
         [](ManagePageStates& t) {
             t.BuildMode();
             t.Install(false);
         },
         "ready", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        Reset(fresh / "StarblazeOnline");
        c.setup(*this);
        Frame();
        EXPECT_TRUE(HasText("This install", palette::Accent));
        EXPECT_EQ(RowValue("Launcher"), "v2.0.11");
        EXPECT_EQ(RowValue("Game"), c.game);
        EXPECT_EQ(RowValue("Your copy"), c.copyChosen ? "PAL (Europe), " + PathUtf8(dir_ / "game.iso") : "not chosen");
        EXPECT_EQ(RowValue("Folder"), PathUtf8(app_.dataDir));
        const std::string free = RowValue("Free on this drive");
        EXPECT_TRUE(std::regex_match(free, std::regex("[0-9]+ MB|[0-9]+\\.[0-9] GB"))) << free;
    }
}

TEST_F(ManagePageStates, ButtonsAndWhenTheyAreEnabled) {
    struct Case {
        const char* name;
        std::function<void(ManagePageStates&)> setup;
        Expect expect;
    };
    const uint64_t buildFiles = uint64_t{3} << 29;  // 1.5 GB
    const uint64_t leftovers = uint64_t{850} << 20;
    const Case cases[] = {
        {"nothing installed, nothing to remove",
         [](ManagePageStates&) {},
         {{kFreesSpaceText, kBuildAgainText},
          {kToolsInstalledText, kToolsNotInstalledText},
          {{"Open the game's folder", true},
           {"Open launcher.log", false},
           {"Remove the build files (0 MB)", true},
           {"Build the game again", true}},
          {"Remove the old build tools (0 MB)"}}},
        {"installed, idle, with a copy",
         [=](ManagePageStates& t) {
             t.Install();
             t.ChooseUsableCopy();
             t.Sizes(buildFiles, leftovers);
         },
         {{kToolsInstalledText},
          {kToolsNotInstalledText},
          {{"Open the game's folder", false},
           {"Open launcher.log", false},
           {"Remove the build files (1.5 GB)", false},
           {"Remove the old build tools (850 MB)", false},
           {"Build the game again", false}},
          {}}},
        {"installed, no build files yet",
         [=](ManagePageStates& t) {
             t.Install();
             t.ChooseUsableCopy();
             t.Sizes(0, leftovers);
         },
         {{}, {}, {{"Remove the build files (0 MB)", true}, {"Remove the old build tools (850 MB)", false}}, {}}},
        {"installed, sizes that could not be counted whole",
         [=](ManagePageStates& t) {
             t.Install();
             t.ChooseUsableCopy();
             t.Sizes(0, leftovers, false);
         },
         {{},
          {},
          {{"Remove the build files (at least 0 MB)", false}, {"Remove the old build tools (at least 850 MB)", false}},
          {}}},
        {"installed, no copy chosen",
         [=](ManagePageStates& t) {
             t.Install();
             t.Sizes(buildFiles, leftovers);
         },
         {{}, {}, {{"Remove the build files (1.5 GB)", false}, {"Build the game again", true}}, {}}},
        {"installed, a job running",
         [=](ManagePageStates& t) {
             t.Install();
             t.ChooseUsableCopy();
             t.Sizes(buildFiles, leftovers);
             t.Busy("Downloading");
         },
         {{},
          {},
          {{"Open the game's folder", false},
           {"Open launcher.log", false},
           {"Remove the build files (1.5 GB)", true},
           {"Remove the old build tools (850 MB)", true},
           {"Build the game again", true}},
          {}}},
        {"not installed, leftovers of an earlier version",
         [=](ManagePageStates& t) {
             t.Install(false);
             t.ChooseUsableCopy();
             t.Sizes(buildFiles, leftovers);
         },
         {{kToolsNotInstalledText},
          {kToolsInstalledText},
          {{"Open the game's folder", true},
           {"Remove the build files (1.5 GB)", true},
           {"Remove the old build tools (850 MB)", true},
           {"Build the game again", true}},
          {}}},
        {"build mode: no leftovers and no package run",
         [=](ManagePageStates& t) {
             t.BuildMode();
             t.Install();
             t.ChooseUsableCopy();
             t.Sizes(buildFiles, leftovers);
         },
         {{kFreesSpaceText},
          {kToolsInstalledText, kToolsNotInstalledText, kBuildAgainText},
          {{"Open the game's folder", false}, {"Remove the build files (1.5 GB)", false}},
          {"Remove the old build tools (850 MB)", "Build the game again"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        Reset(fresh / "StarblazeOnline");
        c.setup(*this);
        Check(c.expect);
        for (const char* hint : {kFreesSpaceText, kToolsInstalledText, kToolsNotInstalledText, kBuildAgainText}) {
            if (HasText(hint)) {
                EXPECT_TRUE(HasText(hint, palette::MutedText)) << hint;
            }
        }
    }
}

TEST_F(ManagePageStates, RemovingTheBuildFilesReportsOnTheGamePage) {
    Install();
    test::WriteFile(app_.builder->PlayDir() / "compiler" / "work" / "game.o", std::string(3 << 20, 'o'));
    Sizes(app_.builder->BuildFilesSize(), 0);
    app_.musicMessage = true;  // the last outcome was the music page's
    Frame();
    Click("Remove the build files (3 MB)");
    EXPECT_FALSE(app_.musicMessage);
    FinishJob();
    EXPECT_EQ(Done(), "Build files removed. An update builds everything again.");
    EXPECT_EQ(Error(), "");
    EXPECT_FALSE(fs::exists(app_.builder->PlayDir() / "compiler" / "work"));
    EXPECT_TRUE(app_.builder->IsInstalled());
    // The worker measured again: nothing left to remove. The outcome is not shown here but on the Game page.
    EXPECT_TRUE(Disabled("Remove the build files (0 MB)"));
    EXPECT_FALSE(HasText("Build files removed. An update builds everything again."));
    app_.section = kSectionGame;
    Frame();
    EXPECT_TRUE(HasText("Build files removed. An update builds everything again.", palette::DoneText));
}

TEST_F(ManagePageStates, RemovingTheOldBuildToolsKeepsFfmpeg) {
    Install();
    const fs::path data = app_.dataDir;
    test::WriteFile(data / "tools" / "llvm" / "bin" / "clang", std::string(2 << 20, 'c'));
    test::WriteFile(data / "tools" / "ffmpeg" / "bin" / "ffmpeg", "converter");
    test::WriteFile(data / "downloads" / "cmake.zip", "zip");
    Sizes(0, app_.builder->LeftoverBuildFilesSize());
    Frame();
    Click("Remove the old build tools (2 MB)");
    FinishJob();
    EXPECT_EQ(Done(), "The old build tools are removed.");
    EXPECT_EQ(Error(), "");
    EXPECT_FALSE(fs::exists(data / "tools" / "llvm"));
    EXPECT_FALSE(fs::exists(data / "downloads"));
    EXPECT_EQ(test::ReadFile(data / "tools" / "ffmpeg" / "bin" / "ffmpeg"), "converter");
    EXPECT_FALSE(HasButton("Remove the old build tools (0 MB)")) << "nothing left: the button goes";
    std::lock_guard<std::mutex> lock(app_.mutex);
    EXPECT_EQ(std::count(app_.log.begin(), app_.log.end(), "removed " + PathUtf8(data / "tools" / "llvm")), 1);
}

// "Build the game again" on a package install: the game's own program (the stand-in) builds the code anew.
class BuildAgainFrames : public ManagePageStates {
public:
    void SetUp() override {
        ManagePageStates::SetUp();
        app_.game.repo = server_.Url("/starblaze-port/starblaze.git");
        MakeBuilder(launcherDir_ / "StarblazeOnline");
        ChooseUsableCopy();
        app_.builder->SetSetting("game", PathUtf8(app_.selected.path));
        Install();
        test::WriteFile(CodeLibrary(), "old code");
    }

    test::HttpServer server_;
    fs::path launcherDir_ = dir_ / "Launcher";
};

TEST_F(BuildAgainFrames, BuildsTheCodeAgainAndTakesTheUpdateAlong) {
    // A package beside the launcher: no download.
    test::WriteZipOrFail(launcherDir_ / "Starblaze-package.zip",
                         {test::ZipEntry::Program("./" + app_.game.exe + app_.platform->ExeSuffix(),
                                                  test::TestProgram("fake_game"))});
    app_.gameUpdateAvailable = true;
    Frame();
    Click("Build the game again");
    EXPECT_FALSE(app_.gameUpdateAvailable);
    FinishJob();
    EXPECT_EQ(Error(), "");
    EXPECT_EQ(Done(), "The game is ready. Press Play.");
    EXPECT_EQ(test::ReadFile(CodeLibrary()), "code") << "built again by the game's program";
    EXPECT_EQ(app_.builder->ReadBuilt(), "v2.0.11");
    EXPECT_FALSE(HasText("The game is ready. Press Play."));
    app_.section = kSectionGame;
    Frame();
    EXPECT_TRUE(HasText("Ready to play", palette::Accent));
    EXPECT_TRUE(HasText("The game is ready. Press Play.", palette::DoneText));
}

TEST_F(BuildAgainFrames, ACodeLibraryThatCannotGoStopsTheRun) {
    // The installed package is the release's own, so the package run would find the game complete while the
    // old library stays: it must not report a game it never built.
    const std::string sha256(64, 'a');
    server_.ServeJson("/starblaze-port/starblaze/releases/download/v2.0.11/Starblaze-package.zip.json",
                      "{\"sha256\": \"" + sha256 + "\", \"size\": 1000}");
    test::WriteFile(app_.builder->PlayDir() / "package.stamp", sha256);
    // The game, hung, still holds its library.
    test::PinnedFile pin(CodeLibrary());
    if (!pin.pinned()) GTEST_SKIP() << "no file can be kept from deletion here: " << pin.why();
    Frame();
    Click("Build the game again");
    FinishJob();
    std::string why;
    ASSERT_FALSE(RemoveTree(CodeLibrary(), why));
    EXPECT_EQ(Error(), "Could not remove " + PathUtf8(CodeLibrary()) + ": " + why);
    EXPECT_EQ(Done(), "");
    EXPECT_EQ(test::ReadFile(CodeLibrary()), "old code");
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        ASSERT_FALSE(app_.log.empty());
        EXPECT_EQ(app_.log.back(), "build stopped: " + app_.error);
    }
    // The error note is the Game page's, not this page's.
    EXPECT_FALSE(HasText(Error()));
    app_.section = kSectionGame;
    Frame();
    EXPECT_TRUE(HasText(Error(), palette::ErrorText));
    EXPECT_TRUE(Enabled("Open launcher.log"));
}

// ---- The Your music page ---------------------------------------------------------------------------

constexpr const char* kMusicIntro =
    "The game plays Xbox custom soundtracks. Choose a folder of your own music: each folder in it becomes a "
    "soundtrack (MP3, FLAC, OGG, Opus, M4A, AAC, WAV, WMA, AIFF), and the songs in the folder itself one more. "
    "They are converted for the game (ffmpeg, about 90 MB, downloaded the first time; nothing is installed). In "
    "the game they are with the custom soundtracks.";
constexpr const char* kUpdateHint = "After adding or changing songs: only those are converted.";

class MusicPageStates : public ManagePageStates {
public:
    void SetUp() override {
        ManagePageStates::SetUp();
        Music();
    }
    void Music() {
        app_.game.music = true;
        app_.section = kSectionMusic;
    }
    void MusicFolder(const fs::path& folder, const std::string& summary = "") {
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.musicFolder = folder;
        app_.musicSummary = summary;
    }

    fs::path myMusic_ = dir_ / "My Music";
};

TEST_F(MusicPageStates, States) {
    struct Case {
        const char* name;
        std::function<void(MusicPageStates&)> setup;
        Expect expect;
        std::vector<std::pair<std::string, ImU32>> colored;
    };
    const std::string summary = "2 soundtracks, 14 songs: 3 converted, 11 kept.";
    const Case cases[] = {
        {"no folder chosen yet",
         [](MusicPageStates&) {},
         {{kMusicIntro},
          {kUpdateHint},
          {{"Choose a music folder...", false}},
          {"Update my music", "Open launcher.log"}},
         {{"Your music", palette::Accent}}},
        {"a folder chosen before",
         [](MusicPageStates& t) { t.MusicFolder(t.myMusic_); },
         {{kMusicIntro}, {}, {{"Choose a music folder...", false}, {"Update my music", false}}, {}},
         {{"Your music: " + PathUtf8(dir_ / "My Music"), palette::MutedText}, {kUpdateHint, palette::MutedText}}},
        {"an import running",
         [](MusicPageStates& t) {
             t.MusicFolder(t.myMusic_);
             t.Busy("Converting songs");
             t.app_.musicMessage = true;
             t.SetOutcome("an earlier failure", "");
         },
         {{},
          {"an earlier failure"},
          {{"Choose a music folder...", true}, {"Update my music", true}},
          {"Open launcher.log"}},
         {}},
        {"an import done, with its summary",
         [=](MusicPageStates& t) {
             t.MusicFolder(t.myMusic_, summary);
             t.app_.musicMessage = true;
             t.SetOutcome("", "Your music is ready.");
         },
         {{}, {"Your music is ready."}, {}, {"Open launcher.log"}},
         {{"Your music is ready. " + summary, palette::DoneText}}},
        {"an import done, no summary",
         [](MusicPageStates& t) {
             t.MusicFolder(t.myMusic_);
             t.app_.musicMessage = true;
             t.SetOutcome("", "Your music is ready.");
         },
         {{}, {}, {}, {}},
         {{"Your music is ready.", palette::DoneText}}},
        {"an import failed",
         [=](MusicPageStates& t) {
             t.MusicFolder(t.myMusic_, summary);
             t.app_.musicMessage = true;
             t.SetOutcome("Could not convert the songs, see launcher.log", "");
         },
         {{}, {"Your music is ready. " + summary}, {{"Open launcher.log", false}}, {}},
         {{"Could not convert the songs, see launcher.log", palette::ErrorText}}},
        {"the Game page's outcome stays on the Game page",
         [](MusicPageStates& t) {
             t.SetOutcome("The package could not be downloaded", "The game is ready. Press Play.");
         },
         {{}, {"The package could not be downloaded", "The game is ready. Press Play."}, {}, {"Open launcher.log"}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        Reset(fresh / "StarblazeOnline");
        Music();
        c.setup(*this);
        Check(c.expect);
        for (const auto& [text, color] : c.colored) EXPECT_TRUE(HasText(text, color)) << text;
        if (!HasButton("Update my music")) {
            EXPECT_FALSE(recorder_->HasTextContaining("Your music: "));
        }
    }
}

TEST_F(MusicPageStates, AFailedImportKeepsTheFolderAndSummaryAndShowsHere) {
    MusicFolder(myMusic_, "old summary");  // the folder has gone since
    SetOutcome("", "The game is ready. Press Play.");
    Frame();
    Click("Update my music");
    EXPECT_TRUE(app_.musicMessage);
    FinishJob();
    const std::string error = Error();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Done(), "");
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        EXPECT_EQ(app_.musicFolder, myMusic_);
        EXPECT_EQ(app_.musicSummary, "old summary");
    }
    EXPECT_TRUE(HasText(error, palette::ErrorText));
    EXPECT_TRUE(Enabled("Open launcher.log"));
    app_.section = kSectionGame;
    Frame();
    EXPECT_FALSE(HasText(error));
    EXPECT_FALSE(HasButton("Open launcher.log"));
}

#ifndef _WIN32

// The shell's helpers replaced by stand-ins on PATH: zenity answers the picker, xdg-open notes what it was
// asked to open. (On Windows they are the shell's dialog and ShellExecute.)
class ShellStandIns : public MusicPageStates {
public:
    void SetUp() override {
        MusicPageStates::SetUp();
        const char* path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "";
        setenv("PATH", bin_.path().c_str(), 1);
        Tool("xdg-open", "printf '%s\\n' \"$1\" >> '" + PathUtf8(opened_) + "'\n");
    }
    void TearDown() override {
        setenv("PATH", oldPath_.c_str(), 1);
        MusicPageStates::TearDown();
    }
    void Tool(const std::string& name, const std::string& body) {
        test::WriteFile(bin_ / name, "#!/bin/sh\n" + body);
        chmod((bin_ / name).c_str(), 0755);
    }
    // What xdg-open was given, once it has run (it runs in the background).
    std::string Opened() {
        for (int i = 0; i < 500 && !fs::exists(opened_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string text = test::ReadFile(opened_);
        fs::remove(opened_);
        return text;
    }

    test::TempDir bin_;
    fs::path opened_ = dir_ / "opened.txt";
    std::string oldPath_;
};

TEST_F(ShellStandIns, ManageOpensThePlayFolderAndTheLog) {
    Install();
    app_.section = kSectionManage;
    Frame();
    Click("Open the game's folder");
    EXPECT_EQ(Opened(), PathUtf8(app_.builder->PlayDir()) + "\n");
    Click("Open launcher.log");
    EXPECT_EQ(Opened(), PathUtf8(app_.dataDir / "launcher.log") + "\n");
}

TEST_F(ShellStandIns, APickedFolderThatFailsToImportIsNotKept) {
    MusicFolder(myMusic_, "old summary");
    const fs::path picked = dir_ / "Other Music";  // not there: the import fails early, without ffmpeg
    Tool("zenity", "printf '%s\\n' \"$@\" > '" + PathUtf8(dir_ / "zenity-args.txt") + "'\necho '" + PathUtf8(picked) +
                       "'\n");
    Frame();
    Click("Choose a music folder...");
    const std::string args = test::ReadFile(dir_ / "zenity-args.txt");
    EXPECT_NE(args.find("--directory\n"), std::string::npos) << args;
    EXPECT_NE(args.find("--title=Choose a folder of your music\n"), std::string::npos) << args;
    EXPECT_TRUE(app_.musicMessage);
    FinishJob();
    EXPECT_FALSE(Error().empty());
    std::lock_guard<std::mutex> lock(app_.mutex);
    EXPECT_EQ(app_.musicFolder, myMusic_);
    EXPECT_EQ(app_.musicSummary, "old summary");
}

// The whole import behind the button, with the ffmpeg and ffprobe stand-ins found on the search path as
// the bare names (on Windows the import installs its tool first: see MusicToolTest).
TEST_F(ShellStandIns, APickedFolderThatImportsIsKeptWithItsSummary) {
    for (const char* program : {"ffmpeg", "ffprobe"}) fs::copy_file(test::TestProgram(program), bin_ / program);
    const fs::path picked = dir_ / "Other Music";
    test::WriteFile(picked / "Disc" / "1.mp3", "duration=1\nTAG:title=One\n");
    test::WriteFile(picked / "Disc" / "2.mp3", "duration=2\n");
    test::WriteFile(picked / "loose.flac", "duration=3\n");
    MusicFolder(myMusic_, "old summary");
    Tool("zenity", "echo '" + PathUtf8(picked) + "'\n");
    Frame();
    Click("Choose a music folder...");
    FinishJob();
    EXPECT_EQ(Error(), "");
    EXPECT_EQ(Done(), "Your music is ready.");
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        EXPECT_EQ(app_.musicFolder, picked);
        EXPECT_EQ(app_.musicSummary, "3 songs in 2 soundtracks");
    }
    EXPECT_TRUE(HasText("Your music is ready. 3 songs in 2 soundtracks", palette::DoneText));
    EXPECT_TRUE(HasText("Your music: " + PathUtf8(picked), palette::MutedText));
    EXPECT_TRUE(fs::is_regular_file(app_.builder->MusicDbFolder() / "0002" / "00020001.WMA"));
}

TEST_F(ShellStandIns, ACancelledPickerStartsNothing) {
    SetOutcome("", "The game is ready. Press Play.");
    Tool("zenity", "exit 1\n");
    Frame();
    Click("Choose a music folder...");
    EXPECT_FALSE(app_.worker.joinable());
    EXPECT_FALSE(app_.musicMessage);
    EXPECT_EQ(Done(), "The game is ready. Press Play.");
}

#endif

// ---- Pages drawn while their jobs run (the thread sanitizer build runs these) ----------------------------

// The worker writes the sizes, the music folder and its summary when a job ends; the pages read them only
// under the App mutex, frame after frame while the job runs.
class PageJobConcurrency : public ManagePageStates {};

TEST_F(PageJobConcurrency, FramesWhileTheManageAndMusicJobsRun) {
    Install();
    for (int i = 0; i < 300; ++i) test::WriteFile(app_.dataDir / "tools" / "llvm" / ("f" + std::to_string(i)), "x");
    Sizes(0, app_.builder->LeftoverBuildFilesSize());
    Frame();
    Click("Remove the old build tools (0 MB)");
    while (app_.busy) Frame();
    FinishJob();
    EXPECT_EQ(Done(), "The old build tools are removed.");

    app_.game.music = true;
    app_.section = kSectionMusic;
    {
        std::lock_guard<std::mutex> lock(app_.mutex);
        app_.musicFolder = dir_ / "My Music";
    }
    Frame();
    Click("Update my music");
    while (app_.busy) Frame();
    FinishJob();
    EXPECT_TRUE(app_.musicMessage);
}

// ---- Theme and fonts -------------------------------------------------------------------------------

TEST(Theme, StyleSizesAreScaledAndTruncated) {
    ImGuiContext* context = ImGui::CreateContext();
    ApplyStyle(1.5f);
    const ImGuiStyle& style = ImGui::GetStyle();
    EXPECT_EQ(style.FramePadding.x, 15.0f);
    EXPECT_EQ(style.FramePadding.y, 7.0f);
    EXPECT_EQ(style.ItemSpacing.x, 12.0f);
    EXPECT_EQ(style.ItemSpacing.y, 9.0f);
    EXPECT_EQ(style.ItemInnerSpacing.x, 9.0f);
    EXPECT_EQ(style.ItemInnerSpacing.y, 6.0f);
    EXPECT_EQ(style.ScrollbarSize, 21.0f);
    EXPECT_EQ(style.GrabMinSize, 18.0f);
    EXPECT_EQ(style.WindowPadding.x, 0.0f);
    EXPECT_EQ(style.FrameRounding, 0.0f);
    EXPECT_EQ(style.WindowBorderSize, 1.0f);
    EXPECT_EQ(style.ChildBorderSize, 0.0f);

    const ImVec4 bg = style.Colors[ImGuiCol_WindowBg];
    EXPECT_EQ(ImGui::ColorConvertFloat4ToU32(bg), IM_COL32(62, 70, 55, 255));
    EXPECT_EQ(ImGui::ColorConvertFloat4ToU32(style.Colors[ImGuiCol_CheckMark]), palette::Accent);
    EXPECT_FLOAT_EQ(style.Colors[ImGuiCol_TableRowBgAlt].w, 0.12f);
    // Colours the theme does not name keep the dark preset's values.
    ImGuiStyle dark;
    ImGui::StyleColorsDark(&dark);
    EXPECT_EQ(ImGui::ColorConvertFloat4ToU32(style.Colors[ImGuiCol_Tab]),
              ImGui::ColorConvertFloat4ToU32(dark.Colors[ImGuiCol_Tab]));

    // A second call starts again from the defaults instead of scaling twice.
    ApplyStyle(1.0f);
    EXPECT_EQ(ImGui::GetStyle().FramePadding.x, 10.0f);
    ImGui::DestroyContext(context);
}

// A TrueType file the machine has, to stand in for Tahoma.
fs::path SomeTrueTypeFont() {
    for (const char* candidate : {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "/usr/share/wine/fonts/tahoma.ttf",
                                  "C:\\windows\\Fonts\\tahoma.ttf"}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate;
    }
    return {};
}

TEST(Theme, LoadFontsFallsBackToTheBuiltInFont) {
    const fs::path font = SomeTrueTypeFont();
    if (font.empty()) GTEST_SKIP() << "no TrueType font on this machine to stand in for Tahoma";
    struct Case {
        const char* name;
        bool regular;
        bool bold;
        size_t fonts;
        float defaultSize;  // at scale 1.5; Dear ImGui 1.90.1 truncates font sizes to whole pixels
        bool boldIsFirst;
    };
    const Case cases[] = {
        {"both files", true, true, 2, 22.0f, false},
        {"bold only", false, true, 2, 19.0f, false},
        {"regular only", true, false, 1, 22.0f, true},
        {"neither", false, false, 1, 19.0f, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fonts;
        if (c.regular) fs::copy_file(font, fonts / "tahoma.ttf");
        if (c.bold) fs::copy_file(font, fonts / "tahomabd.ttf");
        ImGuiContext* context = ImGui::CreateContext();
        ImFont* bold = LoadFonts(fonts.path(), 1.5f);
        ImFontAtlas* atlas = ImGui::GetIO().Fonts;
        ASSERT_EQ(static_cast<size_t>(atlas->Fonts.size()), c.fonts);
        EXPECT_TRUE(atlas->IsBuilt());
        EXPECT_FLOAT_EQ(atlas->Fonts[0]->FontSize, c.defaultSize);
        EXPECT_EQ(bold == atlas->Fonts[0], c.boldIsFirst);
        if (c.bold) {
            EXPECT_FLOAT_EQ(bold->FontSize, 22.0f);
        }
        ImGui::DestroyContext(context);
    }
}

// One damaged file (a truncated copy, say) is skipped alone: the other font still loads, and the font
// rasteriser never reads past the end of the damaged one.
TEST(Theme, ADamagedFontFileIsSkippedAlone) {
    const fs::path font = SomeTrueTypeFont();
    if (font.empty()) GTEST_SKIP() << "no TrueType font on this machine to stand in for Tahoma";
    const std::string whole = test::ReadFile(font);
    ASSERT_GT(whole.size(), 1000u);
    // A table record pointing past the end: the first table's offset set to the file's size.
    std::string pastTheEnd = whole;
    const uint32_t size = static_cast<uint32_t>(whole.size());
    for (int i = 0; i < 4; ++i) pastTheEnd[12 + 8 + i] = static_cast<char>((size >> (24 - 8 * i)) & 0xFF);
    struct Damage {
        const char* name;
        std::string bytes;
    } damages[] = {
        {"cut in half", whole.substr(0, whole.size() / 2)},
        {"cut near the end", whole.substr(0, whole.size() * 9 / 10)},
        {"only the header", whole.substr(0, 12)},
        {"a table past the end", pastTheEnd},
        {"no font at all", std::string(4096, 'x')},
    };
    for (const Damage& d : damages) {
        for (bool boldDamaged : {true, false}) {
            SCOPED_TRACE(std::string(d.name) + (boldDamaged ? ", bold" : ", regular"));
            test::TempDir fonts;
            test::WriteFile(fonts / "tahoma.ttf", boldDamaged ? whole : d.bytes);
            test::WriteFile(fonts / "tahomabd.ttf", boldDamaged ? d.bytes : whole);
            ImGuiContext* context = ImGui::CreateContext();
            ImFont* bold = LoadFonts(fonts.path(), 1.0f);
            ImFontAtlas* atlas = ImGui::GetIO().Fonts;
            EXPECT_TRUE(atlas->IsBuilt());
            ASSERT_EQ(atlas->Fonts.size(), boldDamaged ? 1 : 2);
            if (boldDamaged) {
                // Tahoma regular stands in for the bold cut.
                EXPECT_EQ(bold, atlas->Fonts[0]);
                EXPECT_FLOAT_EQ(bold->FontSize, 15.0f);
            } else {
                // The built-in font is the default, Tahoma Bold still the bold one.
                EXPECT_FLOAT_EQ(atlas->Fonts[0]->FontSize, 13.0f);
                EXPECT_EQ(bold, atlas->Fonts[1]);
                EXPECT_FLOAT_EQ(bold->FontSize, 15.0f);
            }
            ImGui::DestroyContext(context);
        }
    }
}

TEST(Theme, FontThatCannotBeReadIsSkipped) {
    test::TempDir fonts;
    // A folder where the file should be: it exists but cannot be read as a font file.
    fs::create_directories(fonts / "tahoma.ttf");
    ImGuiContext* context = ImGui::CreateContext();
    ImFont* bold = LoadFonts(fonts.path(), 1.0f);
    ImFontAtlas* atlas = ImGui::GetIO().Fonts;
    ASSERT_EQ(atlas->Fonts.size(), 1);
    EXPECT_EQ(bold, atlas->Fonts[0]);
    EXPECT_FLOAT_EQ(bold->FontSize, 13.0f);
    ImGui::DestroyContext(context);
}

}  // namespace
}  // namespace launcher
