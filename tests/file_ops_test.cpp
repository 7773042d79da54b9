// The link test and the tree removal that every removal in the launcher goes through: links and
// junctions (made the way the system's own tools make them) are removed themselves and never entered.
#include <gtest/gtest.h>

#include <string>

#include "platform/file_ops.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
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

TEST(LinkTest, SeesLinksWithoutFollowingThem) {
    test::TempDir dir;
    MakeUsersFolder(dir / "game");
    test::WriteFile(dir / "file.txt", "x");
    ASSERT_TRUE(test::MakeLink(dir / "assets", dir / "game"));

    EXPECT_TRUE(IsLink(dir / "assets"));
    EXPECT_FALSE(IsLink(dir / "game"));
    EXPECT_FALSE(IsLink(dir / "file.txt"));
    EXPECT_FALSE(IsLink(dir / "missing"));
    EXPECT_FALSE(IsLink(dir / "assets" / "media"));  // inside the linked folder: a plain folder

    EXPECT_TRUE(EntryExists(dir / "assets"));
    EXPECT_TRUE(EntryExists(dir / "file.txt"));
    EXPECT_FALSE(EntryExists(dir / "missing"));
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
            // Wine cannot delete a host link to a folder by any Windows call (it reports the folder behind
            // it as not empty); what matters is that it stops there and deletes nothing behind the link.
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

TEST(RemoveTree, MissingPathCountsAsRemoved) {
    test::TempDir dir;
    std::string err;
    EXPECT_TRUE(RemoveTree(dir / "never there", err)) << err;
    EXPECT_TRUE(RemoveTree(dir / "never there" / "below", err)) << err;
    EXPECT_TRUE(err.empty());
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

TEST(TreeSize, CountsNothingBehindALink) {
    test::TempDir dir;
    test::WriteFile(dir / "users game" / "huge.iso", std::string(5000, 'i'));
    test::WriteFile(dir / "tree" / "a.bin", std::string(100, 'a'));
    test::WriteFile(dir / "tree" / "sub" / "b.bin", std::string(23, 'b'));
    ASSERT_TRUE(test::MakeLink(dir / "tree" / "sub" / "assets", dir / "users game"));

    EXPECT_EQ(TreeSize(dir / "tree"), 123u);
    EXPECT_EQ(TreeSize(dir / "tree" / "a.bin"), 100u);
    EXPECT_EQ(TreeSize(dir / "tree" / "sub" / "assets"), 0u);
    EXPECT_EQ(TreeSize(dir / "missing"), 0u);
}

}  // namespace
}  // namespace launcher
