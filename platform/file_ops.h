#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace launcher {

// Moves a file to a new name, replacing a file already there; across volumes it copies and removes.
// On failure `err` holds the system's message for the error.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

// The user's game folder is linked into the data folder, and the standard library of the Windows build
// neither sees junctions nor stops at them. Every "is this a link" question and every walk of a tree
// goes through the helpers below, which never follow a link. A path that ends in separators names
// what stands at the path without them: "link/" is the link itself.

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
// A path with a "." or ".." part (or on Windows a bare drive, "Z:") names a folder other than the one
// written, the current one or one further up: it is refused as it stands, before anything is opened.
bool RemoveTree(const std::filesystem::path& path, std::string& err, std::filesystem::path* failedAt = nullptr);

// Sets `bytes` to the size of the regular files below `folder` (or of `folder` itself when it is a
// file). Links, junctions and mounted folders are neither counted nor entered; a path that does not
// exist holds 0 bytes. False when some folder or entry could not be read: then `bytes` holds only what
// could be counted and `err` the system's message for the first error. Paths are refused as by RemoveTree.
bool TreeSize(const std::filesystem::path& folder, uint64_t& bytes, std::string& err);

// A folder opened once without following a link, for working on its entries relative to what was
// opened: whatever is put at its path meanwhile (a link to a folder of the user's, say) is never listed,
// entered or removed through. Once the folder no longer stands at its path, removing or measuring its
// entries fails with "The folder changed while it was being worked on" instead of going on where it went.
// The folders on the way to it are the caller's and are followed, as by RemoveTree. Windows removes no
// folder that is held: let go of it before removing it.
class HeldFolder {
public:
    enum class Found {
        Nothing,  // nothing there
        Folder,   // a folder, held
        Link,     // a link, a junction or a mount point of Windows
        Mounted,  // a folder that another file system is mounted on
        Other     // a file, or something that could not be opened or read
    };

    explicit HeldFolder(const std::filesystem::path& path);
    // The entry `name` (one plain name) of a held folder, opened relative to it.
    HeldFolder(const HeldFolder& parent, const std::filesystem::path& name);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // What stood at the path when it was opened; only a folder is held.
    Found found() const { return found_; }
    const std::filesystem::path& path() const { return path_; }

    // The names of its entries, in the order the listing gives them. False with the system's message
    // when not all could be listed.
    bool List(std::vector<std::filesystem::path>& names, std::string& err) const;
    // RemoveTree and TreeSize for the entry `name` (one plain name) of this folder. `failedAt` is a path
    // below this folder's.
    bool RemoveTree(const std::filesystem::path& name, std::string& err,
                    std::filesystem::path* failedAt = nullptr) const;
    bool TreeSize(const std::filesystem::path& name, uint64_t& bytes, std::string& err) const;

private:
    struct State;
    std::filesystem::path path_;
    Found found_ = Found::Nothing;
    std::unique_ptr<State> state_;
};

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
