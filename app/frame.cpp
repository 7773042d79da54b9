#include "app/frame.h"

#include <cmath>
#include <mutex>
#include <vector>

#include "app/app.h"
#include "app/shell.h"
#include "app/ui_text.h"
#include "platform/paths.h"

namespace launcher {

namespace {

struct Section {
    const char* label;
    int id;
};

// Dear ImGui 1.90.1 draws a negative fraction as an empty bar, so the moving band of an indeterminate bar
// is drawn here over an empty one: a fifth of the width sweeping left to right once a second.
void ProgressBarAnimated(float fraction, float width, const char* overlay) {
    if (fraction >= 0.0f) {
        ImGui::ProgressBar(fraction, ImVec2(width, 0.0f), overlay);
        return;
    }
    ImGui::ProgressBar(0.0f, ImVec2(width, 0.0f), overlay);
    if (!ImGui::IsItemVisible()) return;
    ImVec2 min = ImGui::GetItemRectMin();
    ImVec2 max = ImGui::GetItemRectMax();
    float border = ImGui::GetStyle().FrameBorderSize;
    min.x += border;
    min.y += border;
    max.x -= border;
    max.y -= border;
    const float band = 0.2f;
    float start = std::fmod(-fraction, 1.0f) * (1.0f + band) - band;
    float end = std::fmin(start + band, 1.0f);
    start = std::fmax(start, 0.0f);
    if (end <= start) return;
    float w = max.x - min.x;
    ImGui::GetWindowDrawList()->AddRectFilled(ImVec2(min.x + w * start, min.y), ImVec2(min.x + w * end, max.y),
                                              ImGui::GetColorU32(ImGuiCol_PlotHistogram));
    // The overlay text goes on top of the band again.
    if (overlay != nullptr && overlay[0] != '\0') {
        ImVec2 text = ImGui::CalcTextSize(overlay);
        float x = std::fmin(min.x + ImGui::GetStyle().ItemSpacing.x, max.x - text.x - ImGui::GetStyle().ItemInnerSpacing.x);
        ImGui::GetWindowDrawList()->PushClipRect(min, max, true);
        ImGui::GetWindowDrawList()->AddText(ImVec2(x, min.y + (max.y - min.y - text.y) * 0.5f),
                                            ImGui::GetColorU32(ImGuiCol_Text), overlay);
        ImGui::GetWindowDrawList()->PopClipRect();
    }
}

void LogPage(App& app, float fs) {
    ImGui::PushStyleColor(ImGuiCol_ChildBg, palette::WellBg);
    ImGui::BeginChild("log", ImVec2(0, 0), ImGuiChildFlags_Border, ImGuiWindowFlags_HorizontalScrollbar);
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        for (const std::string& line : app.log) ui::Text(line);
    }
    // Follow new lines, unless the reader has scrolled up by more than a line.
    if (ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - fs) ImGui::SetScrollHereY(1.0f);
    ImGui::EndChild();
    ImGui::PopStyleColor();
}

}  // namespace

void SectionHeading(const char* text, ImFont* font) {
    float fs = ImGui::GetFontSize();
    ImGui::Dummy(ImVec2(0.0f, 0.5f * fs));
    ImGui::PushFont(font);
    ui::TextColored(palette::Accent, text);
    ImGui::PopFont();
    ImVec2 p = ImGui::GetCursorScreenPos();
    float w = ImGui::GetContentRegionAvail().x;
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddLine(p, ImVec2(p.x + w, p.y), palette::Rule, 1.0f);
    list->AddLine(ImVec2(p.x, p.y + 1), ImVec2(p.x + w, p.y + 1), palette::SoftRule, 1.0f);
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
}

void ErrorNote(App& app, const std::string& error, const std::string& done, const char* buttonLabel) {
    if (!error.empty()) {
        ui::TextWrappedColored(palette::ErrorText, error);
        if (ImGui::SmallButton(buttonLabel)) OpenInShell(PathUtf8(app.dataDir / "launcher.log"));
    } else if (!done.empty()) {
        ui::TextWrappedColored(palette::DoneText, done);
    }
}

void TableRowText(const std::string& label, const std::string& value) {
    ImGui::TableNextRow();
    ImGui::TableNextColumn();
    ui::TextWrappedColored(palette::MutedText, label);
    ImGui::TableNextColumn();
    ui::TextWrapped(value);
}

