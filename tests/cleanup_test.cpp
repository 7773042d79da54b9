// Removing build files and leftovers against real folders that hold links to the user's own files (made
// the way the system's tools make them): a link goes as itself, and nothing behind it is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "build/builder.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/links.h"
#include "support/pinned.h"
#include "support/snapshot.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// A data folder in package mode (or build mode) and a folder of the user's that links may lead to.
class Cleanup : public ::testing::Test {
protected:
    void SetUp() override {
        test::WriteFile(users_ / "default.xbe", "xbe");
        test::WriteFile(users_ / "media" / "intro.bik", "video");
        MakeBuilder(true);
    }

    void MakeBuilder(bool packageMode) {
        GameDefinition game;
        game.exe = "Starblaze";
        if (packageMode) game.package = "Starblaze-package.zip";
        builder_ = std::make_unique<Builder>(game, root_, nullptr, platform_.get());
        builder_->logSink = [this](const std::string& line) {
            logged_.push_back(line);
            if (onLog_) onLog_(line);
        };
    }

    // What earlier versions left: a build tool, the converter that stays, the source, the downloads and
    // the consent file. 100 + 20 + 30 + 12 bytes count; the converter does not.
    void MakeLeftovers() {
        test::WriteFile(root_ / "tools" / "llvm" / "bin" / "clang", std::string(100, 'c'));
        test::WriteFile(root_ / "tools" / "FFmpeg" / "bin" / "ffmpeg", std::string(50, 'f'));
        test::WriteFile(root_ / "source" / "CMakeLists.txt", std::string(20, 's'));
        test::WriteFile(root_ / "downloads" / "llvm.tar.xz", std::string(30, 'd'));
        test::WriteFile(root_ / "agreed.txt", "https://x.y/");
    }
    std::vector<fs::path> LeftoverList() const {
        return {root_ / "tools" / "llvm", root_ / "source", root_ / "downloads", root_ / "agreed.txt"};
    }

    void ExpectUsersFilesWhole() {
        EXPECT_EQ(test::ReadFile(users_ / "default.xbe"), "xbe");
        EXPECT_EQ(test::ReadFile(users_ / "media" / "intro.bik"), "video");
    }

    test::TempDir dir_;
    fs::path root_ = dir_ / "data";
    fs::path users_ = dir_ / "users game";
    std::unique_ptr<Platform> platform_ = std::make_unique<test::TestPlatform>();
    std::unique_ptr<Builder> builder_;
    std::vector<std::string> logged_;
    std::function<void(const std::string&)> onLog_;
};

