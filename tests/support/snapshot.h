#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace launcher::test {

using Tree = std::map<std::string, std::string>;

// Everything below `folder` as it stands, for telling that nothing outside a walk changed: each entry's
// path relative to `folder` (with "/") mapped to "file <bytes>", "folder" or "link <target>". Links are
// recorded, never entered.
Tree Snapshot(const std::filesystem::path& folder);

// "" when `now` is `before`; else how many entries were lost, added or changed, and the first few.
std::string ChangesSince(const Tree& before, const Tree& now);

}  // namespace launcher::test
