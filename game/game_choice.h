#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "game/game_definition.h"

namespace launcher {

// The result of choosing the game's copy.
struct SelectedGame {
    bool ok = false;       // a known release (and, for a folder, the rest of the disc is there)
    bool isImage = false;  // disc image (true) or folder (false)
    std::string release;   // the release's display name, when ok
    std::string sha1;      // SHA-1 of the main xbe, once it was read
    std::string message;   // why the copy is not usable; empty when ok
    std::filesystem::path path;
};

SelectedGame ChooseGame(const GameDefinition& game, const std::filesystem::path& chosen);
bool ReadXbe(const std::string& name, const SelectedGame& copy, std::vector<unsigned char>& bytes,
             std::string& err);
bool ReadXbe(const GameDefinition& game, const SelectedGame& copy, std::vector<unsigned char>& bytes,
             std::string& err);

}  // namespace launcher
