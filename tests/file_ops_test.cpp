// The link test and the tree walk that every removal and every size in the launcher goes through: links
// and junctions (made the way the system's own tools make them) are removed themselves and never
// entered, mounted folders are left alone, and nothing outside the folder being worked on changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_ops.h"
#include "support/deep_tree.h"
#include "support/links.h"
#include "support/pinned.h"
#include "support/snapshot.h"
#include "support/spawn.h"
#include "support/test_platform.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mount.h>
#include <sys/stat.h>
#endif

namespace launcher {
namespace {

namespace fs = std::filesystem;

// The user's folder that a link leads to, with a few files in it.
void MakeUsersFolder(const fs::path& folder) {
    test::WriteFile(folder / "default.xbe", "xbe");
    test::WriteFile(folder / "media" / "intro.bik", "video");
}

void ExpectUsersFolderWhole(const fs::path& folder) {
    EXPECT_EQ(test::ReadFile(folder / "default.xbe"), "xbe");
    EXPECT_EQ(test::ReadFile(folder / "media" / "intro.bik"), "video");
}

uint64_t SizeOf(const fs::path& path, bool expectWhole = true) {
    uint64_t bytes = 0;
    std::string err;
    EXPECT_EQ(TreeSize(path, bytes, err), expectWhole) << path << ": " << err;
    return bytes;
}

TEST(LinkTest, SeesLinksWithoutFollowingThem) {
    test::TempDir dir;
    MakeUsersFolder(dir / "game");
    test::WriteFile(dir / "file.txt", "x");
    ASSERT_TRUE(test::MakeLink(dir / "assets", dir / "game"));

    EXPECT_TRUE(IsLink(dir / "assets"));
    // A trailing separator or "." names the link too, not the folder it leads to.
    EXPECT_TRUE(IsLink(fs::path((dir / "assets").native() + fs::path::preferred_separator)));
    EXPECT_TRUE(IsLink(dir / "assets" / "."));
    EXPECT_FALSE(IsLink(dir / "game"));
    EXPECT_FALSE(IsLink(dir / "file.txt"));
    EXPECT_FALSE(IsLink(dir / "missing"));
    EXPECT_FALSE(IsLink(dir / "assets" / "media"));  // inside the linked folder: a plain folder

    EXPECT_TRUE(EntryExists(dir / "assets"));
    EXPECT_TRUE(EntryExists(dir / "file.txt"));
    EXPECT_FALSE(EntryExists(dir / "missing"));
}

TEST(LinkTest, OnlyNameSurrogateReparsePointsAreLinks) {
    // Windows' reparse points: only name surrogates lead elsewhere. A synced OneDrive folder or a cloud
    // file is walked, counted and removed like any other.
    constexpr uint32_t kFolder = 0x10;
    constexpr uint32_t kFile = 0x20;
    constexpr uint32_t kReparse = 0x400;
    struct Case {
        const char* name;
        uint32_t attributes;
        uint32_t tag;
        bool link;
    } cases[] = {
        {"junction or volume mount point", kFolder | kReparse, 0xA0000003, true},
        {"symbolic link to a folder", kFolder | kReparse, 0xA000000C, true},
        {"symbolic link to a file", kFile | kReparse, 0xA000000C, true},
        {"WSL symbolic link", kFile | kReparse, 0xA000001D, true},
        {"OneDrive folder", kFolder | kReparse, 0x9000701A, false},
        {"cloud file placeholder", kFile | kReparse, 0x9000001A, false},
        {"deduplicated file", kFile | kReparse, 0x80000013, false},
        {"app execution alias", kFile | kReparse, 0x8000001B, false},
        {"Unix socket", kFile | kReparse, 0x80000023, false},
        {"a host link under Wine (no tag)", kFolder | kReparse, 0, true},
        {"plain folder", kFolder, 0, false},
        {"plain file with a stale tag", kFile, 0xA000000C, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLinkReparsePoint(c.attributes, c.tag), c.link) << c.name;
    }
}

// Something a case keeps up while it runs, undone before its folder goes.
struct Held {
    virtual ~Held() = default;
};

#ifndef _WIN32
// A bind mount of `source` on `target`, undone with the object. `why` says why there is none.
class BindMount : public Held {
public:
    BindMount(const fs::path& source, const fs::path& target) : target_(target) {
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0) {
            mounted_ = true;
        } else {
            why_ = std::string("mount refused here: ") + std::strerror(errno);
        }
    }
    ~BindMount() override {
        if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
    }
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

private:
    fs::path target_;
    bool mounted_ = false;
    std::string why_;
};
#endif

// Every way the walk used to leave its folder, each against a user's folder outside that must stay
// byte for byte as it was.
TEST(RemoveTree, NeverReachesOutsideItsFolder) {
    struct Want {
        bool removed;
        fs::path failedAt;            // relative to the test folder, when the removal fails
        std::vector<fs::path> stays;  // relative to the test folder
        std::vector<fs::path> goes;   // of what the tree holds
        uint64_t size;                // of the top before the removal, counted whole
    };
    using Keep = std::unique_ptr<Held>;
    struct Case {
        const char* name;
        // Makes the case in the test folder; returns the top path to work on, or empty to skip.
        std::function<fs::path(const fs::path& dir, Keep& keep, std::string& skip)> make;
        Want native;
        Want wine;  // where Wine can make the case
    };
    const fs::path tree = "tree";
    const Case cases[] = {
        {"the top is a link",
         [](const fs::path& dir, Keep&, std::string&) {
             return test::MakeLink(dir / "tree", dir / "users game") ? dir / "tree" : fs::path();
         },
         {true, {}, {}, {}, 0},
         {false, tree, {tree}, {}, 0}},
        {"the top is a link with a separator after it",
         [](const fs::path& dir, Keep&, std::string&) {
             return test::MakeLink(dir / "tree", dir / "users game")
                        ? fs::path((dir / "tree").native() + fs::path::preferred_separator)
                        : fs::path();
         },
         {true, {}, {}, {}, 0},
         {false, tree, {tree}, {}, 0}},
        {"a link in the tree to an empty folder of the user's",
         [](const fs::path& dir, Keep&, std::string&) {
             fs::create_directories(dir / "users game" / "empty");
             test::WriteFile(dir / "tree" / "notes.txt", "n");
             return test::MakeLink(dir / "tree" / "saves", dir / "users game" / "empty") ? dir / "tree" : fs::path();
         },
         {true, {}, {}, {}, 1},
         {false, tree / "saves", {tree / "saves"}, {tree / "notes.txt"}, 1}},
        {"a bind mount inside the tree",
         [](const fs::path& dir, Keep& keep, std::string& skip) {
#ifdef _WIN32
             // Tried with a bind mount made by the host: Wine shows it with the volume serial and the file
             // number of the folder it shows, like any folder of that volume, so nothing tells it apart.
             (void)dir;
             (void)keep;
             skip = "Wine does not show a host bind mount as a mount (see the README)";
             return fs::path();
#else
             test::WriteFile(dir / "tree" / "play" / "Starblaze.exe", "exe");
             test::WriteFile(dir / "tree" / "play" / "saves" / "slot1", "save");
             fs::create_directories(dir / "tree" / "play" / "assets");
             auto mount = std::make_unique<BindMount>(dir / "users game", dir / "tree" / "play" / "assets");
             if (!mount->mounted()) {
                 skip = mount->why();
                 return fs::path();
             }
             keep = std::move(mount);
             return dir / "tree";
#endif
         },
         {false,
          tree / "play" / "assets",
          {tree / "play" / "assets"},
          {tree / "play" / "Starblaze.exe", tree / "play" / "saves"},
          7},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        MakeUsersFolder(dir / "users game");
        test::WriteFile(dir / "beside.txt", "beside");
        Keep keep;  // undone before the folder goes
        std::string skip;
        const fs::path top = c.make(dir.path(), keep, skip);
        if (top.empty()) {
            ASSERT_FALSE(skip.empty()) << "the case could not be made";
            std::printf("skipped %s: %s\n", c.name, skip.c_str());
            continue;
        }
        const auto outside = test::Snapshot(dir / "users game");
        const Want& want = test::RunningUnderWine() ? c.wine : c.native;

        EXPECT_EQ(SizeOf(top), want.size);
        std::string err;
        fs::path at;
        const bool removed = RemoveTree(top, err, &at);
        EXPECT_EQ(removed, want.removed) << err;
        if (!want.removed) {
            EXPECT_FALSE(err.empty());
            EXPECT_EQ(at, dir / want.failedAt);
        }
        for (const fs::path& kept : want.stays) EXPECT_TRUE(EntryExists(dir / kept)) << kept;
        for (const fs::path& gone : want.goes) EXPECT_FALSE(EntryExists(dir / gone)) << gone;
        if (want.removed) {
            EXPECT_FALSE(EntryExists(dir / "tree"));
        }
        EXPECT_EQ(test::ChangesSince(outside, test::Snapshot(dir / "users game")), "");
        EXPECT_EQ(test::ReadFile(dir / "beside.txt"), "beside");
    }
}

TEST(RemoveTree, NeverEntersALink) {
    // A folder being removed holds a link to the user's files, at the top and deeper down; the link at the
    // top of a removal is removed itself as well.
    struct Case {
        const char* name;
        const char* linkAt;  // relative to the tree
        bool removeLinkItself;
    } cases[] = {
        {"link in the tree", "assets", false},
        {"link deep in the tree", "a/b/c/assets", false},
        {"the link itself", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        MakeUsersFolder(dir / "users game");
        const fs::path tree = dir / "play";
        fs::path link = c.removeLinkItself ? tree : tree / c.linkAt;
        if (!c.removeLinkItself) {
            test::WriteFile(tree / "Starblaze.exe", "exe");
            test::WriteFile(tree / "a" / "b" / "notes.txt", "n");
        }
        fs::create_directories(link.parent_path());
        ASSERT_TRUE(test::MakeLink(link, dir / "users game"));

        std::string err;
        fs::path at;
        const bool removed = RemoveTree(tree, err, &at);
        if (test::RunningUnderWine()) {
            // Wine cannot delete a host link to a folder by any Windows call (it opens what the link leads
            // to instead); what matters is that it stops there and deletes nothing behind the link.
            EXPECT_FALSE(removed);
            EXPECT_EQ(at.filename(), link.filename());
            EXPECT_FALSE(err.empty());
            // The rest of the tree still goes.
            EXPECT_FALSE(EntryExists(tree / "Starblaze.exe"));
            EXPECT_FALSE(EntryExists(tree / "a" / "b" / "notes.txt"));
        } else {
            EXPECT_TRUE(removed) << err;
            EXPECT_FALSE(EntryExists(tree));
        }
        ExpectUsersFolderWhole(dir / "users game");
    }
}

// The current folder for as long as the object lives.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) : before_(fs::current_path()) { fs::current_path(folder); }
    ~InFolder() { fs::current_path(before_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path before_;
};

TEST(RemoveTree, RefusesATopThatNamesAnotherFolder) {
    // Tops written relative to the current folder whose "." and ".." parts (or, on Windows, a bare drive,
    // and parts that Windows cuts down to nothing) name the current folder, its parent or the folder
    // before the dots. Each is refused as it stands; the rest are names like any other, which stand for
    // nothing here. Nothing anywhere changes.
    test::TempDir dir;
    const fs::path work = dir / "work";
    test::WriteFile(dir / "beside.txt", "beside");
    test::WriteFile(work / "notes.txt", "n");
    test::WriteFile(work / "sub" / "saves" / "slot1", "save");
    MakeUsersFolder(dir / "users game");
    ASSERT_TRUE(test::MakeLink(work / "assets", dir / "users game"));
#ifdef _WIN32
    const bool windows = true;
    const std::string drive = work.root_name().string();  // the current folder's drive, "C:"
#else
    const bool windows = false;
    const std::string drive = "Z:";
#endif
    struct Case {
        std::string top;
        bool refused;
    };
    const Case cases[] = {
        {"..", true},        {".", true},           {"sub/..", true},        {"./", true},
        {"sub/../sub", true}, {"./sub", true},      {"sub/.", true},         {"assets/.", true},
        {drive, windows},    {drive + ".", windows},   {"sub\\..", windows},    {".\\", windows},
        {"...", windows},    {"sub/. .", windows},
    };
    const test::Tree before = test::Snapshot(dir.path());
    InFolder inWork(work);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.top);
        std::string err;
        fs::path at;
        const bool removed = RemoveTree(c.top, err, &at);
        uint64_t bytes = 1;
        std::string sizeErr;
        const bool whole = TreeSize(c.top, bytes, sizeErr);
        EXPECT_EQ(removed, !c.refused) << err;
        EXPECT_EQ(whole, !c.refused) << sizeErr;
        EXPECT_EQ(bytes, 0u);
        if (c.refused) {
            EXPECT_FALSE(err.empty());
            EXPECT_FALSE(sizeErr.empty());
            EXPECT_EQ(at, fs::path(c.top));
        }
        EXPECT_EQ(test::ChangesSince(before, test::Snapshot(dir.path())), "");
    }
}

TEST(RemoveTree, MissingPathCountsAsRemoved) {
    test::TempDir dir;
    std::string err;
    EXPECT_TRUE(RemoveTree(dir / "never there", err)) << err;
    EXPECT_TRUE(RemoveTree(dir / "never there" / "below", err)) << err;
    test::WriteFile(dir / "file.txt", "x");
    EXPECT_TRUE(RemoveTree(dir / "file.txt" / "below", err)) << err;
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(SizeOf(dir / "never there"), 0u);
}

TEST(RemoveTree, RemovesReadOnlyFilesAndSingleFiles) {
    test::TempDir dir;
    test::WriteFile(dir / "tools" / "llvm" / "bin" / "clang.exe", "clang");
    test::WriteFile(dir / "tools" / "llvm" / "LICENSE.txt", "licence");
    fs::permissions(dir / "tools" / "llvm" / "bin" / "clang.exe", fs::perms::owner_read | fs::perms::group_read);
    fs::permissions(dir / "tools" / "llvm" / "LICENSE.txt", fs::perms::owner_read);
    test::WriteFile(dir / "agreed.txt", "https://example.invalid/terms");

    std::string err;
    EXPECT_TRUE(RemoveTree(dir / "agreed.txt", err)) << err;
    EXPECT_FALSE(EntryExists(dir / "agreed.txt"));
    EXPECT_TRUE(RemoveTree(dir / "tools", err)) << err;
    EXPECT_FALSE(EntryExists(dir / "tools"));
}

TEST(RemoveTree, ReportsTheFirstFailureWithTheSystemsMessage) {
#ifdef _WIN32
    test::TempDir dir;
    test::WriteFile(dir / "source" / "out" / "held.obj", "obj");
    test::WriteFile(dir / "source" / "out" / "z.obj", "obj");
    test::WriteFile(dir / "source" / "CMakeLists.txt", "text");
    // Held open without delete sharing, as a running compiler or a virus scanner would.
    HANDLE held = CreateFileW((dir / "source" / "out" / "held.obj").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string err;
    fs::path at;
    EXPECT_FALSE(RemoveTree(dir / "source", err, &at));
    CloseHandle(held);
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(at.filename(), fs::path("held.obj"));
    EXPECT_TRUE(fs::exists(dir / "source" / "out" / "held.obj"));
    // What could go is gone.
    EXPECT_FALSE(fs::exists(dir / "source" / "out" / "z.obj"));
    EXPECT_FALSE(fs::exists(dir / "source" / "CMakeLists.txt"));
#else
    // Tests run as root here, so a file the system itself will not let go of stands in.
    std::string err;
    fs::path at;
    EXPECT_FALSE(RemoveTree("/proc/self/status", err, &at));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(at, fs::path("/proc/self/status"));
#endif
}

TEST(RemoveTree, AFileHeldForAMomentIsTriedAgain) {
#ifndef _WIN32
    GTEST_SKIP() << "no sharing modes or pending deletes here";
#else
    // A virus scanner looks at a file just written and lets it go a moment later; another program has
    // deleted a file but still holds it, so that it stays pending until it lets go.
    struct Case {
        const char* name;
        DWORD access;
        DWORD share;
        bool deleteIt;
    } cases[] = {
        {"held without delete sharing", GENERIC_READ, FILE_SHARE_READ, false},
        {"deleted, still held", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const fs::path file = dir / "downloads" / "cmake" / "cmake.zip";
        test::WriteFile(file, "zip");
        HANDLE held = CreateFileW(file.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        if (c.deleteIt) {
            FILE_DISPOSITION_INFO gone{TRUE};
            ASSERT_TRUE(SetFileInformationByHandle(held, FileDispositionInfo, &gone, sizeof gone));
        }
        std::thread release([held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            CloseHandle(held);
        });
        std::string err;
        const bool removed = RemoveTree(dir / "downloads", err);
        release.join();
        EXPECT_TRUE(removed) << err;
        EXPECT_FALSE(EntryExists(dir / "downloads"));
    }
#endif
}

#ifndef _WIN32
// Runs this same test again in a child started through `wrapper` (setpriv, prlimit) with
// LAUNCHER_TEST_WALK set to `tree`: the child measures and removes it and writes what happened to
// `report`, which the child must be able to write.
// The child runs from a copy of the test binary beside `report` (mode 0755), with its temporary folder
// there too: another user cannot always enter the build folder or TMPDIR (a checkout in a 0700 home),
// but can enter the folders the test makes for it.
std::string WalkInAChild(const std::vector<std::string>& wrapper, const fs::path& tree, const fs::path& report) {
    const testing::TestInfo* self = testing::UnitTest::GetInstance()->current_test_info();
    const fs::path program = report.parent_path() / "walk-child";
    std::error_code ec;
    fs::copy_file("/proc/self/exe", program, fs::copy_options::overwrite_existing, ec);
    if (ec || ::chmod(program.c_str(), 0755) != 0) return "cannot copy the test binary: " + ec.message();
    std::vector<std::string> args(wrapper.begin() + 1, wrapper.end());
    for (const std::string& arg : {std::string("/usr/bin/env"), "LAUNCHER_TEST_WALK=" + tree.string(),
                                   "LAUNCHER_TEST_REPORT=" + report.string(),
                                   "TMPDIR=" + report.parent_path().string(), program.string(),
                                   std::string("--gtest_filter=") + self->test_suite_name() + "." + self->name()}) {
        args.push_back(arg);
    }
    test::Spawned child(wrapper[0], args);
    if (!child.started()) return wrapper[0] + " did not start";
    child.Wait();
    fs::remove(program, ec);
    return test::ReadFile(report);
}

// True when a user who is neither owner nor in the group can reach `path`: every folder on the way
// lets others search it.
bool OthersCanReach(const fs::path& path) {
    for (fs::path at = fs::absolute(path); ; at = at.parent_path()) {
        struct stat st;
        if (::stat(at.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
        if (at == at.parent_path()) return true;
    }
}

// Where a test keeps what another user must reach: the temporary folder, unless it lies in a folder
// closed to others (TMPDIR in a 0700 home), then the system's shared ones.
fs::path ReachableTempBase() {
    for (const fs::path& base : {fs::temp_directory_path(), fs::path("/tmp"), fs::path("/var/tmp")}) {
        if (OthersCanReach(base)) return base;
    }
    return fs::temp_directory_path();
}

// The child's side of WalkInAChild: true when this run is the child.
bool RunAsTheChild() {
    const char* tree = std::getenv("LAUNCHER_TEST_WALK");
    const char* report = std::getenv("LAUNCHER_TEST_REPORT");
    if (tree == nullptr || report == nullptr) return false;
    uint64_t bytes = 0;
    std::string sizeErr;
    const bool whole = TreeSize(tree, bytes, sizeErr);
    std::string err;
    fs::path at;
    const bool removed = RemoveTree(tree, err, &at);
    test::WriteFile(report, "size " + std::to_string(whole) + " " + std::to_string(bytes) + "\nremoved " +
                                std::to_string(removed) + "\nat " + at.string() + "\n");
    return true;
}

mode_t ModeOf(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A test folder that other users can reach, with a folder "home" for what nobody owns and one for the
// child's report.
struct OthersTree {
    OthersTree() : dir(ReachableTempBase()) {
        fs::create_directories(home);
        fs::create_directories(dir / "reports");
    }
    // Gives "home" with everything in it and the report's folder to nobody.
    bool GiveToNobody() {
        return std::system(("chown -R nobody:nogroup '" + home.string() + "' '" + (dir / "reports").string() +
                            "' && chmod 0755 '" + dir.path().string() + "'")
                               .c_str()) == 0;
    }
    // What the child reports after measuring and removing `tree` as nobody, outside every group.
    std::string WalkAsNobody(const fs::path& tree) {
        return WalkInAChild({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, tree,
                            dir / "reports" / "report.txt");
    }
    test::TempDir dir;
    fs::path home = dir / "home";
};
#endif

TEST(RemoveTree, RemovesAndCountsATreeThreeThousandLevelsDeep) {
    constexpr int kDepth = 3000;
#ifndef _WIN32
    if (RunAsTheChild()) return;
#endif
    test::TempDir dir;
    ASSERT_TRUE(test::MakeDeepTree(dir / "deep", kDepth));
#ifndef _WIN32
    // In a child with few descriptors to spare: the walk keeps only a few open, whatever the depth.
    EXPECT_EQ(WalkInAChild({"/usr/bin/prlimit", "--nofile=128"}, dir / "deep", dir / "report.txt"),
              "size 1 " + std::to_string(kDepth) + "\nremoved 1\nat \n");
#else
    uint64_t bytes = 0;
    std::string sizeErr;
    EXPECT_TRUE(TreeSize(dir / "deep", bytes, sizeErr)) << sizeErr;
    EXPECT_EQ(bytes, static_cast<uint64_t>(kDepth));
    std::string err;
    EXPECT_TRUE(RemoveTree(dir / "deep", err)) << err;
#endif
    EXPECT_FALSE(EntryExists(dir / "deep"));
}

TEST(RemoveTree, AFolderSwappedForALinkMeanwhileIsNeverEntered) {
    // Another program renames folders of the tree while it is removed and puts links to the user's
    // folder in their place: the removal deletes the links (or under Wine stops at them), never what
    // they lead to. The user's folder has entries of the same names as the tree's, which a walk that goes
    // by paths would delete through a link. Under Wine each link is made by the host's ln, so there are
    // few swaps there.
    test::TempDir dir;
    const fs::path users = dir / "users";
    constexpr int kFolders = 25;
    constexpr int kFiles = 100;
    for (int j = 0; j < kFiles; ++j) test::WriteFile(users / "sub" / ("f" + std::to_string(j)), "mine");
    for (int i = 0; i < 1000; ++i) test::WriteFile(users / ("song" + std::to_string(i)), "music");
    const auto outside = test::Snapshot(users);
    const fs::path tree = dir / "tree";
    for (int i = 0; i < kFolders; ++i) {
        for (int j = 0; j < kFiles; ++j) {
            test::WriteFile(tree / ("d" + std::to_string(i)) / "sub" / ("f" + std::to_string(j)), "x");
        }
    }
    std::atomic<bool> done{false};
    std::atomic<int> swaps{0};
    std::thread racer([&] {
        std::mt19937 pick(20);
        for (int n = 0; n < 400 && !done; ++n) {
            const fs::path folder = tree / ("d" + std::to_string(pick() % kFolders));
            const bool deeper = pick() % 2 != 0;
            // Never a link of its own making nor below one: that would move the user's folder itself
            // (under Wine even renaming the link does).
            if (IsLink(folder)) continue;
            const fs::path swapped = deeper ? folder / "sub" : folder;
            if (IsLink(swapped)) continue;
            std::error_code ec;
            fs::rename(swapped, tree / ("moved" + std::to_string(n)), ec);
            if (ec) continue;
            if (test::MakeLink(swapped, deeper ? users / "sub" : users)) ++swaps;
        }
    });
    std::string err;
    RemoveTree(tree, err);  // may fail: the moved folders came after the listing
    done = true;
    racer.join();
    std::printf("%d folders swapped for links during the removal\n", swaps.load());
    EXPECT_EQ(test::ChangesSince(outside, test::Snapshot(users)), "");
}

TEST(RemoveTree, MendsRightsOnlyInsideTheTreeAndOnlyWhereNeeded) {
#ifdef _WIN32
    GTEST_SKIP() << "a folder that can be read but not searched is a POSIX matter";
#else
    if (RunAsTheChild()) return;
    // A user's tree (not root's: root needs no rights) with a folder that can be read but not searched,
    // one that cannot even be read, and one without write rights.
    struct Case {
        const char* name;
        mode_t parentMode;
        bool pinned;  // a file that cannot go in the unsearchable folder
        std::string report;
        mode_t lockedModeAfter;  // of tree/locked, when it stays
    } cases[] = {
        {"all of it goes", 0700, false, "size 0 3\nremoved 1\nat \n", 0},
        {"the tree's parent is not writable", 0500, false, "size 0 3\nremoved 0\nat {tree}\n", 0},
        {"a file in it cannot go", 0700, true, "size 0 3\nremoved 0\nat {tree}/locked/pinned\n", 0600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OthersTree others;
        const fs::path home = others.home;
        const fs::path tree = home / "tree";
        test::WriteFile(tree / "top.txt", "t");
        test::WriteFile(tree / "open" / "readme.txt", "r");
        test::WriteFile(tree / "locked" / "a.bin", "aaaa");
        test::WriteFile(tree / "locked" / "inner" / "b.bin", "bb");
        test::WriteFile(tree / "closed" / "c.bin", "c");
        test::WriteFile(tree / "readonly" / "d.bin", "d");
        if (c.pinned) test::WriteFile(tree / "locked" / "pinned", "p");
        ASSERT_TRUE(others.GiveToNobody());
        std::unique_ptr<test::PinnedFile> pin;
        if (c.pinned) {
            pin = std::make_unique<test::PinnedFile>(tree / "locked" / "pinned");
            if (!pin->pinned()) GTEST_SKIP() << pin->why();
        }
        ::chmod((tree / "locked").c_str(), 0600);
        ::chmod((tree / "closed").c_str(), 0000);
        ::chmod((tree / "readonly").c_str(), 0500);
        ::chmod(home.c_str(), c.parentMode);

        std::string want = c.report;
        const size_t at = want.find("{tree}");
        if (at != std::string::npos) want.replace(at, 6, tree.string());
        // What its owner can count without mending rights: the files outside "locked" and "closed".
        EXPECT_EQ(others.WalkAsNobody(tree), want);
        EXPECT_EQ(ModeOf(home), c.parentMode) << "the tree's parent keeps its mode";
        if (c.lockedModeAfter != 0) {
            EXPECT_EQ(ModeOf(tree / "locked"), c.lockedModeAfter) << "a folder that stays gets its mode back";
            EXPECT_EQ(test::ReadFile(tree / "locked" / "pinned"), "p");
        }
        pin.reset();
        ::chmod(home.c_str(), 0700);
    }
#endif
}


TEST(RemoveTree, KeepsTheSetgidBitOfAFolderThatStays) {
#ifdef _WIN32
    GTEST_SKIP() << "modes are a POSIX matter";
#else
    if (RunAsTheChild()) return;
    // A user's folder without write rights whose setgid bit hands its group, one the user is not in, to
    // what is made in it; its own folder cannot be written, so it stays whatever happens. The rights a
    // delete needs cannot be added without losing the bit for good (the system clears it for a caller
    // outside the group, and only a member could set it again): the folder is left as it is.
    OthersTree others;
    const fs::path tree = others.home / "shared";
    test::WriteFile(tree / "notes.txt", "n");
    ASSERT_TRUE(others.GiveToNobody());
    ASSERT_EQ(std::system(("chgrp root '" + tree.string() + "'").c_str()), 0);
    ::chmod(tree.c_str(), 02555);
    ::chmod(others.home.c_str(), 0500);
    EXPECT_EQ(others.WalkAsNobody(tree), "size 1 1\nremoved 0\nat " + (tree / "notes.txt").string() + "\n");
    EXPECT_EQ(ModeOf(tree), 02555u);
    EXPECT_EQ(test::ReadFile(tree / "notes.txt"), "n");
    ::chmod(others.home.c_str(), 0700);
#endif
}

TEST(RemoveTree, FoldersGivenUpAfterAMoveGetTheirModesBack) {
#ifdef _WIN32
    GTEST_SKIP() << "modes are a POSIX matter";
#else
    if (RunAsTheChild()) return;
    // A user's tree deeper than the handles the walk keeps open, each folder without write rights and
    // with files to delete. While the walk goes down, another program moves a folder near the top out
    // of the tree; on its way up the walk cannot open that folder again and gives up everything below
    // it. Every folder it gave rights to, wherever it went, open or closed by then, gets its mode back.
    // The move starts once the walk has emptied levels[kSeen]; thousands of files further down keep the
    // walk busy for far longer than the move takes.
    constexpr size_t kDepth = 48;
    constexpr size_t kMoved = 4;
    constexpr size_t kSeen = 40;
    constexpr int kFiles = 4;
    constexpr int kBottomFiles = 6000;
    OthersTree others;
    const fs::path tree = others.home / "tree";
    std::vector<fs::path> levels;
    for (fs::path level = tree / "d"; levels.size() < kDepth; level /= "d") {
        levels.push_back(level);
        const int files = levels.size() == kDepth ? kBottomFiles : kFiles;
        for (int j = 0; j < files; ++j) test::WriteFile(level / ("f" + std::to_string(j)), "f");
    }
    ASSERT_TRUE(others.GiveToNobody());
    for (const fs::path& level : levels) ::chmod(level.c_str(), 0555);

    const fs::path moved = others.dir / "moved";
    std::atomic<bool> done{false};
    bool moveCameInTime = false;
    std::thread mover([&] {
        while (!done && EntryExists(levels[kSeen] / "f0")) {
        }
        std::error_code ec;
        if (!done) fs::rename(levels[kMoved], moved, ec);
        moveCameInTime = !done && !ec;
    });
    const std::string report = others.WalkAsNobody(tree);
    done = true;
    mover.join();
    ASSERT_TRUE(moveCameInTime) << "the walk was done before the folder could be moved";

    fs::path gaveUp = tree;
    for (size_t k = 0; k <= kMoved; ++k) gaveUp /= "d";
    const size_t files = (kDepth - 1) * kFiles + kBottomFiles;
    EXPECT_EQ(report, "size 1 " + std::to_string(files) + "\nremoved 0\nat " + gaveUp.string() + "\n");
    int kept = 0;
    for (const fs::path& top : {tree, moved}) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top)) {
            if (!entry.is_directory()) continue;
            ++kept;
            EXPECT_EQ(ModeOf(entry.path()), 0555u) << entry.path();
        }
    }
    EXPECT_GT(kept, 0);
#endif
}

TEST(TreeSize, CountsNothingBehindALink) {
    test::TempDir dir;
    test::WriteFile(dir / "users game" / "huge.iso", std::string(5000, 'i'));
    test::WriteFile(dir / "tree" / "a.bin", std::string(100, 'a'));
    test::WriteFile(dir / "tree" / "sub" / "b.bin", std::string(23, 'b'));
    ASSERT_TRUE(test::MakeLink(dir / "tree" / "sub" / "assets", dir / "users game"));

    EXPECT_EQ(SizeOf(dir / "tree"), 123u);
    EXPECT_EQ(SizeOf(dir / "tree" / "a.bin"), 100u);
    EXPECT_EQ(SizeOf(dir / "tree" / "sub" / "assets"), 0u);
    EXPECT_EQ(SizeOf(dir / "missing"), 0u);
}

TEST(HeldFolder, SaysWhatStandsThere) {
    using Found = HeldFolder::Found;
    struct Case {
        const char* name;
        fs::path at;  // relative to the test folder
        Found found;
    };
    test::TempDir dir;
    test::WriteFile(dir / "tools" / "llvm" / "bin" / "clang", "clang");
    test::WriteFile(dir / "agreed.txt", "terms");
    MakeUsersFolder(dir / "users game");
    ASSERT_TRUE(test::MakeLink(dir / "linked", dir / "users game"));
    const Case cases[] = {
        {"nothing", "missing", Found::Nothing},
        {"nothing, below nothing", fs::path("missing") / "below", Found::Nothing},
        {"a folder", "tools", Found::Folder},
        {"a link", "linked", Found::Link},
        {"a file", "agreed.txt", Found::Other},
        {"a path with dots", fs::path("tools") / "..", Found::Other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HeldFolder held(dir / c.at);
        EXPECT_EQ(held.found(), c.found);
        // Only a held folder has entries to work on; nothing holds nothing, and the rest are no folders.
        const bool usable = c.found == Found::Folder || c.found == Found::Nothing;
        std::vector<fs::path> names;
        std::string err;
        EXPECT_EQ(held.List(names, err), usable) << err;
        EXPECT_EQ(names.size(), c.found == Found::Folder ? 1u : 0u);
        EXPECT_EQ(held.RemoveTree("llvm", err), usable) << err;
        uint64_t bytes = 0;
        EXPECT_EQ(held.TreeSize("llvm", bytes, err), usable) << err;
    }
    ExpectUsersFolderWhole(dir / "users game");
    EXPECT_FALSE(EntryExists(dir / "tools" / "llvm"));

    // An entry of a held folder, opened relative to it.
    test::WriteFile(dir / "tools" / "cmake" / "bin" / "cmake", "cmake");
    test::WriteFile(dir / "tools" / "cmake" / ".launcher-stamp", "stamp");
    const HeldFolder tools(dir / "tools");
    std::string err;
    {
        const HeldFolder cmake(tools, "cmake");
        EXPECT_EQ(cmake.found(), Found::Folder);
        EXPECT_EQ(cmake.path(), dir / "tools" / "cmake");
        EXPECT_EQ(HeldFolder(tools, "..").found(), Found::Other);
        EXPECT_EQ(HeldFolder(tools, "missing").found(), Found::Nothing);
        uint64_t bytes = 0;
        EXPECT_TRUE(cmake.TreeSize("bin", bytes, err)) << err;
        EXPECT_EQ(bytes, 5u);
        EXPECT_TRUE(cmake.RemoveTree(".launcher-stamp", err)) << err;
        EXPECT_FALSE(EntryExists(dir / "tools" / "cmake" / ".launcher-stamp"));
        EXPECT_FALSE(cmake.RemoveTree(fs::path("bin") / "cmake", err)) << "one plain name only";
    }
    EXPECT_TRUE(tools.RemoveTree("cmake", err)) << err;
    EXPECT_FALSE(EntryExists(dir / "tools" / "cmake"));
}

TEST(HeldFolder, NeverWorksThroughWhatTookItsPlace) {
    // A tools folder is held; then something else takes its place: a link to a folder of the user's with
    // the same layout, nothing, or a new folder of the same name. Its entries are no longer removed or
    // measured, neither there nor where the folder went, and the user's folder stays as it was.
    struct Case {
        const char* name;
        std::function<bool(const fs::path& tools, const fs::path& users)> take;
    };
    const Case cases[] = {
        {"a link to the user's folder", [](const fs::path& tools, const fs::path& users) {
             return test::MakeLink(tools, users);
         }},
        {"nothing", [](const fs::path&, const fs::path&) { return true; }},
        {"a new folder", [](const fs::path& tools, const fs::path&) {
             test::WriteFile(tools / "llvm" / "bin" / "clang", "new clang");
             return true;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const fs::path tools = dir / "data" / "tools";
        const fs::path users = dir / "users";
        for (const fs::path& folder : {tools, users}) {
            test::WriteFile(folder / "llvm" / "bin" / "clang", std::string(10, 'c'));
            test::WriteFile(folder / "cmake" / "bin" / "cmake", std::string(20, 'm'));
            test::WriteFile(folder / "ninja" / "ninja", std::string(30, 'n'));
        }
        const test::Tree mine = test::Snapshot(users);
        {
            const HeldFolder held(tools);
            ASSERT_EQ(held.found(), HeldFolder::Found::Folder);
            std::string err;
            ASSERT_TRUE(held.RemoveTree("ninja", err)) << err;
            std::vector<fs::path> names;
            ASSERT_TRUE(held.List(names, err)) << err;
            EXPECT_EQ(names.size(), 2u);

            fs::rename(tools, dir / "data" / "moved");
            ASSERT_TRUE(c.take(tools, users));
            const test::Tree there = test::Snapshot(dir / "data");
            fs::path at;
            EXPECT_FALSE(held.RemoveTree("llvm", err, &at));
            EXPECT_EQ(err, "The folder changed while it was being worked on");
            EXPECT_EQ(at, tools);
            uint64_t bytes = 1;
            EXPECT_FALSE(held.TreeSize("cmake", bytes, err));
            EXPECT_EQ(bytes, 0u);
            EXPECT_EQ(test::ChangesSince(mine, test::Snapshot(users)), "");
            EXPECT_EQ(test::ChangesSince(there, test::Snapshot(dir / "data")), "");
            // What is held is still what it lists.
            EXPECT_TRUE(held.List(names, err)) << err;
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (std::vector<fs::path>{"cmake", "llvm"}));
        }
        ASSERT_TRUE(test::RemoveWithHostTools(dir / "data"));
    }
}

}  // namespace
}  // namespace launcher
