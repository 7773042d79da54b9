#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// Moves a file to a new name, replacing a file already there; across volumes it copies and removes.
// On failure `err` holds the system's message for the error.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

// The user's game folder is linked into the data folder, and the standard library of the Windows build
// neither sees junctions nor stops at them. Every "is this a link" question and every removal of a tree
// goes through the helpers below, which never follow a link.

// True for a symbolic link, a junction or any other reparse point; the link itself is looked at.
bool IsLink(const std::filesystem::path& path);

// True when anything stands at `path`, a dangling link included.
bool EntryExists(const std::filesystem::path& path);

// Removes `path` with everything below it. A link or junction, at the top or met inside, is removed
// itself and never entered. Read-only files and folders are made writable where the delete needs it.
// A path that does not exist counts as removed. An entry that cannot be removed does not stop the
// others; on failure `err` holds the system's message for the first error and `failedAt`, when given, the
// entry it happened on, and whatever could be removed is gone.
bool RemoveTree(const std::filesystem::path& path, std::string& err, std::filesystem::path* failedAt = nullptr);

// Bytes of the regular files below `folder` (or of `folder` itself when it is a file). Links and
// junctions are neither counted nor entered; what cannot be read counts nothing.
uint64_t TreeSize(const std::filesystem::path& folder);

}  // namespace launcher
