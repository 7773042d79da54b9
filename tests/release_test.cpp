#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/release.h"
#include "game/game_definition.h"
#include "platform/http.h"
#include "support/http_server.h"

namespace launcher {
namespace {

TEST(VersionTagTest, Parsing) {
    struct Case {
        const char* tag;
        std::vector<uint32_t> numbers;
    };
    const Case cases[] = {
        {"v2.0.11", {2, 0, 11}},
        {"V3", {3}},
        {"V10", {10}},
        {"v01.2", {1, 2}},
        {"v4294967295", {4294967295u}},
        {"v4294967296", {}},  // past 32 bits
        {"v1.2-rc1", {}},
        {"v1.", {}},
        {"v1..2", {}},
        {"v.1", {}},
        {"v", {}},
        {"", {}},
        {"1.2", {}},
        {"dev", {}},
        {"version1", {}},
        {" v1", {}},
        {"v1 ", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseVersionTag(c.tag), c.numbers) << c.tag;
        EXPECT_EQ(IsVersionTag(c.tag), !c.numbers.empty()) << c.tag;
    }
}

TEST(VersionTagTest, Comparison) {
    struct Case {
        const char* a;
        const char* b;
        int result;
    };
    const Case cases[] = {
        {"v2.0.11", "v2.0.9", 1},  // numbers, not text
        {"v2.0.9", "v2.0.11", -1},
        {"v2.1", "v2.1.0", 0},
        {"v2.1.0.1", "v2.1", 1},
        {"V1.0", "v1.0", 0},
        {"v10", "v9.9.9", 1},
        {"dev", "v1.0", -1},
        {"v1.0", "dev", 1},
        {"dev", "latest", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(CompareVersionTags(c.a, c.b), c.result) << c.a << " vs " << c.b;
}

TEST(LatestReleaseApiUrlTest, RepositoryAddresses) {
    // The public host's own addresses (the test run points the code host at a loopback server); this only
    // maps addresses, nothing is fetched.
    struct Restore {
        CodeHost saved = CodeHostConfig();
        ~Restore() { CodeHostConfig() = saved; }
    } restore;
    CodeHostConfig() = CodeHost{};
    struct Case {
        const char* repository;
        const char* url;
    };
    const Case cases[] = {
        {"https://github.com/owner/game", "https://api.github.com/repos/owner/game/releases/latest"},
        {"https://github.com/owner/game.git", "https://api.github.com/repos/owner/game/releases/latest"},
        {"https://github.com/owner/game/", "https://api.github.com/repos/owner/game/releases/latest"},
        {"https://github.com/owner/game//", "https://api.github.com/repos/owner/game/releases/latest"},
        {"https://github.com/owner/game.git/", "https://api.github.com/repos/owner/game.git/releases/latest"},
        {"https://github.com/owner", ""},
        {"https://github.com/owner/", ""},
        {"https://github.com/", ""},
        {"https://github.com/.git", ""},
        {"https://gitlab.com/owner/game", ""},
        {"http://github.com/owner/game", ""},
        {"https://GitHub.com/owner/game", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(LatestReleaseApiUrl(c.repository), c.url) << c.repository;
}

TEST(StringOrEmptyTest, OnlyStringMembersOfObjects) {
    const nlohmann::json j = nlohmann::json::parse(R"({"a":"text","n":5,"o":{},"z":null})");
    EXPECT_EQ(StringOrEmpty(j, "a"), "text");
    EXPECT_EQ(StringOrEmpty(j, "n"), "");
    EXPECT_EQ(StringOrEmpty(j, "o"), "");
    EXPECT_EQ(StringOrEmpty(j, "z"), "");
    EXPECT_EQ(StringOrEmpty(j, "missing"), "");
    EXPECT_EQ(StringOrEmpty(nlohmann::json::array({"a"}), "a"), "");
    EXPECT_EQ(StringOrEmpty(nlohmann::json("a"), "a"), "");
}

// The code host is pointed at the loopback server for each test and set back afterwards.
class FetchLatestReleaseTest : public ::testing::Test {
protected:
    FetchLatestReleaseTest() : saved(CodeHostConfig()) {
        CodeHostConfig().web = server.Url("/");
        CodeHostConfig().api = server.Url("");
        game.shortName = "Kestrel";
        game.repo = server.Url("/owner/game.git");
    }
    ~FetchLatestReleaseTest() override { CodeHostConfig() = saved; }

    void Answer(const std::string& json) { server.ServeLatestRelease("owner", "game", json); }
    std::string LatestPath() const { return "/repos/owner/game/releases/latest"; }

    CodeHost saved;
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    GameDefinition game;
    Release release;
    std::string err;
};

TEST_F(FetchLatestReleaseTest, FillsTheReleaseFromTheMatchingAsset) {
    const std::string digest(64, 'a');
    Answer(R"({"tag_name":"v2.0.11","name":"Spring","body":"notes","html_url":"https://host/rel",
        "assets":[
          {"name":"Other.exe","browser_download_url":"https://host/other","size":5,"digest":"sha256:)" +
           std::string(64, 'b') + R"("},
          "not an object",
          {"name":"KestrelLauncher.exe","browser_download_url":"https://host/launcher","size":123456,
           "digest":"sha256:)" + digest + R"("}
        ]})");
    ASSERT_TRUE(FetchLatestRelease(*http, game, release, err, nullptr)) << err;
    EXPECT_EQ(release.tag_name, "v2.0.11");
    EXPECT_EQ(release.name, "Spring");
    EXPECT_EQ(release.body, "notes");
    EXPECT_EQ(release.html_url, "https://host/rel");
    EXPECT_EQ(release.download_url, "https://host/launcher");
    EXPECT_EQ(release.sha256, digest);
    EXPECT_EQ(release.size, 123456u);
    ASSERT_EQ(server.Requests(LatestPath()).size(), 1u);
}

// The asset's fields as the code host may give them.
TEST_F(FetchLatestReleaseTest, AssetFields) {
    struct Case {
        const char* name;
        std::string assets;
        std::string url;
        std::string sha256;
        uint64_t size;
    };
    const std::string d1(64, '1');
    const std::string d2(64, '2');
    const Case cases[] = {
        {"no assets member", "", "", "", 0},
        {"assets not an array", R"(,"assets":{})", "", "", 0},
        {"no asset of the name", R"(,"assets":[{"name":"kestrellauncher.exe","browser_download_url":"u"}])", "",
         "", 0},
        {"no digest", R"(,"assets":[{"name":"KestrelLauncher.exe","browser_download_url":"u","size":7}])", "u", "",
         7},
        {"another algorithm", R"(,"assets":[{"name":"KestrelLauncher.exe","digest":"sha512:abc","size":7}])", "", "",
         7},
        {"negative size", R"(,"assets":[{"name":"KestrelLauncher.exe","size":-4}])", "", "", 0},
        {"size as text", R"(,"assets":[{"name":"KestrelLauncher.exe","size":"12"}])", "", "", 0},
        {"later match wins, a digest without prefix keeps the earlier one",
         R"(,"assets":[{"name":"KestrelLauncher.exe","browser_download_url":"a","size":1,"digest":"sha256:)" + d1 +
             R"("},{"name":"KestrelLauncher.exe","browser_download_url":"b","size":2,"digest":")" + d2 + R"("}])",
         "b", d1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Answer(R"({"tag_name":"v1.0")" + c.assets + "}");
        release = Release{};
        release.sha256 = "left over";
        ASSERT_TRUE(FetchLatestRelease(*http, game, release, err, nullptr)) << err;
        EXPECT_EQ(release.tag_name, "v1.0");
        EXPECT_EQ(release.download_url, c.url);
        EXPECT_EQ(release.sha256, c.sha256);
        EXPECT_EQ(release.size, c.size);
    }
}

TEST_F(FetchLatestReleaseTest, Failures) {
    struct Case {
        const char* name;
        std::string repo;
        std::string answer;  // empty: the server answers 404
        std::string err;
    };
    const Case cases[] = {
        {"repository elsewhere", "https://example.org/owner/game", "", "the game's repository is not on GitHub"},
        {"only an owner", server.Url("/owner"), "", "the game's repository is not on GitHub"},
        {"nothing published", server.Url("/owner/game"), "",
         "the server answered 404 for " + server.Url(LatestPath())},
        {"not JSON", server.Url("/owner/game"), "<html>", "no published release"},
        {"not an object", server.Url("/owner/game"), "[1,2]", "no published release"},
        {"no tag", server.Url("/owner/game"), R"({"name":"x"})", "no published release"},
        {"empty tag", server.Url("/owner/game"), R"({"tag_name":""})", "no published release"},
        {"tag not a text", server.Url("/owner/game"), R"({"tag_name":3})", "no published release"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        game.repo = c.repo;
        if (!c.answer.empty()) {
            Answer(c.answer);
        } else {
            test::Route none;
            none.status = 404;
            server.Serve(LatestPath(), none);
        }
        release = Release{};
        release.tag_name = "untouched";
        err.clear();
        EXPECT_FALSE(FetchLatestRelease(*http, game, release, err, nullptr));
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(release.tag_name, "untouched");
    }
}

TEST_F(FetchLatestReleaseTest, RefusedRequestsAreTriedThreeTimes) {
    test::Route refused;
    refused.status = 403;
    server.Serve(LatestPath(), refused);
    EXPECT_FALSE(FetchLatestRelease(*http, game, release, err, nullptr));
    EXPECT_EQ(err, "the server answered 403 for " + server.Url(LatestPath()));
    EXPECT_EQ(server.Requests(LatestPath()).size(), 3u);
}

}  // namespace
}  // namespace launcher
