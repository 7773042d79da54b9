// The one walk behind RemoveTree and TreeSize on both systems (file_ops_posix.cpp, file_ops_win.cpp).
// Each folder is opened once, relative to its parent's open handle and without following anything, and
// everything below it is listed, opened and deleted relative to that handle, so no path is resolved
// twice and a folder swapped for a link meanwhile is never entered. The walk keeps its own stack (any
// depth, as far as memory goes) and at most kWindow + kCheckpoints handles open: a folder whose handle was
// closed is opened again from the nearest open ancestor, by name, and must be the very folder it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace launcher::tree_walk {

// What an entry is, as far as the walk goes.
enum class Kind {
    File,       // deleted, or counted when regular
    Folder,     // entered
    Link,       // deleted as itself, never entered, never counted
    MountRoot,  // another file system: neither entered, counted nor deleted
    Unreadable  // its type could not be read: `code` says why
};

// `Ops` is the system's side. It provides
//   types Code (0 is success), Name, Dir (an open folder and what the system keeps about it) and Entry
//   (name, kind, size, code and whatever the system needs to open it again);
//   constants kGone (nothing there any more), kChanged (not what was listed) and kMounted, and the
//   handle budget kWindow and kCheckpoints, and kFlattenDepth (see Enter);
//   Code LookUp(Dir& parent, const Name&, Entry&)       the top entry, or an entry again after kChanged
//   Code Open(Dir& parent, const Entry&, Dir& out)      a listed folder, to enter it
//   Code Reopen(Dir& parent, const Name&, Dir& dir)     the same folder again into `dir`, or kChanged
//   Code List(Dir& dir, each)                           calls each(Entry&&) for every entry
//   Code RemoveFile(Dir& parent, const Entry&), RemoveLink(Dir& parent, const Entry&)
//   Code RemoveFolder(Dir& parent, Dir& self, const Name&)   the emptied folder itself
//   void KeepFolder(Dir& self)                           undo what was changed in a folder: one that stays,
//                                                        or one whose handle is closed (the walk changes
//                                                        it again when it needs to)
//   Code MoveUp(Dir& parent, Entry&, Dir& top)           when kFlattenDepth is not 0: moves a folder
//                                                        into the top folder, renaming `entry` to match
//   void Close(Dir&)                                     closes the handle and keeps the rest
template <class Ops>
class TreeWalk {
public:
    using Code = typename Ops::Code;
    using Name = typename Ops::Name;
    using Dir = typename Ops::Dir;
    using Entry = typename Ops::Entry;

    TreeWalk(Ops& ops, bool remove) : ops_(ops), remove_(remove) {}

    // Walks the entry `top` of the open folder `anchor`, which is the walk's to close and is never changed.
    void Run(Dir anchor, const Name& top) {
        frames_.clear();
        frames_.emplace_back();
        frames_[0].dir = std::move(anchor);
        frames_[0].open = true;
        Entry entry;
        const Code code = ops_.LookUp(frames_[0].dir, top, entry);
        if (code == Ops::kGone) {
            // Nothing there: removed, and 0 bytes.
        } else if (code != 0) {
            Fail(0, top, code);
        } else {
            Handle(0, std::move(entry), 1);
            Loop();
        }
        for (size_t at = 0; at < frames_.size(); ++at) {
            if (frames_[at].open) Close(at);
        }
        frames_.clear();
    }

    // Removal: the tree is gone. Size: every byte was counted.
    bool whole() const { return error_ == 0; }
    uint64_t bytes() const { return bytes_; }
    Code error() const { return error_; }
    // The names, below the anchor, of the entry the first error happened on.
    const std::vector<Name>& errorAt() const { return errorAt_; }

private:
    static constexpr size_t kWindow = Ops::kWindow;            // the deepest folders, whose handles stay open
    static constexpr size_t kCheckpoints = Ops::kCheckpoints;  // handles kept further up, evenly spaced

    struct Pending {
        Entry entry;
        int retries;  // how often it may be looked up again when it is not what was listed
    };

