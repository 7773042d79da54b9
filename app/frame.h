#pragma once

#include <filesystem>
#include <string>

#include "app/status.h"
#include "imgui.h"

namespace launcher {

struct App;

// The colours the pages draw with directly (the style colours are the theme's).
namespace palette {
inline constexpr ImU32 Accent = IM_COL32(196, 181, 80, 255);
inline constexpr ImU32 Selection = IM_COL32(149, 136, 49, 255);
inline constexpr ImU32 Panel = IM_COL32(76, 88, 68, 255);
inline constexpr ImU32 Rule = IM_COL32(41, 44, 33, 255);
inline constexpr ImU32 SoftRule = IM_COL32(136, 145, 128, 96);
inline constexpr ImU32 MutedText = IM_COL32(160, 170, 149, 255);
inline constexpr ImU32 Text = IM_COL32(216, 222, 211, 255);
inline constexpr ImU32 White = IM_COL32(255, 255, 255, 255);
inline constexpr ImU32 SidebarBg = IM_COL32(46, 52, 41, 255);
inline constexpr ImU32 WellBg = IM_COL32(40, 45, 35, 255);
inline constexpr ImU32 ErrorText = IM_COL32(235, 130, 105, 255);
inline constexpr ImU32 DoneText = IM_COL32(150, 200, 120, 255);
}  // namespace palette

// Section ids of the sidebar (App::section).
inline constexpr int kSectionGame = 0;
inline constexpr int kSectionMusic = 1;
inline constexpr int kSectionManage = 2;
inline constexpr int kSectionLog = 3;

// The whole interface for one frame, between the library's new-frame and render calls. `window` is the
// native window handle the pickers are owned by; `bold` the font LoadFonts returned.
void DrawUI(App& app, void* window, ImFont* bold);

// Page widgets shared by every page.
void SectionHeading(const char* text, ImFont* font);
void ErrorNote(App& app, const std::string& error, const std::string& done, const char* buttonLabel);
void TableRowText(const std::string& label, const std::string& value);

// The Game page (game_page.cpp) and its parts.
void GamePage(App& app, void* window, ImFont* bold, const Status& status, const std::string& error,
              const std::string& done);
void InstallSection(App& app, ImFont* bold, const Status& status, const std::string& error,
                    const std::string& done);
// state: 0 to do, 1 under way, 2 done. `status`, when given, supplies the right-hand text.
void StepRow(int state, const char* label, const std::string& hint, const Status* status);

// The Manage and Your music pages (manage_pages.cpp). The music page shows the last job's outcome only
// while it belongs to a music import.
void ManagePage(App& app, ImFont* bold);
void MusicPage(App& app, void* window, ImFont* bold, const std::string& error, const std::string& done);
// Marks the next outcome as the music page's and starts the import of `folder`; what both music buttons do.
void StartMusicImport(App& app, const std::filesystem::path& folder);

}  // namespace launcher
