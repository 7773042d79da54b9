#include <cmath>
#include <fstream>
#include <mutex>
#include <string>

#include "app/app.h"
#include "app/frame.h"
#include "app/release.h"
#include "app/self_update.h"
#include "app/shell.h"
#include "app/ui_text.h"
#include "platform/paths.h"

namespace launcher {

namespace {

// The licence terms of Microsoft's C++ libraries and Windows SDK: opened by "Read them", written into
// "agreed.txt" when the user builds.
constexpr const char* kLicenseTermsUrl = "https://go.microsoft.com/fwlink/?LinkId=2179911";

// A button with the selection face, the accent when hovered and a white label.
bool ColoredButton(const char* label, const ImVec2& size) {
    ImGui::PushStyleColor(ImGuiCol_Button, palette::Selection);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, palette::Accent);
    ImGui::PushStyleColor(ImGuiCol_Text, palette::White);
    bool pressed = ImGui::Button(label, size);
    ImGui::PopStyleColor(3);
    return pressed;
}

std::string BuiltOr(const App& app, const char* fallback) {
    std::string built = app.builder->ReadBuilt();
    return built.empty() ? std::string(fallback) : built;
}

std::string FreeSpaceLine(const App& app) {
    return "Free on this drive: " + FormatSize(FreeSpaceOf(app.dataDir));
}

void StartGameJob(App& app, const char* doneText) {
    app.gameUpdateAvailable = false;
    app.musicMessage = false;
    Builder* builder = app.builder.get();
    app.StartTask([builder](std::string& err) { return builder->BuildAll(err); }, doneText);
}

// The pickers run on the UI thread: the choice is identified and taken in before the frame goes on.
void TakeChosenPath(App& app, const std::filesystem::path& chosen) {
    if (chosen.empty()) return;
    app.selected = ChooseGame(app.game, chosen);
    if (!app.selected.ok) return;
    // No job runs while the pickers are enabled: a stop left from the last one must not end the copy.
    app.builder->stop = false;
    std::string err;
    if (!app.builder->UseGame(app.selected, err)) {
        app.selected.ok = false;
        app.selected.message = err;
    }
}

void UpdateBanner(App& app, ImFont* bold, bool busy) {
    Release latest;
    {
        std::lock_guard<std::mutex> lock(app.releaseMutex);
        latest = app.latest;
    }
    SectionHeading("A new version", bold);
    ui::TextWrappedColored(palette::Accent, "Version " + latest.tag_name + " is out (this launcher is " +
                                                app.game.version + ").");
    ui::TextWrapped(
        "Update the launcher, then build the game again with the new version. Your saves and settings are kept.");
    ImGui::BeginDisabled(busy || latest.download_url.empty());
    if (ImGui::Button("Update the launcher")) {
        app.musicMessage = false;
        App* target = &app;
        app.StartTask([target, latest](std::string& err) { return UpdateLauncher(*target, latest, err); }, "");
    }
    ImGui::EndDisabled();
    ImGui::SameLine();
    if (ImGui::Button("What's new") && !latest.html_url.empty()) OpenInShell(latest.html_url);
    ImGui::SameLine();
    if (ImGui::Button("Later")) app.updateDismissed = true;
}

void YourGame(App& app, void* window, ImFont* bold, bool busy) {
    SectionHeading("Your game", bold);
    const SelectedGame& selected = app.selected;
    if (selected.ok) {
        ui::TextWrappedColored(palette::DoneText, selected.release);
        ui::TextWrappedColored(palette::MutedText, PathUtf8(selected.path));
    } else {
        ui::TextWrapped(
            "Choose your copy of the game: a disc image (.iso) of your own disc, or a folder with the disc's "
            "files. Nothing is copied off the internet: the game comes from your disc.");
        if (!selected.message.empty()) ui::TextWrappedColored(palette::ErrorText, selected.message);
    }
    ImGui::BeginDisabled(busy);
    if (ImGui::Button("Choose a disc image...")) TakeChosenPath(app, PickPath(window, false, nullptr));
    ImGui::SameLine();
    if (ImGui::Button("Choose a folder...")) TakeChosenPath(app, PickPath(window, true, nullptr));
    ImGui::EndDisabled();
}

void BuildBlock(App& app, ImFont* bold, bool busy, bool installed, const std::string& error,
                const std::string& done) {
    const float fs = ImGui::GetFontSize();
    SectionHeading("Build", bold);
    if (busy) {
        ui::TextWrappedColored(palette::MutedText,
                               "Working: see the bar below. It carries on from there next time if you stop it.");
        return;
    }
    const bool ok = app.selected.ok;
    bool pressed = false;
    if (installed && !app.gameUpdateAvailable) {
        ui::TextWrappedColored(palette::DoneText, "Built and ready.");
        ImGui::BeginDisabled(!ok);
        pressed = ImGui::Button("Rebuild", ImVec2(10 * fs, 0));
        ImGui::EndDisabled();
    } else if (installed) {
        if (IsVersionTag(app.game.version)) {
            ui::TextWrappedColored(palette::Accent, "Version " + app.game.version +
                                                        " of the game is ready to build (yours: " +
                                                        BuiltOr(app, "an earlier one") +
                                                        "). Your saves, settings and music are kept.");
        } else {
            ui::TextWrappedColored(palette::Accent, "A new version is available.");
        }
        ImGui::BeginDisabled(!ok);
        pressed = ColoredButton("Update", ImVec2(10 * fs, 0));
        ImGui::EndDisabled();
    } else {
        ui::TextWrapped(
            "The game is built on this PC from your disc. This downloads about 1.4 GB of build tools (Clang, "
            "CMake, Git and Microsoft's C++ libraries and Windows SDK) into the tools folder; nothing is "
            "installed in Windows. The first build takes 30 to 90 minutes and needs about 3 GB free, plus room "
            "for your copy of the game.");
        ui::TextColored(palette::MutedText, FreeSpaceLine(app));
        ImGui::Checkbox("I accept the license terms for Microsoft's C++ libraries and Windows SDK", &app.consent);
        ImGui::SameLine();
        if (ImGui::SmallButton("Read them")) OpenInShell(kLicenseTermsUrl);
        std::string tooLong;
        const bool pathTooLong = app.builder->PathTooLong(tooLong);
        if (pathTooLong) ui::TextWrappedColored(palette::ErrorText, tooLong);
        ImGui::BeginDisabled(pathTooLong || !ok || !app.consent);
        pressed = ColoredButton("Build", ImVec2(10 * fs, 0));
        ImGui::EndDisabled();
        if (pressed) {
            std::ofstream agreed(app.dataDir / "agreed.txt", std::ios::binary | std::ios::trunc);
            agreed << kLicenseTermsUrl;
        }
    }
    if (pressed) StartGameJob(app, "The game is built. Press Play.");
    if (!app.musicMessage) ErrorNote(app, error, done, "Open launcher.log");
}

}  // namespace

