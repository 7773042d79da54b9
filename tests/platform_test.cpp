// The Platform operations besides Run: MSI extraction, folder links, hard links, program starts and
// the environment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool WaitForFile(const fs::path& path, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    std::error_code ec;
    while (!fs::exists(path, ec)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// ---- MSI extraction -----------------------------------------------------------------------------------

#ifdef _WIN32

TEST(MsiExtraction, CommandLineIsWrittenOutDirectly) {
    const fs::path msi = "C:\\Data\\downloads\\Windows SDK Desktop Libs x64-x86_en-us.msi";
    const fs::path log = MsiLogPath(msi, "C:\\Data\\tools\\winsdk\\");
    EXPECT_EQ(log, fs::path("C:\\Data\\tools\\Windows SDK Desktop Libs x64-x86_en-us.msiexec.log"));
    EXPECT_EQ(MsiexecCommandLine(msi, "C:\\Data\\tools\\winsdk\\", log),
              L"msiexec.exe /a \"C:\\Data\\downloads\\Windows SDK Desktop Libs x64-x86_en-us.msi\" /qn /norestart "
              L"TARGETDIR=\"C:\\Data\\tools\\winsdk\" /L*v "
              L"\"C:\\Data\\tools\\Windows SDK Desktop Libs x64-x86_en-us.msiexec.log\"");
}

TEST(MsiExtraction, DamagedInstallerGivesTheSentence) {
    if (RunningUnderWine()) GTEST_SKIP() << "Wine's msiexec does no administrative installs and may never return";
    test::TempDir dir;
    test::WriteFile(dir / "downloads" / "broken.msi", "this is not an installer database");
    std::string err;
    EXPECT_FALSE(MakePlatform()->ExtractMsi(dir / "downloads" / "broken.msi", dir / "winsdk", err));
    EXPECT_TRUE(StartsWith(err, "Could not extract broken.msi (msiexec ")) << err;
    EXPECT_TRUE(EndsWith(err, ", see " + PathUtf8(dir / "broken.msiexec.log") + ")")) << err;
}

#else

// A small installer with one file in an embedded cabinet, laid out like the SDK's.
const char* const kWxs = R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Probe" Language="1033" Version="1.0.0" Manufacturer="Tests"
           UpgradeCode="0b5c4f3e-2d41-4c38-9a1e-6f0d2b7a9c11">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="probe.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="KitsDir" Name="Windows Kits">
        <Directory Id="TenDir" Name="10">
          <Component Id="Payload" Guid="5d3b8f0a-7e62-4f1c-b1d4-2a9c6e8f0b35">
            <File Id="PayloadFile" Name="payload.bin" Source="payload.bin"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
)";

class MsiExtraction : public testing::Test {
protected:
    void SetUp() override {
        // Bytes of every value, so the comparison catches any text-mode or truncation damage.
        for (int round = 0; round < 300; ++round) {
            for (int b = 0; b < 256; ++b) payload_.push_back(static_cast<char>((b * 7 + round) & 0xFF));
        }
        test::WriteFile(dir_ / "src" / "payload.bin", payload_);
        test::WriteFile(dir_ / "src" / "probe.wxs", kWxs);
        fs::create_directories(dir_ / "downloads");
        std::string output;
        LineSink sink = [&](const std::string& line) { output += line + "\n"; };
        const int code = MakePlatform()->Run({"wixl", "-o", PathUtf8(dir_ / "downloads" / "probe.msi"), "probe.wxs"},
                                             dir_ / "src", {}, sink, nullptr);
        ASSERT_EQ(code, 0) << output;
    }

    test::TempDir dir_;
    std::string payload_;
};

TEST_F(MsiExtraction, FilesComeOutUnderTheTargetByteForByte) {
    const fs::path target = dir_ / "tools" / "winsdk";
    std::string err;
    ASSERT_TRUE(MakePlatform()->ExtractMsi(dir_ / "downloads" / "probe.msi", target, err)) << err;
    EXPECT_EQ(test::ReadFile(target / "Windows Kits" / "10" / "payload.bin"), payload_);
    EXPECT_TRUE(fs::exists(dir_ / "tools" / "probe.msiexec.log"));
}

TEST_F(MsiExtraction, DamagedInstallerGivesTheSentence) {
    const std::string good = test::ReadFile(dir_ / "downloads" / "probe.msi");
    test::WriteFile(dir_ / "downloads" / "cut.msi", good.substr(0, good.size() / 3));
    test::WriteFile(dir_ / "downloads" / "text.msi", "this is not an installer database");
    for (const std::string name : {"cut.msi", "text.msi", "missing.msi"}) {
        std::string err;
        EXPECT_FALSE(MakePlatform()->ExtractMsi(dir_ / "downloads" / name, dir_ / "tools" / "winsdk", err)) << name;
        const std::string stem = name.substr(0, name.size() - 4);
        EXPECT_TRUE(StartsWith(err, "Could not extract " + name + " (msi")) << err;
        EXPECT_TRUE(EndsWith(err, ", see " + PathUtf8(dir_ / "tools" / (stem + ".msiexec.log")) + ")")) << err;
        EXPECT_FALSE(fs::exists(dir_ / "tools" / "winsdk" / "Windows Kits" / "10" / "payload.bin"));
    }
}

#endif

// ---- Folder links -------------------------------------------------------------------------------------

