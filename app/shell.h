#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// UTF-16 text: what Windows calls take (wchar_t is 16 bits there).
#ifdef _WIN32
using WideText = std::wstring;
#else
using WideText = std::u16string;
#endif

// The modal picker for the game's copy (folder mode: a folder; else a disc image or default.xbe).
// `title` is used in folder mode only; null gives the default title. An empty path when the user cancels
// or anything fails. `owner` is the native window (HWND on Windows), may be null.
std::filesystem::path PickPath(void* owner, bool folderMode, const WideText* title);
// Opens a web address, file or folder with its default program; nothing is reported.
void OpenInShell(const std::string& utf8);
void OpenPathInShell(const std::filesystem::path& path);
// Free bytes for the caller on the volume that holds `path`, or would hold it once created; 0 when unknown.
uint64_t FreeSpaceOf(const std::filesystem::path& path);
WideText WidenUtf8(const std::string& utf8);

}  // namespace launcher
