#pragma once

#include <string>

namespace launcher {

struct App;

// The start-up job itself: takes the other install's game over, checks for a newer launcher and for a
// game update. Never fails towards the user: problems are only logged.
bool RunStartupJob(App& app, bool takeOver, std::string& err);

// Starts the start-up job on the worker (take-over of another install's game, release check, game
// update check). `takeOver`: the chosen game came from another install and is usable.
void StartStartupJob(App& app, bool takeOver);

}  // namespace launcher
