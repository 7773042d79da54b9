#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/shell.h"
#include "platform/paths.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(FreeSpaceOf, WalksUpToTheFolderThatExists) {
    test::TempDir dir;
    const uint64_t here = FreeSpaceOf(dir.path());
    ASSERT_GT(here, 0u);
    const uint64_t below = FreeSpaceOf(dir / "not" / "made" / "yet" / "StarblazeOnline");
    // Other programs write to the same volume meanwhile: allow some drift.
    const uint64_t drift = uint64_t{256} << 20;
    EXPECT_LE(below, here + drift);
    EXPECT_GE(below + drift, here);
    EXPECT_FALSE(fs::exists(dir / "not"));
}

TEST(FreeSpaceOf, NothingToAskIsZero) {
    EXPECT_EQ(FreeSpaceOf(fs::path()), 0u);
    // A relative path whose every folder is missing walks up to the empty path.
    EXPECT_EQ(FreeSpaceOf(fs::path("no-such-folder-for-the-launcher") / "below"), 0u);
}

TEST(WidenUtf8, GivesUtf16WithSurrogatePairs) {
    EXPECT_TRUE(WidenUtf8("").empty());
    // "a", "é" (two bytes), "€" (three bytes), "😀" (four bytes, outside the Basic Multilingual Plane).
    const WideText wide = WidenUtf8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    ASSERT_EQ(wide.size(), 5u);
    EXPECT_EQ(static_cast<unsigned>(wide[0]), 0x61u);
    EXPECT_EQ(static_cast<unsigned>(wide[1]), 0xE9u);
    EXPECT_EQ(static_cast<unsigned>(wide[2]), 0x20ACu);
    EXPECT_EQ(static_cast<unsigned>(wide[3]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(wide[4]), 0xDE00u);
}

#ifndef _WIN32

// A stand-in for zenity or xdg-open on PATH (the only folder on it, so a script names other programs by
// their full path): a shell script, with PATH put back afterwards.
class FakeTool : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "";
        setenv("PATH", bin_.path().c_str(), 1);
    }
    void TearDown() override { setenv("PATH", oldPath_.c_str(), 1); }

    void Tool(const std::string& name, const std::string& body) {
        const fs::path file = bin_ / name;
        test::WriteFile(file, "#!/bin/sh\n" + body);
        chmod(file.c_str(), 0755);
    }

    test::TempDir bin_;
    test::TempDir out_;
    std::string oldPath_;
};

TEST_F(FakeTool, PickPathReturnsWhatThePickerPrints) {
    Tool("zenity", "for a in \"$@\"; do echo \"$a\"; done > '" + PathUtf8(out_ / "args") +
                       "'\necho '/home/someone/Spiele/Starblaze \xC3\xA9" "dition.iso'\n");
    EXPECT_EQ(PickPath(nullptr, false, nullptr), Utf8Path("/home/someone/Spiele/Starblaze \xC3\xA9" "dition.iso"));
    const std::string fileArgs = test::ReadFile(out_ / "args");
    EXPECT_NE(fileArgs.find("--title=Choose the game's disc image\n"), std::string::npos) << fileArgs;
    EXPECT_NE(fileArgs.find("--file-filter=Xbox disc image or default.xbe | *.iso default.xbe\n"), std::string::npos);
    EXPECT_EQ(fileArgs.find("--directory"), std::string::npos);

    const WideText title = WidenUtf8("Choose a folder of your music");
    PickPath(nullptr, true, &title);
    const std::string folderArgs = test::ReadFile(out_ / "args");
    EXPECT_NE(folderArgs.find("--directory\n"), std::string::npos) << folderArgs;
    EXPECT_NE(folderArgs.find("--title=Choose a folder of your music\n"), std::string::npos);
    PickPath(nullptr, true, nullptr);
    EXPECT_NE(test::ReadFile(out_ / "args").find("--title=Choose the folder with the game's files\n"), std::string::npos);
}

TEST_F(FakeTool, PickPathIsEmptyWhenCancelledOrMissing) {
    // Cancel: zenity ends with 1 and prints nothing.
    Tool("zenity", "exit 1\n");
    EXPECT_TRUE(PickPath(nullptr, false, nullptr).empty());
    // A failure that still printed something is no choice either.
    Tool("zenity", "echo /tmp/half\nexit 5\n");
    EXPECT_TRUE(PickPath(nullptr, true, nullptr).empty());
    fs::remove(bin_ / "zenity");
    EXPECT_TRUE(PickPath(nullptr, false, nullptr).empty());
}

TEST_F(FakeTool, OpenInShellHandsTheTextToXdgOpenWithoutWaiting) {
    const fs::path seen = out_ / "seen";
    Tool("xdg-open", "/bin/sleep 1\nprintf '%s' \"$1\" > '" + PathUtf8(seen) + ".part'\n/bin/mv '" + PathUtf8(seen) +
                         ".part' '" + PathUtf8(seen) + "'\n");
    const auto start = std::chrono::steady_clock::now();
    OpenInShell("https://example.invalid/a page?x=1&y='2'");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << "it waited for the opener";
    for (int i = 0; i < 100 && !fs::exists(seen); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(test::ReadFile(seen), "https://example.invalid/a page?x=1&y='2'");

    fs::remove(seen);
    OpenPathInShell(out_ / "launcher.log");
    for (int i = 0; i < 100 && !fs::exists(seen); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(test::ReadFile(seen), PathUtf8(out_ / "launcher.log"));
}

#endif

}  // namespace
}  // namespace launcher