    struct Frame {
        Name name;
        Dir dir;
        bool open = false;
        bool failed = false;         // something below stays
        std::vector<Pending> folders;  // listed and still to enter
    };

    void Loop() {
        while (frames_.size() > 1 || !frames_[0].folders.empty()) {
            const size_t at = frames_.size() - 1;
            if (!frames_[at].folders.empty()) {
                if (!EnsureOpen(at)) continue;
                Pending next = std::move(frames_[at].folders.back());
                frames_[at].folders.pop_back();
                Enter(at, std::move(next.entry), next.retries);
            } else if (EnsureOpen(at) && EnsureOpen(at - 1)) {
                // The parent too: its handle is where the emptied folder is deleted.
                Finish(at);
            }
        }
    }

    // An entry listed in frames_[at]: removed or counted at once, or kept to be entered.
    void Handle(size_t at, Entry&& entry, int retries) {
        Code code = 0;
        switch (entry.kind) {
        case Kind::Folder:
            frames_[at].folders.push_back(Pending{std::move(entry), retries});
            return;
        case Kind::File:
            if (!remove_) {
                bytes_ += entry.size;
                return;
            }
            code = ops_.RemoveFile(frames_[at].dir, entry);
            break;
        case Kind::Link:
            if (!remove_) return;
            code = ops_.RemoveLink(frames_[at].dir, entry);
            break;
        case Kind::MountRoot:
            if (remove_) Fail(at, entry.name, Ops::kMounted);
            return;
        case Kind::Unreadable:
            code = entry.code;
            break;
        }
        if (code == Ops::kChanged) {
            LookUpAgain(at, entry.name, retries);
        } else if (code != 0 && code != Ops::kGone) {
            Fail(at, entry.name, code);
        }
    }

    // Something else stands at the name than was listed: it is looked at once more, then given up.
    void LookUpAgain(size_t at, const Name& name, int retries) {
        Entry again;
        const Code code = retries > 0 ? ops_.LookUp(frames_[at].dir, name, again) : Ops::kChanged;
        if (code == Ops::kGone) return;
        if (code != 0) {
            Fail(at, name, code);
        } else {
            Handle(at, std::move(again), retries - 1);
        }
    }

    void Enter(size_t at, Entry&& entry, int retries) {
        if constexpr (Ops::kFlattenDepth > 0) {
            if (remove_ && at >= Ops::kFlattenDepth) {
                // Deep down the folder is first moved up into the top folder, inside the tree still, and
                // removed from there: where each open costs the length of the path (Wine), the walk stays
                // short. A folder that cannot be moved is removed where it is.
                const Code code = ops_.MoveUp(frames_[at].dir, entry, frames_[1].dir);
                if (code == Ops::kGone) return;
                if (code == 0) {
                    frames_[1].folders.push_back(Pending{std::move(entry), retries});
                    return;
                }
            }
        }
        Frame frame;
        const Code code = ops_.Open(frames_[at].dir, entry, frame.dir);
        if (code == Ops::kGone) return;
        if (code == Ops::kChanged) {
            // Only the loop enters folders: a folder found again waits in the list like the others.
            LookUpAgain(at, entry.name, retries);
            return;
        }
        if (code != 0) {
            Fail(at, entry.name, code);
            return;
        }
        frame.name = std::move(entry.name);
        frame.open = true;
        frames_.push_back(std::move(frame));
        const size_t self = frames_.size() - 1;
        const Code listed = ops_.List(frames_[self].dir, [this, self](Entry&& child) {
            Handle(self, std::move(child), 1);
        });
        if (listed != 0 && listed != Ops::kGone) Fail(self, Name(), listed);
        Trim();
    }

    // frames_[at] is empty of everything the walk could remove: it goes itself, or stays with its changes undone.
    void Finish(size_t at) {
        Frame& frame = frames_[at];
        bool failed = frame.failed;
        if (remove_ && !failed) {
            const Code code = ops_.RemoveFolder(frames_[at - 1].dir, frame.dir, frame.name);
            if (code != 0 && code != Ops::kGone) {
                Fail(at - 1, frame.name, code);
                failed = true;
            }
        }
        if (failed) ops_.KeepFolder(frame.dir);
        ops_.Close(frame.dir);
        frames_.pop_back();
        if (failed) frames_[at - 1].failed = true;
        if (low_ > frames_.size()) low_ = frames_.size();
    }

