#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace launcher {
namespace {

// ---- Command lines ------------------------------------------------------------------------------------

TEST(CommandLine, QuotesOnlyTheArgumentsThatNeedIt) {
    EXPECT_EQ(JoinCommandLine({"cmake", "--build", "C:\\Data Folder\\source\\build"}),
              "cmake --build \"C:\\Data Folder\\source\\build\"");
    EXPECT_EQ(JoinCommandLine({"git", "", "x"}), "git \"\" x");
    EXPECT_EQ(JoinCommandLine({}), "");
}

// The command-line text each argument becomes; the C runtime's splitting gives each back unchanged.
// (A round trip through a child process proves nothing on Linux, where no command line is built.)
TEST(CommandLine, QuoteArgTable) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {R"(C:\path\to\file)", R"(C:\path\to\file)"},  // backslashes alone stay as they are
        {"", R"("")"},                                    // an empty argument is kept
        {"two words", R"("two words")"},
        {"tab\there", "\"tab\there\""},
        {R"(say "hi")", R"("say \"hi\"")"},                // a quote gets one backslash
        {R"(")", R"("\"")"},
        {R"(a\"b)", R"("a\\\"b")"},                        // one backslash before a quote: three
        {R"(a\\"b)", R"("a\\\\\"b")"},                    // two backslashes before a quote: five
        {R"(C:\Data Folder\)", R"("C:\Data Folder\\")"},  // a trailing backslash is doubled
        {R"(trail \\)", R"("trail \\\\")"},                // two trailing become four
        {R"(mid\\ x)", R"("mid\\ x")"},                    // inside, before no quote: unchanged
        {"new\nline", "new\nline"},                       // only space, tab and quote need quoting
    };
    for (const auto& [arg, quoted] : cases) {
        EXPECT_EQ(QuoteArg(arg), quoted) << arg;
        EXPECT_TRUE(QuoteArg(std::wstring(arg.begin(), arg.end())) == std::wstring(quoted.begin(), quoted.end()))
            << arg;
    }
}

TEST(CommandLine, WideAndNarrowQuotingAgree) {
    // The Windows side quotes UTF-16, the shown command line is UTF-8: both must say the same.
    const std::vector<std::pair<std::string, std::wstring>> cases = {
        {"a b\\", L"a b\\"}, {"say \\\"hi\\\"", L"say \\\"hi\\\""}, {"", L""}, {"tab\there", L"tab\there"}};
    for (const auto& [narrow, wide] : cases) {
        const std::wstring quoted = QuoteArg(wide);
        EXPECT_EQ(QuoteArg(narrow), std::string(quoted.begin(), quoted.end())) << narrow;
    }
}

// ---- Windows environment block ------------------------------------------------------------------------

std::wstring Names(const WideEnv& env) {
    std::wstring out;
    for (const auto& [name, value] : env) out += name + L";";
    return out;
}

TEST(WindowsEnvironment, SplitKeepsHiddenDriveEntriesAndDropsMalformedOnes) {
    const WideEnv env = SplitEnvironment({L"=C:=C:\\work", L"Path=C:\\bin;D:\\x=y", L"X", L"NOEQUALS", L"E=", L""});
    ASSERT_EQ(env.size(), 3u);
    EXPECT_EQ(env[0], (std::pair<std::wstring, std::wstring>{L"=C:", L"C:\\work"}));
    EXPECT_EQ(env[1], (std::pair<std::wstring, std::wstring>{L"Path", L"C:\\bin;D:\\x=y"}));
    EXPECT_EQ(env[2], (std::pair<std::wstring, std::wstring>{L"E", L""}));
}

TEST(WindowsEnvironment, OverrideReplacesEveryEntryOfTheNameInAnyCase) {
    WideEnv env = SplitEnvironment({L"PATH=C:\\one", L"path=C:\\two", L"PATHEXT=.EXE", L"TEMP=C:\\t"});
    OverlayEnvironment(env, {{L"Path", L"C:\\tools"}});
    EXPECT_EQ(Names(env), L"PATHEXT;TEMP;Path;");
    EXPECT_EQ(env.back().second, L"C:\\tools");
}

