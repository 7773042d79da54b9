#pragma once

#include <filesystem>

namespace launcher::test {

// Makes a chain of `depth` folders "subfolder" below `top`, each holding a one-byte file "f". Made
// relative to each folder's handle: the full path is longer than either system (or Wine) takes in one
// piece. False when some of it could not be made.
bool MakeDeepTree(const std::filesystem::path& top, int depth);

}  // namespace launcher::test
