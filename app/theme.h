#pragma once

#include <filesystem>

#include "imgui.h"

namespace launcher {

// Resets the current style, sets the launcher's sizes and colours, then scales every size by `scale`
// (the window's DPI / 96).
void ApplyStyle(float scale);
// Square corners, thin borders and the green-grey colours over the dark preset.
void ThemeColors(ImGuiStyle& style);
// Adds Tahoma (regular, then bold) from `fontsFolder` at 15 px × scale, or the built-in font at 13 px × scale
// when the regular file is not there; returns the bold font, or the first font when there is no bold one.
ImFont* LoadFonts(const std::filesystem::path& fontsFolder, float scale);

}  // namespace launcher
