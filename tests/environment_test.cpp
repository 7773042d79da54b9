#include <gtest/gtest.h>

#include "build/builder.h"
#include "build/environment.h"
#include "platform/paths.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

struct EnvironmentTest : ::testing::Test {
    EnvironmentTest() { platform.env["PATH"] = "inherited"; }

    // A path as the environment carries it.
    static std::string P(fs::path path) { return PathUtf8(path.make_preferred()); }
    std::string Sep() const { return std::string(1, platform.PathListSeparator()); }
    fs::path Kits() const { return builder.ToolDir("winsdk") / "Windows Kits" / "10"; }
    void Folder(const fs::path& path) { fs::create_directories(path); }

    test::TempDir dir;
    test::TestPlatform platform;
    Builder builder{GameDefinition{}, dir / "data", nullptr, &platform};
};

TEST_F(EnvironmentTest, WithoutTheMicrosoftLibrariesOnlyPathAndGitSettings) {
    Folder(builder.ToolDir("git") / "cmd");
    Folder(builder.ToolDir("cmake") / "bin");
    const std::string toolsPath = P(builder.ToolDir("llvm") / "bin") + Sep() + P(builder.ToolDir("cmake") / "bin") +
                                  Sep() + P(builder.ToolDir("ninja")) + Sep() + P(builder.ToolDir("git") / "cmd") +
                                  Sep() + P(Kits() / "bin" / "x64");
    // git takes the data folder's checkout whoever owns it, never waits on a prompt of any kind, and
    // curl gives up only on a transfer that stalls outright, after the launcher's own bound on a silent
    // git (60 seconds) has had its turn; ssh asks nothing and gives up on a server that does not answer.
    const std::string sshOptions =
        " -o BatchMode=yes -o ConnectTimeout=30 -o ServerAliveInterval=15 -o ServerAliveCountMax=4";
    EnvMap expected = {{"PATH", toolsPath + Sep() + "inherited"},
                       {"GIT_CONFIG_COUNT", "3"},
                       {"GIT_CONFIG_KEY_0", "safe.directory"},
                       {"GIT_CONFIG_VALUE_0", "*"},
                       {"GIT_CONFIG_KEY_1", "http.lowSpeedLimit"},
                       {"GIT_CONFIG_VALUE_1", "1"},
                       {"GIT_CONFIG_KEY_2", "http.lowSpeedTime"},
                       {"GIT_CONFIG_VALUE_2", "91"},
                       {"GIT_SSH_COMMAND", "ssh" + sshOptions},
                       {"GIT_TERMINAL_PROMPT", "0"},
                       {"GCM_INTERACTIVE", "never"},
                       {"GIT_ASKPASS", ""},
                       {"SSH_ASKPASS", ""}};
    EXPECT_EQ(builder.BuildEnvironment(Toolchain{}), expected);

    // No inherited PATH: nothing follows the tools.
    platform.env.erase("PATH");
    expected["PATH"] = toolsPath;
    EXPECT_EQ(builder.BuildEnvironment(Toolchain{}), expected);

    // A user's own ssh command keeps its options, which ssh takes first; a program of their own is left
    // alone. The bound follows the launcher's.
    struct Case {
        const char* sshCommand;
        const char* ssh;
        const char* expected;  // nullptr: not set
    } cases[] = {
        {"ssh -i /home/me/key -o ConnectTimeout=5", nullptr, "ssh -i /home/me/key -o ConnectTimeout=5"},
        {nullptr, "plink.exe", nullptr},
        {"ssh -F none", "plink.exe", "ssh -F none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected ? c.expected : "none");
        platform.env.erase("GIT_SSH_COMMAND");
        platform.env.erase("GIT_SSH");
        if (c.sshCommand) platform.env["GIT_SSH_COMMAND"] = c.sshCommand;
        if (c.ssh) platform.env["GIT_SSH"] = c.ssh;
        const EnvMap env = builder.BuildEnvironment(Toolchain{});
        if (c.expected) {
            ASSERT_EQ(env.count("GIT_SSH_COMMAND"), 1u);
            EXPECT_EQ(env.at("GIT_SSH_COMMAND"), c.expected + sshOptions);
        } else {
            EXPECT_EQ(env.count("GIT_SSH_COMMAND"), 0u);
        }
    }
    builder.gitSilenceSeconds = 4;
    EXPECT_EQ(builder.BuildEnvironment(Toolchain{}).at("GIT_CONFIG_VALUE_2"), "7");
}

TEST_F(EnvironmentTest, MicrosoftLibrariesAndTheSdkVersion) {
    struct Case {
        const char* wanted;                  // the toolchain's sdkVersion
        std::vector<const char*> installed;  // folders under Include
        const char* used;
    } cases[] = {
        {"10.0.26100.0", {"10.0.22621.0"}, "10.0.22621.0"},
        {"", {"10.0.22621.0", "10.0.26100.0"}, "10.0.26100.0"},
        {"10.0.22621.0", {"10.0.22621.0", "10.0.26100.0"}, "10.0.22621.0"},
        {"", {}, ""},
        // A version that is not one plain folder name never reaches a path or a variable.
        {"..", {"10.0.22621.0"}, "10.0.22621.0"},
        {"10.0.22621.0/..", {"10.0.22621.0"}, "10.0.22621.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        test::TempDir data;
        Builder builder(GameDefinition{}, data.path(), nullptr, &platform);
        const fs::path kits = builder.ToolDir("winsdk") / "Windows Kits" / "10";
        const fs::path tools = builder.ToolDir("msvc") / "VC" / "Tools" / "MSVC";
        Folder(tools / "14.44.35207");
        Folder(tools / "14.9.1");  // textual order: this one counts as the newest
        test::WriteFile(tools / "9.txt", "a file, not a version");
        const fs::path msvc = tools / "14.9.1";
        Folder(kits);
        for (const char* version : c.installed) Folder(kits / "Include" / version);
        Toolchain toolchain;
        toolchain.sdkVersion = c.wanted;
        EnvMap env = builder.BuildEnvironment(toolchain);

        // Without a version the SDK's paths have no version part: kits/Include/ucrt and the like.
        const fs::path include = kits / "Include" / c.used;
        const fs::path lib = kits / "Lib" / c.used;
        EXPECT_EQ(env["INCLUDE"], P(msvc / "include") + Sep() + P(include / "ucrt") + Sep() + P(include / "shared") +
                                      Sep() + P(include / "um") + Sep() + P(include / "winrt") + Sep() +
                                      P(include / "cppwinrt"));
        EXPECT_EQ(env["LIB"],
                  P(msvc / "lib" / "x64") + Sep() + P(lib / "ucrt" / "x64") + Sep() + P(lib / "um" / "x64"));
        EXPECT_EQ(env["VCToolsInstallDir"], P(msvc) + "\\");
        EXPECT_EQ(env["WindowsSdkDir"], P(kits) + "\\");
        EXPECT_EQ(env["WindowsSDKVersion"], std::string(c.used) + "\\");
        const std::string sdkBin = P(kits / "bin" / c.used / "x64");
        EXPECT_NE(env["PATH"].find(Sep() + sdkBin + Sep() + "inherited"), std::string::npos) << env["PATH"];
        EXPECT_EQ(env.size(), 18u);
    }
}

TEST(NewestSubfolder, FoldersOnlyInTextOrderLinksIncluded) {
    test::TempDir dir;
    EXPECT_EQ(NewestSubfolder(dir / "missing"), fs::path());
    EXPECT_EQ(NewestSubfolder(dir.path()), fs::path());
    test::WriteFile(dir / "z-file", "not a folder");
    EXPECT_EQ(NewestSubfolder(dir.path()), fs::path());

    fs::create_directories(dir / "a" / "14.44.35207");
    fs::create_directories(dir / "a" / "14.10");
    EXPECT_EQ(NewestSubfolder(dir / "a"), dir / "a" / "14.44.35207");

    // A link to a folder counts as the folder it leads to.
    fs::create_directories(dir / "elsewhere");
    ASSERT_TRUE(test::MakeLink(dir / "a" / "14.9", dir / "elsewhere"));
    EXPECT_EQ(NewestSubfolder(dir / "a"), dir / "a" / "14.9");
}

}  // namespace
}  // namespace launcher
