#pragma once

#include <map>
#include <string>
#include <vector>

namespace launcher {

// What game the launcher serves and where everything for it comes from (game.json).
struct GameDefinition {
    std::string title;
    std::string shortName;
    std::string exe;
    std::string xbe = "default.xbe";
    std::map<std::string, std::string> releases;  // lower-case xbe SHA-1 -> release name
    std::string repo;
    std::string branch = "main";
    std::string version = "dev";  // the launcher's own version; not read from game.json
    std::string toolchain;
    std::string package;
    std::map<std::string, std::string> packages;  // lower-case xbe SHA-1 -> package file name
    bool music = false;
    std::vector<std::string> xbes;
    std::vector<std::string> exes;
    std::map<std::string, std::vector<std::string>> releaseXbes;
};

// Fills `game` from a game.json text; false with one of two sentences in `err`.
bool LoadGameDefinition(const std::string& text, GameDefinition& game, std::string& err);

// The game description built into the launcher.
const std::string& BuiltinGameJson();

// Package mode: the description names a default package or a package table.
bool IsPackageMode(const GameDefinition& game);

}  // namespace launcher