void StepRow(int state, const char* label, const std::string& hint, const Status* status) {
    const float fs = ImGui::GetFontSize();
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float w = ImGui::GetContentRegionAvail().x;
    ImGui::Dummy(ImVec2(w, 2 * fs));
    ImDrawList* list = ImGui::GetWindowDrawList();
    if (state == 1) list->AddRectFilled(p, ImVec2(p.x + w, p.y + 2 * fs), palette::Panel);
    const ImVec2 box(p.x + 0.45f * fs, p.y + 0.5f * fs);
    const ImVec2 boxEnd(box.x + fs, box.y + fs);
    list->AddRectFilled(box, boxEnd, palette::WellBg);
    list->AddRect(box, boxEnd, palette::Rule, 0.0f, 0, 1.0f);
    if (state == 2) {
        const ImVec2 a(box.x + 0.2f * fs, box.y + 0.5f * fs);
        const ImVec2 b(box.x + 0.42f * fs, box.y + 0.75f * fs);
        const ImVec2 c(box.x + 0.8f * fs, box.y + 0.25f * fs);
        list->AddLine(a, b, palette::DoneText, 2.0f);
        list->AddLine(b, c, palette::DoneText, 2.0f);
    } else if (state == 1) {
        const float t = static_cast<float>(ImGui::GetTime());
        const int alpha = static_cast<int>((0.55f + 0.45f * std::sin(4.0f * t)) * 255.0f);
        const ImU32 pulse = (palette::Accent & ~IM_COL32_A_MASK) | (static_cast<ImU32>(alpha) << IM_COL32_A_SHIFT);
        const float inset = 0.22f * fs;
        list->AddRectFilled(ImVec2(box.x + inset, box.y + inset), ImVec2(boxEnd.x - inset, boxEnd.y - inset), pulse);
    }
    const ImU32 labelColor = state == 0 ? palette::MutedText : state == 1 ? palette::White : palette::Text;
    ui::DrawText(list, nullptr, ImVec2(p.x + 2 * fs, p.y + 0.5f * fs), labelColor, label);
    const std::string& right = status != nullptr && !status->detail.empty() ? status->detail : hint;
    if (!right.empty()) {
        const float width = ImGui::CalcTextSize(right.c_str()).x;
        ui::DrawText(list, nullptr, ImVec2(p.x + w - 0.6f * fs - width, p.y + 0.5f * fs),
                     state == 1 ? palette::Accent : palette::MutedText, right);
    }
}