#ifdef _WIN32
TEST(FolderLink, CommandLineIsWrittenOutDirectly) {
    EXPECT_EQ(MklinkCommandLine("C:\\Data\\play\\assets", "D:\\My Games\\Game Copy"),
              L"cmd.exe /c mklink /J \"C:\\Data\\play\\assets\" \"D:\\My Games\\Game Copy\"");
}
#endif

TEST(FolderLink, LinkShowsTheTargetFolder) {
#ifdef _WIN32
    if (RunningUnderWine()) GTEST_SKIP() << "Wine's mklink /J makes no junction (and still exits 0)";
#endif
    test::TempDir dir;
    test::WriteFile(dir / "My Game" / "default.xbe", "xbe bytes");
    fs::create_directories(dir / "play");
    std::string err;
    ASSERT_TRUE(MakePlatform()->LinkFolder(dir / "play" / "assets", dir / "My Game", err)) << err;
    EXPECT_EQ(test::ReadFile(dir / "play" / "assets" / "default.xbe"), "xbe bytes");
    // Removing the link leaves the folder it points to.
    std::error_code ec;
    fs::remove(dir / "play" / "assets", ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_TRUE(fs::exists(dir / "My Game" / "default.xbe"));
}

TEST(FolderLink, FailureSaysWhy) {
#ifdef _WIN32
    if (RunningUnderWine()) GTEST_SKIP() << "Wine's mklink /J reports success without making anything";
#endif
    test::TempDir dir;
    fs::create_directories(dir / "target");
    fs::create_directories(dir / "play" / "assets");
    std::string err;
    EXPECT_FALSE(MakePlatform()->LinkFolder(dir / "play" / "assets", dir / "target", err));
    EXPECT_TRUE(StartsWith(err, "Could not link the game's folder: ")) << err;
    EXPECT_GT(err.size(), std::string("Could not link the game's folder: ").size());
}

// ---- Hard links ---------------------------------------------------------------------------------------

TEST(HardLink, NewNameSharesTheFile) {
    test::TempDir dir;
    test::WriteFile(dir / "image.iso", "disc image");
    fs::create_directories(dir / "play" / "assets");
    ASSERT_TRUE(MakePlatform()->HardLink(dir / "play" / "assets" / "image.iso", dir / "image.iso"));
    EXPECT_TRUE(fs::equivalent(dir / "play" / "assets" / "image.iso", dir / "image.iso"));
    EXPECT_EQ(test::ReadFile(dir / "play" / "assets" / "image.iso"), "disc image");
}

TEST(HardLink, FailsWithoutTextWhenItCannot) {
    test::TempDir dir;
    test::WriteFile(dir / "taken", "x");
    EXPECT_FALSE(MakePlatform()->HardLink(dir / "new", dir / "missing"));
    EXPECT_FALSE(MakePlatform()->HardLink(dir / "taken", dir / "taken"));
}

// ---- Program starts -----------------------------------------------------------------------------------

#ifndef _WIN32
// Children of this process still known to the system (zombies included), from every thread.
std::string OwnChildren() {
    std::string all;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) all += test::ReadFile(task.path() / "children");
    return all;
}
#endif

TEST(Launch, StartsTheProgramInItsFolderWithoutWaiting) {
    test::TempDir dir;
    const fs::path folder = dir / "play dir";
    fs::create_directories(folder);
    std::string err;
    ASSERT_TRUE(MakePlatform()->Launch(test::TestProgram("mark_cwd"), folder, err)) << err;
    ASSERT_TRUE(WaitForFile(folder / "marker.txt", std::chrono::seconds(20)));
    EXPECT_EQ(test::ReadFile(folder / "marker.txt"), "started");
#ifndef _WIN32
    // Detached: nothing is left for the launcher to reap.
    EXPECT_EQ(OwnChildren(), "");
#endif
}

TEST(Launch, MissingProgramGivesTheSystemsReason) {
    test::TempDir dir;
    std::string err;
    EXPECT_FALSE(MakePlatform()->Launch(dir / ("game" + MakePlatform()->ExeSuffix()), dir.path(), err));
    EXPECT_TRUE(StartsWith(err, "Could not start the game (2: ")) << err;
    EXPECT_TRUE(EndsWith(err, ")")) << err;
#ifndef _WIN32
    EXPECT_EQ(err, "Could not start the game (2: No such file or directory)");
    EXPECT_EQ(OwnChildren(), "");
#endif
}

// ---- Environment --------------------------------------------------------------------------------------

TEST(Environment, GetEnvReadsTheLaunchersOwnVariables) {
    auto platform = MakePlatform();
    EXPECT_FALSE(platform->GetEnv("PATH").empty());
    EXPECT_EQ(platform->GetEnv("LAUNCHER_TEST_SURELY_UNSET"), "");
#ifndef _WIN32
    ::setenv("LAUNCHER_TEST_EMPTY", "", 1);
    ::setenv("LAUNCHER_TEST_TEXT", "gr\xc3\xbc\xc3\x9f", 1);
    EXPECT_EQ(platform->GetEnv("LAUNCHER_TEST_EMPTY"), "");
    EXPECT_EQ(platform->GetEnv("LAUNCHER_TEST_TEXT"), "gr\xc3\xbc\xc3\x9f");
#endif
}

}  // namespace
}  // namespace launcher
