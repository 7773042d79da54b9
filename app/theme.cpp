#include "app/theme.h"

#include <cstring>
#include <string>
#include <system_error>

#include "build/tools.h"

namespace launcher {

namespace {

ImVec4 Rgba(int r, int g, int b, float a = 1.0f) {
    return ImVec4(r / 255.0f, g / 255.0f, b / 255.0f, a);
}

// Adds a TrueType file from memory, so that a file that exists but cannot be read is skipped quietly
// instead of tripping the library's own loader.
ImFont* AddFontFile(const std::filesystem::path& file, float pixels) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return nullptr;
    std::string bytes;
    if (!ReadWholeFile(file, bytes) || bytes.empty()) return nullptr;
    void* data = IM_ALLOC(bytes.size());
    std::memcpy(data, bytes.data(), bytes.size());
    // The atlas owns `data` from here on.
    return ImGui::GetIO().Fonts->AddFontFromMemoryTTF(data, static_cast<int>(bytes.size()), pixels);
}

}  // namespace

void ThemeColors(ImGuiStyle& style) {
    style.WindowRounding = 0;
    style.ChildRounding = 0;
    style.PopupRounding = 0;
    style.FrameRounding = 0;
    style.ScrollbarRounding = 0;
    style.GrabRounding = 0;
    style.TabRounding = 0;
    style.WindowBorderSize = 1;
    style.ChildBorderSize = 0;
    style.PopupBorderSize = 1;
    style.FrameBorderSize = 1;

    ImGui::StyleColorsDark(&style);
    ImVec4* c = style.Colors;
    c[ImGuiCol_Text] = Rgba(216, 222, 211);
    c[ImGuiCol_TextDisabled] = Rgba(160, 170, 149);
    c[ImGuiCol_WindowBg] = Rgba(62, 70, 55);
    c[ImGuiCol_ChildBg] = Rgba(0, 0, 0, 0.0f);
    c[ImGuiCol_PopupBg] = Rgba(46, 52, 41);
    c[ImGuiCol_Border] = Rgba(41, 44, 33);
    c[ImGuiCol_BorderShadow] = Rgba(136, 145, 128, 0.35f);
    c[ImGuiCol_FrameBg] = c[ImGuiCol_FrameBgHovered] = c[ImGuiCol_FrameBgActive] = Rgba(40, 45, 35);
    c[ImGuiCol_TitleBg] = c[ImGuiCol_TitleBgActive] = c[ImGuiCol_TitleBgCollapsed] = Rgba(76, 88, 68);
    c[ImGuiCol_ScrollbarBg] = Rgba(40, 45, 35);
    c[ImGuiCol_ScrollbarGrab] = Rgba(76, 88, 68);
    c[ImGuiCol_ScrollbarGrabHovered] = c[ImGuiCol_ScrollbarGrabActive] = Rgba(136, 145, 128);
    c[ImGuiCol_CheckMark] = Rgba(196, 181, 80);
    c[ImGuiCol_Button] = Rgba(76, 88, 68);
    c[ImGuiCol_ButtonHovered] = Rgba(136, 145, 128);
    c[ImGuiCol_ButtonActive] = c[ImGuiCol_Header] = c[ImGuiCol_HeaderHovered] = c[ImGuiCol_HeaderActive] =
        Rgba(149, 136, 49);
    c[ImGuiCol_Separator] = c[ImGuiCol_SeparatorHovered] = c[ImGuiCol_SeparatorActive] = Rgba(41, 44, 33);
    c[ImGuiCol_ResizeGrip] = Rgba(76, 88, 68);
    c[ImGuiCol_ResizeGripHovered] = c[ImGuiCol_ResizeGripActive] = Rgba(196, 181, 80);
    c[ImGuiCol_PlotHistogram] = c[ImGuiCol_PlotHistogramHovered] = Rgba(149, 136, 49);
    c[ImGuiCol_TableHeaderBg] = Rgba(76, 88, 68);
    c[ImGuiCol_TableBorderStrong] = c[ImGuiCol_TableBorderLight] = Rgba(41, 44, 33);
    c[ImGuiCol_TableRowBg] = Rgba(0, 0, 0, 0.0f);
    c[ImGuiCol_TableRowBgAlt] = Rgba(0, 0, 0, 0.12f);
    c[ImGuiCol_NavHighlight] = c[ImGuiCol_NavWindowingHighlight] = Rgba(196, 181, 80);
    c[ImGuiCol_ModalWindowDimBg] = Rgba(0, 0, 0, 0.45f);
}

void ApplyStyle(float scale) {
    ImGuiStyle& style = ImGui::GetStyle();
    style = ImGuiStyle();
    style.WindowPadding = ImVec2(0, 0);
    style.FramePadding = ImVec2(10, 5);
    style.ItemSpacing = ImVec2(8, 6);
    style.ItemInnerSpacing = ImVec2(6, 4);
    style.ScrollbarSize = 14;
    style.GrabMinSize = 12;
    ThemeColors(style);
    style.ScaleAllSizes(scale);
}

ImFont* LoadFonts(const std::filesystem::path& fontsFolder, float scale) {
    ImFontAtlas* atlas = ImGui::GetIO().Fonts;
    if (!fontsFolder.empty()) AddFontFile(fontsFolder / "tahoma.ttf", 15.0f * scale);
    if (atlas->Fonts.empty()) {
        ImFontConfig config;
        config.SizePixels = 13.0f * scale;
        atlas->AddFontDefault(&config);
    }
    ImFont* bold = fontsFolder.empty() ? nullptr : AddFontFile(fontsFolder / "tahomabd.ttf", 15.0f * scale);
    // A file that reads but is no usable font would leave the atlas unbuildable (and the window without
    // any text): start again with the built-in font alone.
    if (!atlas->Build()) {
        atlas->Clear();
        ImFontConfig config;
        config.SizePixels = 13.0f * scale;
        return atlas->AddFontDefault(&config);
    }
    return bold != nullptr ? bold : atlas->Fonts[0];
}

}  // namespace launcher
