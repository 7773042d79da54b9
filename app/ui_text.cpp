#include "app/ui_text.h"

#include "imgui_internal.h"

namespace launcher::ui {

namespace {

// In the test copy of Dear ImGui the texts go to the test engine's log hook, tagged so that the recorder
// can tell them from the library's own log lines. The product build compiles this away.
void Record(ImU32 color, const std::string& text) {
#ifdef IMGUI_ENABLE_TEST_ENGINE
    ImGuiContext& g = *GImGui;
    IMGUI_TEST_ENGINE_LOG("\x1fui-text\x1f%08X\x1f%s", static_cast<unsigned>(color), text.c_str());
#else
    (void)color;
    (void)text;
#endif
}

ImU32 CurrentTextColor() {
    return ImGui::GetColorU32(ImGuiCol_Text);
}

}  // namespace

void Text(const std::string& text) {
    Record(CurrentTextColor(), text);
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
}

void TextColored(ImU32 color, const std::string& text) {
    Record(color, text);
    ImGui::PushStyleColor(ImGuiCol_Text, color);
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
    ImGui::PopStyleColor();
}

void TextWrapped(const std::string& text) {
    Record(CurrentTextColor(), text);
    ImGui::PushTextWrapPos(0.0f);
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
    ImGui::PopTextWrapPos();
}

void TextWrappedColored(ImU32 color, const std::string& text) {
    ImGui::PushStyleColor(ImGuiCol_Text, color);
    TextWrapped(text);
    ImGui::PopStyleColor();
}

void DrawText(ImDrawList* list, ImFont* font, ImVec2 pos, ImU32 color, const std::string& text) {
    Record(color, text);
    if (font == nullptr) font = ImGui::GetFont();
    list->AddText(font, font->FontSize, pos, color, text.data(), text.data() + text.size());
}

}  // namespace launcher::ui
