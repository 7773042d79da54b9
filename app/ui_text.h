#pragma once

#include <string>

#include "imgui.h"

namespace launcher::ui {

// The pages draw every text through these, so that a test build can see what a frame shows: Dear ImGui
// reports buttons and check boxes to its item hooks, but not plain texts.

void Text(const std::string& text);
void TextColored(ImU32 color, const std::string& text);
// Word-wrapped at the end of the content region.
void TextWrapped(const std::string& text);
void TextWrappedColored(ImU32 color, const std::string& text);
// Text placed on a draw list at a screen position; `font` null means the current font.
void DrawText(ImDrawList* list, ImFont* font, ImVec2 pos, ImU32 color, const std::string& text);

}  // namespace launcher::ui
