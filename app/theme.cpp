#include "app/theme.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

#include "build/tools.h"

namespace launcher {

namespace {

ImVec4 Rgba(int r, int g, int b, float a = 1.0f) {
    return ImVec4(r / 255.0f, g / 255.0f, b / 255.0f, a);
}

// Big-endian fields of a font file; every read is checked against the file's end by the caller.
uint32_t U16(const std::string& b, uint64_t at) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 8) | static_cast<unsigned char>(b[at + 1]);
}
uint32_t U32(const std::string& b, uint64_t at) {
    return (U16(b, at) << 16) | U16(b, at + 2);
}

struct Table {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool found = false;
};

// Whether a TrueType (or OpenType) file is whole enough for the font rasteriser, which trusts every
// offset it reads: a damaged file (a truncated copy, say) would otherwise have it read past the end, or
// leave the atlas unbuildable and so take every other font with it. Checks the table directory and the
// tables the rasteriser walks.
bool FontFileLooksWhole(const std::string& b) {
    const uint64_t size = b.size();
    auto fits = [size](uint64_t at, uint64_t n) { return at <= size && n <= size - at; };
    uint64_t base = 0;
    if (!fits(0, 12)) return false;
    if (b.compare(0, 4, "ttcf") == 0) {
        // A collection: the rasteriser takes its first font.
        if (!fits(8, 8) || U32(b, 8) == 0) return false;
        base = U32(b, 12);
        if (!fits(base, 12)) return false;
    }
    const uint32_t version = U32(b, base);
    if (version != 0x00010000u && b.compare(base, 4, "true") != 0 && b.compare(base, 4, "OTTO") != 0) return false;
    const uint32_t count = U16(b, base + 4);
    if (count == 0 || !fits(base + 12, 16ull * count)) return false;

    Table cmap, head, hhea, hmtx, maxp, loca, glyf, cff;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t record = base + 12 + 16ull * i;
        Table t{U32(b, record + 8), U32(b, record + 12), true};
        if (!fits(t.offset, t.length)) return false;
        const std::string tag = b.substr(record, 4);
        if (tag == "cmap") cmap = t;
        else if (tag == "head") head = t;
        else if (tag == "hhea") hhea = t;
        else if (tag == "hmtx") hmtx = t;
        else if (tag == "maxp") maxp = t;
        else if (tag == "loca") loca = t;
        else if (tag == "glyf") glyf = t;
        else if (tag == "CFF ") cff = t;
    }
    if (!cmap.found || !head.found || !hhea.found || !hmtx.found || !maxp.found) return false;
    if (head.length < 54 || hhea.length < 36 || maxp.length < 6 || cmap.length < 4) return false;

    const uint32_t glyphs = U16(b, maxp.offset + 4);
    const uint32_t metrics = U16(b, hhea.offset + 34);
    // Full metrics for the first glyphs, then side bearings alone for the rest.
    if (glyphs == 0 || metrics == 0 || metrics > glyphs || hmtx.length < 4ull * metrics + 2ull * (glyphs - metrics)) {
        return false;
    }

    // Every character map the rasteriser may pick must lie inside "cmap".
    const uint32_t maps = U16(b, cmap.offset + 2);
    if (cmap.length < 4 + 8ull * maps) return false;
    for (uint32_t i = 0; i < maps; ++i) {
        const uint64_t at = U32(b, cmap.offset + 4 + 8ull * i + 4);
        if (at + 4 > cmap.length) return false;
        const uint32_t format = U16(b, cmap.offset + at);
        uint64_t length = 0;
        if (format == 0 || format == 2 || format == 4 || format == 6) {
            length = U16(b, cmap.offset + at + 2);
        } else if (format == 12 || format == 13) {
            if (at + 8 > cmap.length) return false;
            length = U32(b, cmap.offset + at + 4);
        } else {
            continue;  // a map the rasteriser never reads
        }
        if (length < 4 || at + length > cmap.length) return false;
    }

    if (cff.found) return true;  // outlines in CFF: no glyph index to check
    if (!loca.found || !glyf.found) return false;
    const int16_t indexFormat = static_cast<int16_t>(U16(b, head.offset + 50));
    if (indexFormat != 0 && indexFormat != 1) return false;
    const uint64_t entry = indexFormat == 0 ? 2 : 4;
    if (loca.length < entry * (glyphs + 1ull)) return false;
    // Each glyph's outline must begin inside "glyf".
    for (uint64_t g = 0; g <= glyphs; ++g) {
        const uint64_t at = loca.offset + g * entry;
        const uint64_t offset = indexFormat == 0 ? 2ull * U16(b, at) : U32(b, at);
        if (offset > glyf.length) return false;
    }
    return true;
}

// Adds a TrueType file from memory, so that a file that exists but cannot be read, or is damaged, is
// skipped quietly instead of tripping the library's own loader.
ImFont* AddFontFile(const std::filesystem::path& file, float pixels) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return nullptr;
    std::string bytes;
    if (!ReadWholeFile(file, bytes) || bytes.empty() || !FontFileLooksWhole(bytes)) return nullptr;
    // The atlas takes the font's size as an int.
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
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
