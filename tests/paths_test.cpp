// Paths and UTF-8 text: the conversions never throw, whatever the user's folders hold.
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// Names in several scripts, one of them outside the Basic Multilingual Plane (a surrogate pair on Windows).
const char* const kNames[] = {
    "plain.iso",
    "Ünïcødé Spiel.iso",
    "\xE6\x98\x9F\xE3\x81\xAE\xE7\x82\x8E",                       // Japanese
    "\xD0\x98\xD0\xB3\xD1\x80\xD0\xB0",                           // Cyrillic
    "emoji \xF0\x9F\x9A\x80 disc",                                // U+1F680
};

TEST(PathText, NonAsciiNamesRoundTripAndReachTheFile) {
    test::TempDir dir;
    for (const char* name : kNames) {
        SCOPED_TRACE(name);
        const fs::path path = dir / Utf8Path(name);
        EXPECT_EQ(PathUtf8(path.filename()), name);
        test::WriteFile(path, name);
        EXPECT_EQ(test::ReadFile(path), name);
        // The name as the file system lists it comes back as the same text.
        bool listed = false;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
            if (PathUtf8(entry.path().filename()) == name) listed = true;
        }
        EXPECT_TRUE(listed);
    }
}

#ifdef _WIN32

// A Windows file name may hold UTF-16 that is not valid (an unpaired surrogate); the standard library's
// own conversion throws on it. Each bad unit becomes U+FFFD, and so does each bad UTF-8 sequence on the way
// back.
TEST(PathText, InvalidTextBecomesTheReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct Wide {
        std::wstring name;
        std::string utf8;
    } wide[] = {
        {std::wstring(L"a") + wchar_t(0xD800) + L"b", "a" + replacement + "b"},                 // high alone
        {std::wstring(L"a") + wchar_t(0xDC00), "a" + replacement},                              // low alone
        {std::wstring(1, wchar_t(0xDBFF)), replacement},                                        // high at the end
        {std::wstring(1, wchar_t(0xDC00)) + wchar_t(0xD800), replacement + replacement},        // reversed pair
        {std::wstring(1, wchar_t(0xD83D)) + wchar_t(0xDE80), "\xF0\x9F\x9A\x80"},               // a real pair
    };
    for (const Wide& c : wide) {
        std::string text;
        EXPECT_NO_THROW(text = PathUtf8(fs::path(c.name)));
        EXPECT_EQ(text, c.utf8);
    }
    struct Narrow {
        std::string utf8;
        std::wstring name;
    } narrow[] = {
        {"a\xFF" "b", std::wstring(L"a") + wchar_t(0xFFFD) + L"b"},                           // not a lead byte
        {"a\xC3", std::wstring(L"a") + wchar_t(0xFFFD)},                                     // cut short
        {"\xED\xA0\x80", std::wstring(1, wchar_t(0xFFFD))},                                  // encoded surrogate
        {"\xE0\x80\xAF", std::wstring(1, wchar_t(0xFFFD))},                                  // overlong
        {"\xC3\xBC", std::wstring(1, wchar_t(0xFC))},                                        // a real one
    };
    for (const Narrow& c : narrow) {
        fs::path path;
        EXPECT_NO_THROW(path = Utf8Path(c.utf8));
        EXPECT_EQ(path.native(), c.name);
    }
}

#else

// On Linux a name is bytes: whatever they are, they pass unchanged both ways.
TEST(PathText, BytesPassUnchanged) {
    for (const std::string& bytes : {std::string("a\xFF" "b"), std::string("\xC3"), std::string("\xED\xA0\x80")}) {
        EXPECT_EQ(Utf8Path(bytes).native(), bytes);
        EXPECT_EQ(PathUtf8(fs::path(bytes)), bytes);
    }
}

#endif

}  // namespace
}  // namespace launcher
