#include "support/folder_swap.h"

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher::test {

namespace fs = std::filesystem;

namespace {
const char* const kMoved = "was moved or replaced while the archive was unpacked";
const char* const kLink = ": a link stands in its way";
}  // namespace

const std::vector<std::string>& FolderSwapEntries() {
    static const std::vector<std::string> entries = {"sub/a.txt",        "sub/b.txt",   "sub/deeper/c.txt",
                                                     "sub/deeper/f.txt", "other/d.txt", "sub/e.txt"};
    return entries;
}

std::vector<FolderSwap> FolderSwaps() {
    return {
        {"the folder being written into", "sub", "sub/b.txt", kMoved},
        {"the parent of a folder to come", "sub", "sub/deeper/c.txt", kMoved},
        {"a folder below the one being written into", "sub/deeper", "sub/deeper/f.txt", kMoved},
        {"a folder left before", "sub", "sub/e.txt", kLink},
    };
}

SwapRace::SwapRace(const fs::path& scratch, const std::vector<std::string>& more)
    : scratch_(scratch), users_(scratch / "users") {
    for (const std::vector<std::string>* names : {&FolderSwapEntries(), &more}) {
        for (const std::string& name : *names) WriteFile(users_ / Utf8Path(name).filename(), "mine");
    }
    WriteFile(users_ / "deeper" / "c.txt", "mine");
    WriteFile(users_ / "deeper" / "f.txt", "mine");
    before_ = TreeContents(users_);
}

void SwapRace::SwapBefore(const std::string& entry, const FolderSwap& swap, const fs::path& out) {
    if (entry != swap.before) return;
    fs::rename(out / swap.swapped, scratch_ / "moved");
    EXPECT_TRUE(MakeLink(out / swap.swapped, users_));
}

bool SwapRace::Says(const std::string& err, const FolderSwap& swap) {
    // Wine looks a handle's folder up again by the name it was opened with: there a folder moved while it
    // was held shows as the link that took its place, when the next folder is opened in it.
    if (RunningUnderWine() && (err.find(kMoved) != std::string::npos || err.find(kLink) != std::string::npos)) {
        return true;
    }
    return err.find(swap.reason) != std::string::npos;
}

bool SwapRace::UsersUntouched() const {
    return TreeContents(users_) == before_;
}

}  // namespace launcher::test
