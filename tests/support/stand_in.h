#pragma once

// The stand-ins for git and cmake (tests/programs/git_stand_in.cpp, cmake_stand_in.cpp), put where the
// launcher looks for its tools, and what they recorded.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace launcher::test {

// One call of a stand-in.
struct StandInCall {
    std::vector<std::string> args;
    std::filesystem::path cwd;
    std::map<std::string, std::string> env;
};

// Copies the stand-in program `name` (e.g. "git_stand_in") to `target` (with the platform's suffix
// already in it).
void InstallStandIn(const std::string& name, const std::filesystem::path& target);
// The calls the stand-in at `program` recorded, in order; clears the record when `clear` is set.
std::vector<StandInCall> StandInCalls(const std::filesystem::path& program, bool clear = false);
// Replaces the stand-in's control file (see tests/programs/stand_in.h); empty text removes it.
void ControlStandIn(const std::filesystem::path& program, const std::string& text);

}  // namespace launcher::test
