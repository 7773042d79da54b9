// The extraction race of the zip and tar.xz tests: another program swaps a folder below the destination
// for a link to the user's folder (which holds files of the same names) between two entries.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace launcher::test {

struct FolderSwap {
    const char* name;
    const char* swapped;  // below the destination
    const char* before;   // the entry before which it is swapped
    const char* reason;   // what the failure says
};

// The entries of the race's archive, in order.
const std::vector<std::string>& FolderSwapEntries();
// The swaps: of folders held open (noticed when they are let go) and of one met anew (noticed when it is
// opened), each before one of FolderSwapEntries().
std::vector<FolderSwap> FolderSwaps();

// The user's folder below `scratch`, holding files of the entries' names and of `more`.
class SwapRace {
public:
    SwapRace(const std::filesystem::path& scratch, const std::vector<std::string>& more = {});
    // Moves the destination's folder away and puts a link to the user's folder in its place, when
    // `entry` is the one the swap comes before.
    void SwapBefore(const std::string& entry, const FolderSwap& swap, const std::filesystem::path& out);
    // Whether the extraction's failure says what the swap calls for.
    static bool Says(const std::string& err, const FolderSwap& swap);
    // The user's folder is as it was.
    bool UsersUntouched() const;

private:
    std::filesystem::path scratch_;
    std::filesystem::path users_;
    std::map<std::string, std::string> before_;
};

}  // namespace launcher::test