    // Opens frames_[at] again when its handle was closed, walking down from the nearest open ancestor.
    // False when a folder on the way is no longer the one that was entered: then the walk gives up
    // everything below that folder's parent, which keeps the failure.
    bool EnsureOpen(size_t at) {
        if (frames_[at].open) return true;
        size_t from = at;
        while (!frames_[from].open) --from;  // frames_[0] is always open
        for (size_t k = from + 1; k <= at; ++k) {
            Code code = ops_.Reopen(frames_[k - 1].dir, frames_[k].name, frames_[k].dir);
            if (code == 0) {
                frames_[k].open = true;
                // On the way down only the folders that end in the window stay open.
                const size_t passed = k - 1;
                if (passed > from && passed > 1 && passed + kWindow <= at && passed % stride_ != 0) Close(passed);
                continue;
            }
            Fail(k - 1, frames_[k].name, code == Ops::kGone ? Ops::kChanged : code);
            // The folders below stay where they are now, each with its own mode back.
            while (frames_.size() > k) {
                if (frames_.back().open) Close(frames_.size() - 1);
                frames_.pop_back();
            }
            if (low_ > frames_.size()) low_ = frames_.size();
            return false;
        }
        if (low_ > from + 1) low_ = from + 1;
        Trim();
        return true;
    }

    // Closes handles beyond the budget: all but the deepest kWindow folders, the anchor and the top, and
    // the checkpoints every `stride_` levels, whose spacing doubles as the tree gets deeper.
    void Trim() {
        const size_t n = frames_.size();
        while ((n - 1) / stride_ + 1 > kCheckpoints) {
            const size_t old = stride_;
            stride_ *= 2;
            for (size_t k = old; k + kWindow < n; k += old) {
                if (k % stride_ != 0 && frames_[k].open) Close(k);
            }
        }
        while (low_ + kWindow < n) {
            if (low_ > 1 && low_ % stride_ != 0 && frames_[low_].open) Close(low_);
            ++low_;
        }
    }

    // A closed folder keeps nothing the walk changed: whatever happens to the walk afterwards, no
    // folder that stays is left with rights it did not have.
    void Close(size_t at) {
        ops_.KeepFolder(frames_[at].dir);
        ops_.Close(frames_[at].dir);
        frames_[at].open = false;
    }

    // The first failure is the one reported; every failure keeps the folder it happened in.
    void Fail(size_t at, const Name& name, Code code) {
        frames_[at].failed = true;
        if (error_ != 0) return;
        error_ = code;
        errorAt_.clear();
        for (size_t k = 1; k <= at; ++k) errorAt_.push_back(frames_[k].name);
        if (!name.empty()) errorAt_.push_back(name);
    }

    Ops& ops_;
    const bool remove_;
    std::vector<Frame> frames_;  // [0] is the anchor, the top's parent; [1] the top, when it is a folder
    size_t low_ = 2;             // no handle below this index is open but the checkpoints' and [0] and [1]
    size_t stride_ = 8;  // doubles once the checkpoints would be more than kCheckpoints
    uint64_t bytes_ = 0;
    Code error_ = 0;
    std::vector<Name> errorAt_;
};

// Walks the entry `top` of the open folder `anchor` (which it closes) with a fresh `Ops`. False when not
// all went: then `code` is the first error and `at` the names below the anchor where it happened.
template <class Ops>
bool WalkFrom(typename Ops::Dir anchor, const typename Ops::Name& top, bool remove, uint64_t& bytes,
              typename Ops::Code& code, std::vector<typename Ops::Name>& at) {
    Ops ops(remove);
    TreeWalk<Ops> walk(ops, remove);
    walk.Run(std::move(anchor), top);
    bytes = walk.bytes();
    if (walk.whole()) return true;
    code = walk.error();
    at = walk.errorAt();
    return false;
}

}  // namespace launcher::tree_walk
