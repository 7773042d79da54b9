#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// Moves a file to a new name, replacing a file already there; across volumes it copies and removes.
// On failure `err` holds the system's message for the error.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

// The user's game folder is linked into the data folder, and the standard library of the Windows build
// neither sees junctions nor stops at them. Every "is this a link" question and every walk of a tree
// goes through the helpers below, which never follow a link. A path that ends in separators or in "."
// names what stands at the path without them: "link/" and "link/." are the link itself.

// True for a symbolic link, a junction or a mount point; the link itself is looked at.
bool IsLink(const std::filesystem::path& path);

// True when anything stands at `path`, a dangling link included.
bool EntryExists(const std::filesystem::path& path);

// Removes `path` with everything below it. A link or junction, at the top or met inside, is removed
// itself and never entered; a folder that another file system is mounted on is neither entered nor
// removed, and counts as a failure. The walk opens each folder once without following anything and
// works relative to what it opened, so a folder that is swapped for a link meanwhile is never entered.
// Write and search rights are added only to folders inside the tree whose entries could not be deleted
// otherwise, and taken back from those that stay. A path that does not exist counts as removed. An entry
// that cannot be removed does not stop the others; on failure `err` holds the system's message for the
// first error and `failedAt`, when given, the entry it happened on, and whatever could be removed is gone.
bool RemoveTree(const std::filesystem::path& path, std::string& err, std::filesystem::path* failedAt = nullptr);

// Sets `bytes` to the size of the regular files below `folder` (or of `folder` itself when it is a
// file). Links, junctions and mounted folders are neither counted nor entered; a path that does not
// exist holds 0 bytes. False when some folder or entry could not be read: then `bytes` holds only what
// could be counted and `err` the system's message for the first error.
bool TreeSize(const std::filesystem::path& folder, uint64_t& bytes, std::string& err);

// Windows: whether an entry with these attributes and this reparse tag is a link. Only name surrogates
// (symbolic links, junctions, mount points) are; OneDrive and other cloud files, deduplicated files and
// other reparse points are ordinary files and folders. A reparse point that shows no tag (Wine shows
// the host's links so) counts as a link.
constexpr bool IsLinkReparsePoint(uint32_t attributes, uint32_t tag) {
    constexpr uint32_t kReparsePoint = 0x400;     // FILE_ATTRIBUTE_REPARSE_POINT
    constexpr uint32_t kNameSurrogate = 0x20000000;  // the bit IsReparseTagNameSurrogate tests
    return (attributes & kReparsePoint) != 0 && (tag == 0 || (tag & kNameSurrogate) != 0);
}

}  // namespace launcher
