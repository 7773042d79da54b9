#pragma once

namespace launcher {

struct App;

// Starts the start-up job on the worker (take-over of another install's game, release check, game
// update check). `takeOver`: the chosen game came from another install and is usable.
void StartStartupJob(App& app, bool takeOver);

}  // namespace launcher