void InstallSection(App& app, ImFont* bold, const Status& status, const std::string& error,
                    const std::string& done) {
    const float fs = ImGui::GetFontSize();
    const bool ownJob = app.busy && !app.musicMessage;
    const bool installed = app.builder->IsInstalled();
    const bool updateAvailable = app.gameUpdateAvailable;
    int phase = app.builder->packagePhase;

    const char* readyText =
        "The program comes ready to go, and your PC builds the game's code from your own disc, once. Nothing is "
        "installed in Windows, and it all stays in one folder.";
    const char* text = nullptr;
    bool codeMissing = false;
    if (installed) {
        if (!ownJob && !updateAvailable) phase = 4;
        SectionHeading(updateAvailable ? "Getting the game ready" : "Ready to play", bold);
    } else if ((codeMissing = app.builder->GameCodeMissing())) {
        SectionHeading("A faster way to play", bold);
        text = ownJob ? readyText
                      : "This version comes ready-made: your PC only builds the game's own code, in a minute or "
                        "two, with no build tools to download. Your saves, settings and music are kept, and the "
                        "game you have keeps working until the new one is ready.";
    } else {
        SectionHeading("Getting the game ready", bold);
        text = readyText;
    }
    if (text != nullptr) {
        ui::TextWrapped(text);
        ImGui::Spacing();
    }

    const bool ok = app.selected.ok;
    auto stepState = [&](int step) { return ownJob && phase == step ? 1 : phase > step ? 2 : 0; };
    StepRow(ok ? 2 : 0, "Your game", ok ? app.selected.release : std::string("not chosen yet"), nullptr);
    const char* labels[] = {"Download the program", "Unpack it", "Build the game for this PC"};
    for (int step = 1; step <= 3; ++step) {
        const int state = stepState(step);
        StepRow(state, labels[step - 1], std::string(), state == 1 ? &status : nullptr);
    }
    ImGui::Spacing();

    if (ownJob) {
        ui::TextWrappedColored(palette::MutedText,
                               "You can stop at any time: it carries on from there next time. Your saves and music "
                               "are not touched.");
        return;
    }
    if (updateAvailable) {
        if (IsVersionTag(app.game.version)) {
            ui::TextWrappedColored(palette::Accent, "Version " + app.game.version + " is ready to install (yours: " +
                                                        BuiltOr(app, "an earlier one") +
                                                        "). Your saves, settings and music are kept.");
        } else {
            ui::TextWrappedColored(palette::Accent, "A new version is available.");
        }
    }
    if (!installed || updateAvailable) {
        ui::TextColored(palette::MutedText, FreeSpaceLine(app));
        ImGui::BeginDisabled(!ok);
        if (ColoredButton(installed || codeMissing ? "Update" : "Get the game ready", ImVec2(14 * fs, 0))) {
            StartGameJob(app, "The game is ready. Press Play.");
        }
        ImGui::EndDisabled();
    }
    if (!app.musicMessage) ErrorNote(app, error, done, "Open launcher.log");
}

void GamePage(App& app, void* window, ImFont* bold, const Status& status, const std::string& error,
              const std::string& done) {
    const float fs = ImGui::GetFontSize();
    const bool busy = app.busy;

    if (app.updateOffered && !app.updateDismissed) UpdateBanner(app, bold, busy);
    YourGame(app, window, bold, busy);

    const bool installed = app.builder->IsInstalled();
    if (IsPackageMode(app.game)) {
        InstallSection(app, bold, status, error, done);
    } else {
        BuildBlock(app, bold, busy, installed, error, done);
    }

    SectionHeading("Play", bold);
    const bool runnable = installed || app.builder->GameCodeMissing();
    ImGui::BeginDisabled(busy || !app.selected.ok || !runnable);
    ImGui::PushFont(bold);
    const bool play = ColoredButton("Play", ImVec2(10 * fs, 0));
    ImGui::PopFont();
    ImGui::EndDisabled();
    if (play) {
        std::string err;
        if (!app.builder->LaunchGame(err)) {
            std::lock_guard<std::mutex> lock(app.mutex);
            app.error = err;
        }
    }
    ui::TextWrappedColored(palette::MutedText,
                           "In the game: F1 opens the PC settings. Saves, settings and logs stay in the game's "
                           "folder.");
}

}  // namespace launcher
