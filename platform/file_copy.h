#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// Copies a file over `to`, replacing a file already there (the Windows build's standard library refuses
// to replace one). Fails when the file there is held open, as a running program's is. On failure `err`
// holds the system's message.
bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err);

// The folder an archive is unpacked into, written only relative to open folder handles. Each folder on an
// entry's way is opened relative to the one above it without following a link (and made when missing),
// and kept open for the entries below it, so a folder swapped for a link after it was opened is never
// written into; a link standing on the way fails the file. A kept folder is looked at once more when it
// is let go (when an entry leaves it, and at Finish): one that no longer stands at its place was moved or
// swapped meanwhile, and that fails the run.
// A file is created new and exclusively where nothing stands at its place; only a file that replaces an
// entry (a file, a link, a hard link sharing its data with a file elsewhere) is written under a temporary
// name beside it and renamed over it, so what stood there is replaced and never written through. An
// unfinished file is removed when it is discarded or the object goes. Names are '/'-separated UTF-8 paths
// below the root that passed IsSafeEntryPath; errors are the system's reasons.
class UnpackTree {
public:
    UnpackTree() = default;
    explicit UnpackTree(std::filesystem::path root) : root_(std::move(root)) {}
    UnpackTree(const UnpackTree&) = delete;
    UnpackTree& operator=(const UnpackTree&) = delete;
    ~UnpackTree();

    // The folder everything goes below (made when missing); set before the first file.
    void SetRoot(const std::filesystem::path& root) { root_ = root; }
    const std::filesystem::path& Root() const { return root_; }

    // Starts an empty file at `name`.
    bool Open(const std::string& name, std::string& err);
    // Starts the file at `name` as a copy of the file `source` of this tree (reached the same way, without
    // following links), its permissions included.
    bool OpenCopy(const std::string& source, const std::string& name, std::string& err);
    bool Write(const void* data, size_t n, std::string& err);
    // Closes the file, adds `executeBits` (the 0111 bits of a mode; nothing on Windows) to its permissions
    // and, when it was written under a temporary name, renames it over what stands at its place. The file
    // is no longer the object's afterwards, whatever the result.
    bool Commit(uint32_t executeBits, std::string& err);
    // Closes and removes a file not committed; nothing when none is open.
    void Discard();
    // Lets go of every kept folder; false with `err` set when one was moved or swapped meanwhile.
    bool Finish(std::string& err);

    bool Busy() const { return file_ != kNone; }
    // The root joined with the name of the file being written, or last started.
    const std::filesystem::path& Target() const { return target_; }

private:
    static constexpr intptr_t kNone = -1;
    // An open folder below the root and who it is.
    struct Level {
        std::string name;
        intptr_t handle = kNone;
        uint64_t device = 0;
        uint64_t id = 0;
    };

    // Opens the folders of `name` (all but its last component) into levels_, keeping the ones it shares
    // with the entry before; false with the reason.
    bool Enter(const std::string& name, std::string& err);
    // Lets go of the deepest kept folders until `keep` stay; false with the reason when one was moved.
    bool Leave(size_t keep, std::string& err);
    intptr_t Folder() const { return levels_.empty() ? root_handle_ : levels_.back().handle; }
    bool Create(const std::string& name, const std::string* source, std::string& err);

    // The system's side, in file_copy_posix.cpp and file_copy_win.cpp.
    bool OpenRoot(std::string& err);
    static bool OpenLevel(intptr_t parent, Level& level, bool make, std::string& err);
    static bool StillInPlace(intptr_t parent, const Level& level);
    static void CloseHandleOf(intptr_t handle);
    // Opens the existing file `source` (its folders from the root, links not followed) for reading.
    bool OpenSource(const std::string& source, intptr_t& handle, std::string& err);
    bool MakeFile(intptr_t folder, const std::string& leaf, intptr_t source, std::string& err);
    bool PutInPlace(uint32_t executeBits, std::string& err);
    void RemoveUnfinished();

    std::filesystem::path root_;
    intptr_t root_handle_ = kNone;
    std::vector<Level> levels_;
    std::filesystem::path target_;
    std::string leaf_;       // the file's own name in its folder
    std::string temporary_;  // its temporary name there, when it replaces an entry; else empty
    intptr_t file_ = kNone;  // a file descriptor, or a Windows file handle
};

}  // namespace launcher
