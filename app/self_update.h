#pragma once

#include <string>

namespace launcher {

struct App;
struct Release;

// Downloads the release's launcher beside the running one ("<own path>.new") and swaps the two by
// renames, keeping the running one as "<own path>.old". True means the new executable stands at the
// own path and the App's relaunch flag is set; on every failure a working launcher stays at the own path.
bool UpdateLauncher(App& app, const Release& release, std::string& err);

}  // namespace launcher