TEST(WindowsEnvironment, BlockIsSortedLikeWcsicmpWithEmptyValuesKept) {
    const std::wstring block =
        BuildEnvironmentBlock({L"windir=C:\\Windows", L"_Hidden=1", L"=ExitCode=00000000", L"ALLUSERSPROFILE=C:\\P",
                               L"=C:=C:\\work", L"Path=C:\\old", L"path2=x"},
                              {{L"EMPTY", L""}, {L"PATH", L"C:\\new"}});
    const std::wstring expected =
        std::wstring(L"=C:=C:\\work") + L'\0' + L"=ExitCode=00000000" + L'\0' + L"_Hidden=1" + L'\0' +
        L"ALLUSERSPROFILE=C:\\P" + L'\0' + L"EMPTY=" + L'\0' + L"PATH=C:\\new" + L'\0' + L"path2=x" + L'\0' +
        L"windir=C:\\Windows" + L'\0' + L'\0';
    EXPECT_EQ(block, expected);
}

TEST(WindowsEnvironment, EmptyEnvironmentStillEndsWithTwoZeroUnits) {
    EXPECT_EQ(EnvironmentBlock({}), std::wstring(2, L'\0'));
}

// ---- POSIX environment --------------------------------------------------------------------------------

TEST(PosixEnvironment, OverridesReplaceByExactName) {
    const std::vector<std::string> env =
        OverlayEnvironment({"PATH=/usr/bin", "HOME=/root", "LANG=C", "BROKEN"}, {{"Path", "/tools"},
                                                                                 {"HOME", "/home/x"},
                                                                                 {"EMPTY", ""}});
    EXPECT_EQ(env, (std::vector<std::string>{"PATH=/usr/bin", "LANG=C", "EMPTY=", "HOME=/home/x", "Path=/tools"}));
}

// ---- Output lines -------------------------------------------------------------------------------------

TEST(LineCutter, CutsAtCrAndLfAndDropsEmptyLines) {
    struct Case {
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{"a\r\nb"}, {"a", "b"}},
        {{"10%\r20%\r30%\r\n"}, {"10%", "20%", "30%"}},
        {{"\n\r\n\r\r"}, {}},
        // A line, and a CR LF pair, split across reads.
        {{"hel", "lo\r", "\nwor", "ld\n"}, {"hello", "world"}},
        // Bytes pass as they are, UTF-8 and NUL included.
        {{std::string("gr\xc3\xbc\xc3\x9f\0x\n", 9)}, {std::string("gr\xc3\xbc\xc3\x9f\0x", 8)}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        LineSink sink = [&](const std::string& line) { got.push_back(line); };
        LineCutter cutter(sink);
        for (const std::string& chunk : c.chunks) cutter.Feed(chunk.data(), chunk.size());
        cutter.Finish();
        EXPECT_EQ(got, c.lines) << testing::PrintToString(c.chunks);
    }
}

TEST(LineCutter, EmptySinkDropsOutput) {
    LineSink none;
    LineCutter cutter(none);
    cutter.Feed("a\nb", 3);
    cutter.Finish();
}

// ---- MSI log ------------------------------------------------------------------------------------------

TEST(MsiLog, SitsBesideTheTargetFolderWhateverItsTrailingSeparators) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    const fs::path root = "C:\\data\\tools";
    const fs::path withSeparators = "C:\\data\\tools\\winsdk\\\\";
#else
    const fs::path root = "/data/tools";
    const fs::path withSeparators = "/data/tools/winsdk//";
#endif
    const fs::path expected = root / "Windows SDK Desktop Headers x64.msiexec.log";
    const fs::path msi = root / "downloads" / "Windows SDK Desktop Headers x64.msi";
    EXPECT_EQ(MsiLogPath(msi, root / "winsdk"), expected);
    EXPECT_EQ(MsiLogPath(msi, withSeparators), expected);
    EXPECT_EQ(FullPathWithoutTrailingSeparator(withSeparators), root / "winsdk");
}

}  // namespace
}  // namespace launcher