TEST_F(Cleanup, LeftoversLoseTheirLinksAndNothingBehindThem) {
    struct Case {
        const char* name;
        fs::path link;   // relative to the data folder
        size_t stopsAt;  // under Wine: the leftover whose removal meets the link
    };
    const Case cases[] = {
        {"a link in a build tool's folder", fs::path("tools") / "llvm" / "lib" / "assets", 0},
        {"a link in the source", fs::path("source") / "game", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A data folder per case: under Wine the last case's link cannot be removed.
        test::TempDir fresh;
        root_ = fresh / "data";
        MakeBuilder(true);
        logged_.clear();
        std::string err;
        MakeLeftovers();
        fs::create_directories((root_ / c.link).parent_path());
        ASSERT_TRUE(test::MakeLink(root_ / c.link, users_));

        ASSERT_EQ(builder_->LeftoverBuildFiles(), LeftoverList());
        EXPECT_EQ(builder_->LeftoverBuildFilesSize(), 100u + 20u + 30u + 12u) << "nothing behind the link counts";

        const bool removed = builder_->RemoveLeftoverBuildFiles(err);
        ExpectUsersFilesWhole();
        EXPECT_EQ(test::ReadFile(root_ / "tools" / "FFmpeg" / "bin" / "ffmpeg"), std::string(50, 'f'));
        const std::vector<fs::path> list = LeftoverList();
        if (test::RunningUnderWine()) {
            // No Windows call can delete a host link to a folder under Wine: the job stops there, with the
            // earlier leftovers removed and the later ones as they were.
            EXPECT_FALSE(removed);
            const std::string sentence = "Could not remove " + PathUtf8(list[c.stopsAt]) + ": ";
            EXPECT_EQ(err.rfind(sentence, 0), 0u) << err;
            EXPECT_GT(err.size(), sentence.size()) << "the system's text follows";
            std::vector<std::string> expected;
            for (size_t i = 0; i < c.stopsAt; ++i) expected.push_back("removed " + PathUtf8(list[i]));
            EXPECT_EQ(logged_, expected);
            for (size_t i = c.stopsAt + 1; i < list.size(); ++i) EXPECT_TRUE(EntryExists(list[i])) << list[i];
        } else {
            EXPECT_TRUE(removed) << err;
            std::vector<std::string> expected;
            for (const fs::path& path : list) {
                expected.push_back("removed " + PathUtf8(path));
                EXPECT_FALSE(EntryExists(path)) << path;
            }
            EXPECT_EQ(logged_, expected);
            EXPECT_TRUE(builder_->LeftoverBuildFiles().empty());
            EXPECT_EQ(builder_->LeftoverBuildFilesSize(), 0u);
        }
    }
}

TEST_F(Cleanup, AToolsFolderThatIsALinkIsOneLeftoverOfItsOwn) {
    // "tools" leads to a folder of the user's, which has an "ffmpeg" of its own: the link is the leftover,
    // with nothing of what it leads to listed, counted or removed.
    test::WriteFile(users_ / "ffmpeg" / "ffmpeg.exe", "the user's own");
    test::WriteFile(root_ / "downloads" / "llvm.tar.xz", std::string(30, 'd'));
    ASSERT_TRUE(test::MakeLink(root_ / "tools", users_));
    const test::Tree outside = test::Snapshot(users_);

    ASSERT_EQ(builder_->LeftoverBuildFiles(), (std::vector<fs::path>{root_ / "tools", root_ / "downloads"}));
    bool whole = false;
    EXPECT_EQ(builder_->LeftoverBuildFilesSize(&whole), 30u);
    EXPECT_TRUE(whole);

    std::string err;
    const bool removed = builder_->RemoveLeftoverBuildFiles(err);
    EXPECT_EQ(test::ChangesSince(outside, test::Snapshot(users_)), "");
    if (test::RunningUnderWine()) {
        // No Windows call removes a host link under Wine: the job stops at it and deletes nothing.
        EXPECT_FALSE(removed);
        EXPECT_EQ(err.rfind("Could not remove " + PathUtf8(root_ / "tools") + ": ", 0), 0u) << err;
        EXPECT_TRUE(EntryExists(root_ / "downloads"));
    } else {
        EXPECT_TRUE(removed) << err;
        EXPECT_EQ(logged_, (std::vector<std::string>{"removed " + PathUtf8(root_ / "tools"),
                                                     "removed " + PathUtf8(root_ / "downloads")}));
        EXPECT_FALSE(EntryExists(root_ / "tools"));
    }
}

TEST_F(Cleanup, AToolsFolderSwappedForALinkMidwayIsNeverEmptiedThrough) {
    // Earlier versions left 40 build tools; the user's own folder has the same layout. While the job
    // removes them, another program moves "tools" away and puts a link to the user's folder in its place.
    // Nothing of the user's is removed, and the job says it is done only when every tool it listed went.
    constexpr int kTools = 40;
    struct Case {
        const char* name;
        int swapAfter;  // tools removed before the swap
    };
    const Case cases[] = {{"after the first tool", 1}, {"after the last tool", kTools}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        root_ = fresh / "data";
        const fs::path users = fresh / "users";
        MakeBuilder(true);
        logged_.clear();
        for (const fs::path& folder : {root_ / "tools", users}) {
            for (int i = 0; i < kTools; ++i) {
                test::WriteFile(folder / ("tool" + std::to_string(i)) / "bin" / "tool.exe", "program");
            }
        }
        test::WriteFile(root_ / "tools" / "ffmpeg" / "bin" / "ffmpeg", "converter");
        const test::Tree mine = test::Snapshot(users);
        const fs::path moved = root_ / "tools.moved";
        int removedTools = 0;
        onLog_ = [&](const std::string& line) {
            if (line.rfind("removed " + PathUtf8(root_ / "tools"), 0) != 0 || ++removedTools != c.swapAfter) return;
            fs::rename(root_ / "tools", moved);
            ASSERT_TRUE(test::MakeLink(root_ / "tools", users));
        };

        std::string err;
        const bool removed = builder_->RemoveLeftoverBuildFiles(err);
        EXPECT_EQ(test::ChangesSince(mine, test::Snapshot(users)), "");
        std::vector<std::string> left;
        for (const fs::directory_entry& entry : fs::directory_iterator(moved)) {
            left.push_back(PathUtf8(entry.path().filename()));
        }
        EXPECT_EQ(removedTools, removed ? kTools : c.swapAfter);
        EXPECT_EQ(left.size(), static_cast<size_t>(kTools - removedTools + 1)) << "the rest and ffmpeg";
        if (c.swapAfter == kTools) {
            EXPECT_TRUE(removed) << err;
            EXPECT_EQ(left, std::vector<std::string>{"ffmpeg"});
        } else {
            EXPECT_FALSE(removed);
            const std::string sentence = "Could not remove " + PathUtf8(root_ / "tools" / "");
            const std::string why = ": The folder changed while it was being worked on";
            EXPECT_EQ(err.rfind(sentence, 0), 0u) << err;
            EXPECT_EQ(err.substr(err.size() - std::min(err.size(), why.size())), why) << err;
        }
        onLog_ = nullptr;
        ASSERT_TRUE(test::RemoveWithHostTools(root_));
    }
}

TEST_F(Cleanup, AFileThatCannotBeRemovedStopsTheLeftoversThere) {
    MakeLeftovers();
    const fs::path held = root_ / "source" / "CMakeLists.txt";
    test::PinnedFile pin(held);
    if (!pin.pinned()) GTEST_SKIP() << "no file can be kept from deletion here: " << pin.why();

    std::string err;
    EXPECT_FALSE(builder_->RemoveLeftoverBuildFiles(err));
    std::string why;
    ASSERT_FALSE(RemoveTree(held, why));
    EXPECT_EQ(err, "Could not remove " + PathUtf8(root_ / "source") + ": " + why);
    // What came before stays removed; what comes after is left as it is.
    EXPECT_EQ(logged_, std::vector<std::string>{"removed " + PathUtf8(root_ / "tools" / "llvm")});
    EXPECT_FALSE(EntryExists(root_ / "tools" / "llvm"));
    EXPECT_EQ(test::ReadFile(root_ / "downloads" / "llvm.tar.xz"), std::string(30, 'd'));
    EXPECT_TRUE(EntryExists(root_ / "agreed.txt"));
}

TEST_F(Cleanup, ALeftoverAlreadyGoneCountsAsRemoved) {
    MakeLeftovers();
    // Someone deletes the downloads while the job is busy with the source.
    onLog_ = [this](const std::string& line) {
        std::string err;
        if (line == "removed " + PathUtf8(root_ / "source")) {
            ASSERT_TRUE(RemoveTree(root_ / "downloads", err)) << err;
        }
    };
    std::string err;
    EXPECT_TRUE(builder_->RemoveLeftoverBuildFiles(err)) << err;
    std::vector<std::string> expected;
    for (const fs::path& path : LeftoverList()) expected.push_back("removed " + PathUtf8(path));
    EXPECT_EQ(logged_, expected);
}

TEST_F(Cleanup, BuildModeKeepsItsToolsAndSource) {
    MakeBuilder(false);
    MakeLeftovers();
    std::string err;
    EXPECT_TRUE(builder_->RemoveLeftoverBuildFiles(err)) << err;
    EXPECT_TRUE(logged_.empty());
    for (const fs::path& path : LeftoverList()) EXPECT_TRUE(EntryExists(path)) << path;
}

TEST_F(Cleanup, BuildFilesLoseTheirLinksAndNothingBehindThem) {
    struct Case {
        const char* name;
        bool packageMode;
        fs::path folder;  // relative to the data folder
        fs::path kept;    // a file beside the folder, which stays
    };
    const Case cases[] = {
        {"package mode", true, fs::path("play") / "compiler" / "work", fs::path("play") / "Starblaze.exe"},
        {"build mode", false, fs::path("source") / "out", fs::path("source") / "CMakeLists.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir fresh;
        root_ = fresh / "data";
        MakeBuilder(c.packageMode);
        std::string err;
        const fs::path folder = root_ / c.folder;
        test::WriteFile(folder / "obj" / "game.o", std::string(40, 'o'));
        test::WriteFile(root_ / c.kept, "kept");
        fs::create_directories(folder / "deps");
        ASSERT_TRUE(test::MakeLink(folder / "deps" / "assets", users_));
        EXPECT_EQ(builder_->BuildFilesSize(), 40u) << "nothing behind the link counts";

        const bool removed = builder_->RemoveBuildFiles(err);
        ExpectUsersFilesWhole();
        EXPECT_EQ(test::ReadFile(root_ / c.kept), "kept");
        EXPECT_TRUE(logged_.empty()) << "no log line of its own";
        if (test::RunningUnderWine()) {
            EXPECT_FALSE(removed);
            const std::string sentence = "Could not remove the build files: ";
            EXPECT_EQ(err.rfind(sentence, 0), 0u) << err;
            EXPECT_GT(err.size(), sentence.size()) << "the system's text follows";
        } else {
            EXPECT_TRUE(removed) << err;
            EXPECT_FALSE(EntryExists(folder));
            EXPECT_EQ(builder_->BuildFilesSize(), 0u);
        }
    }
}

TEST_F(Cleanup, BuildFilesThatAreMissingOrHeld) {
    std::string err;
    EXPECT_TRUE(builder_->RemoveBuildFiles(err)) << err;
    EXPECT_TRUE(err.empty());

    const fs::path held = builder_->PlayDir() / "compiler" / "work" / "game.o";
    test::WriteFile(held, "o");
    test::PinnedFile pin(held);
    if (!pin.pinned()) GTEST_SKIP() << "no file can be kept from deletion here: " << pin.why();
    EXPECT_FALSE(builder_->RemoveBuildFiles(err));
    std::string why;
    ASSERT_FALSE(RemoveTree(held, why));
    EXPECT_EQ(err, "Could not remove the build files: " + why);
}

}  // namespace
}  // namespace launcher