void DrawUI(App& app, void* window, ImFont* bold) {
    const float fs = ImGui::GetFontSize();

    // The frame works from one copy, so the mutex is never held while drawing.
    std::string error, done;
    Status status;
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        error = app.error;
        done = app.done;
        status = app.status;
    }
    const bool busy = app.busy;

    std::vector<Section> sections = {{"Game", kSectionGame}};
    if (app.game.music) sections.push_back({"Your music", kSectionMusic});
    sections.push_back({"Manage", kSectionManage});
    sections.push_back({"Log", kSectionLog});

    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(viewport->Pos);
    ImGui::SetNextWindowSize(viewport->Size);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0.0f);
    ImGui::Begin("launcher", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoSavedSettings);
    ImGui::PopStyleVar();
    const ImVec2 pos = ImGui::GetWindowPos();
    const ImVec2 size = ImGui::GetWindowSize();
    ImDrawList* list = ImGui::GetWindowDrawList();

    // Header band.
    const float h = 2.4f * fs;
    list->AddRectFilled(pos, ImVec2(pos.x + size.x, pos.y + h), palette::Panel);
    list->AddLine(ImVec2(pos.x, pos.y + h), ImVec2(pos.x + size.x, pos.y + h), palette::Rule, 1.0f);
    const float textY = pos.y + (h - fs) / 2;
    ui::DrawText(list, bold, ImVec2(pos.x + 0.8f * fs, textY), palette::White, app.game.title);
    const std::string version = "Launcher " + app.game.version;
    const float versionWidth = ImGui::CalcTextSize(version.c_str()).x;
    ui::DrawText(list, nullptr, ImVec2(pos.x + size.x - 0.8f * fs - versionWidth, textY), palette::MutedText,
                 version);

    // Sidebar.
    ImGui::SetCursorScreenPos(ImVec2(pos.x, pos.y + h + 1));
    ImGui::PushStyleColor(ImGuiCol_ChildBg, palette::SidebarBg);
    ImGui::BeginChild("##sections", ImVec2(9.5f * fs, size.y - h - 1), ImGuiChildFlags_None,
                      ImGuiWindowFlags_NoScrollbar);
    ImGui::Dummy(ImVec2(0.0f, 0.3f * fs));
    for (const Section& section : sections) {
        if (ImGui::InvisibleButton(section.label, ImVec2(9.5f * fs, 1.9f * fs))) app.section = section.id;
        const ImVec2 rowMin = ImGui::GetItemRectMin();
        const ImVec2 rowMax = ImGui::GetItemRectMax();
        ImDrawList* rows = ImGui::GetWindowDrawList();
        const bool selected = app.section == section.id;
        if (selected) {
            rows->AddRectFilled(rowMin, rowMax, palette::Selection);
        } else if (ImGui::IsItemHovered()) {
            rows->AddRectFilled(rowMin, rowMax, palette::Panel);
        }
        ui::DrawText(rows, nullptr, ImVec2(rowMin.x + 0.8f * fs, rowMin.y + (1.9f * fs - fs) / 2),
                     selected ? palette::White : palette::Text, section.label);
    }
    ImGui::EndChild();
    ImGui::PopStyleColor();

    // Page.
    ImGui::SetCursorScreenPos(ImVec2(pos.x + 9.5f * fs, pos.y + h + 1));
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(1.2f * fs, 0.8f * fs));
    ImGui::BeginChild("##page", ImVec2(size.x - 9.5f * fs, size.y - h - 1 - 4.4f * fs),
                      ImGuiChildFlags_AlwaysUseWindowPadding);
    switch (app.section) {
    case kSectionLog:
        LogPage(app, fs);
        break;
    case kSectionManage:
        ManagePage(app, bold);
        break;
    case kSectionMusic:
        // A stored music section without the music flag falls back to the Game page.
        if (app.game.music) {
            MusicPage(app, window, bold, error, done);
            break;
        }
        GamePage(app, window, bold, status, error, done);
        break;
    default:
        GamePage(app, window, bold, status, error, done);
        break;
    }
    ImGui::EndChild();
    ImGui::PopStyleVar();

    // Footer band.
    const ImVec2 t(pos.x + 9.5f * fs, pos.y + size.y - 4.4f * fs);
    const float f = size.x - 9.5f * fs;
    list->AddRectFilled(t, ImVec2(pos.x + size.x, pos.y + size.y), palette::Panel);
    list->AddLine(t, ImVec2(t.x + f, t.y), palette::Rule, 1.0f);
    ImGui::SetCursorScreenPos(ImVec2(t.x + 1.2f * fs, t.y + 0.5f * fs));
    ImGui::PushItemWidth(f - 2.4f * fs);
    if (busy) {
        ui::Text(status.title.empty() ? std::string("Starting...") : status.title);
        ImGui::SetCursorScreenPos(ImVec2(t.x + 1.2f * fs, ImGui::GetCursorScreenPos().y));
        const float fraction =
            status.progress >= 0 ? static_cast<float>(status.progress) : -static_cast<float>(ImGui::GetTime());
        ProgressBarAnimated(fraction, f - 2.4f * fs - 5.0f * fs - ImGui::GetStyle().ItemSpacing.x,
                            status.detail.c_str());
        ImGui::SameLine();
        if (ImGui::Button("Stop", ImVec2(5.0f * fs, 0.0f)) && app.builder) app.builder->stop = true;
    } else {
        ui::TextColored(palette::MutedText, "PC port launcher. Everything goes in");
        ImGui::SetCursorScreenPos(ImVec2(t.x + 1.2f * fs, ImGui::GetCursorScreenPos().y));
        ui::TextColored(palette::MutedText, PathUtf8(app.dataDir));
    }
    ImGui::PopItemWidth();
    ImGui::End();
}

}  // namespace launcher
