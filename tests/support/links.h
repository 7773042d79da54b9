#pragma once

#include <filesystem>

namespace launcher::test {

// Makes `link` a symbolic link to the folder or file `target`, the way the system's own tools do: on
// Linux with symlink(); under Wine by running the host's ln, since Wine's own calls make nothing. Inside
// Wine such a link to a folder shows as a reparse point, as a junction does on Windows, and one to a
// file as that file; one to nothing does not show at all, so Wine cannot wait for it. False when no
// link came.
bool MakeLink(const std::filesystem::path& link, const std::filesystem::path& target);

// Removes a test's folder with the system's own tools, for what the launcher's removal rightly leaves:
// under Wine no Windows call deletes a host link to a folder, so the host's rm (which removes links
// themselves, never what they lead to) does. True when nothing is left.
bool RemoveWithHostTools(const std::filesystem::path& path);

}  // namespace launcher::test
