#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <limits>

#include "build/builder.h"
#include "build/toolchain.h"
#include "platform/http.h"
#include "support/http_server.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Names = std::vector<std::string>;

const std::string kSha(64, 'a');

std::vector<std::string> FileNames(const std::vector<FileRef>& files) {
    std::vector<std::string> names;
    for (const FileRef& file : files) names.push_back(file.name);
    return names;
}

TEST(ReadToolchain, TheBuiltInDescription) {
    std::vector<Tool> tools;
    std::string err;
    ASSERT_TRUE(ReadToolchain(BuiltinToolchainJson(), tools, err)) << err;
    ASSERT_EQ(tools.size(), 4u);
    EXPECT_EQ(tools[0].id, "llvm");
    EXPECT_EQ(tools[0].kind, "tar.xz");
    EXPECT_EQ(tools[0].strip, 1);
    EXPECT_EQ(tools[0].keep.size(), 16u);
    EXPECT_EQ(tools[0].files[0].name, "clang+llvm-19.1.7-x86_64-pc-windows-msvc.tar.xz");  // "%2B" decoded
    EXPECT_EQ(tools[0].files[0].size, 845236708u);
    EXPECT_EQ(tools[1].stamp, "0c4baa40f28b3f8225eb3fdf6946c987b4fe901403b4eaf2fbbd9378100aaa0c bin/ share/");
    EXPECT_EQ(tools[2].stamp, "07fc8261b42b20e71d1720b39068c2e14ffcee6396b76fb7a795fb460b78dc65");
    EXPECT_EQ(tools[2].kind, "zip");
    EXPECT_EQ(tools[3].title, "MinGit 2.56.0");
    EXPECT_EQ(tools[3].files[0].name, "MinGit-2.56.0.2-busybox-64-bit.zip");
    for (const Tool& tool : tools) EXPECT_FALSE(tool.optional) << tool.id;
    // Four-space indentation, as the launcher ships it.
    EXPECT_NE(BuiltinToolchainJson().find("\n    \"tools\""), std::string::npos);
}

TEST(ReadToolchain, DefaultsAndLowerCasedDigest) {
    std::vector<Tool> tools;
    std::string err;
    const std::string upper(64, 'C');
    ASSERT_TRUE(ReadToolchain(json{{"tools",
                                    {{{"id", "ffmpeg"},
                                      {"url", "https://example.test/dl/ffmpeg%20win.zip"},
                                      {"sha256", upper},
                                      {"optional", true},
                                      {"size", 5}},
                                     {{"id", "slash"}, {"url", "https://example.test/dir/"}, {"sha256", kSha}}}}}
                                  .dump(),
                              tools, err))
        << err;
    ASSERT_EQ(tools.size(), 2u);
    EXPECT_EQ(tools[0].title, "ffmpeg");
    EXPECT_EQ(tools[0].kind, "zip");
    EXPECT_EQ(tools[0].strip, 0);
    EXPECT_TRUE(tools[0].keep.empty());
    EXPECT_TRUE(tools[0].optional);
    EXPECT_EQ(tools[0].stamp, std::string(64, 'c'));
    EXPECT_EQ(tools[0].files[0].sha256, std::string(64, 'c'));
    EXPECT_EQ(tools[0].files[0].name, "ffmpeg win.zip");
    EXPECT_EQ(tools[0].files[0].size, 5u);
    EXPECT_EQ(tools[1].files[0].name, "");  // an address ending in '/' names no file
    EXPECT_TRUE(ReadToolchain(R"({"tools": []})", tools, err));
}

TEST(ReadToolchain, FaultsStopAtTheFaultyTool) {
    auto tool = [](json fields) {
        json t = {{"id", "bad"}, {"url", "https://x.test/a.zip"}, {"sha256", kSha}};
        for (auto& [key, value] : fields.items()) t[key] = value;
        return t;
    };
    const char* needs = "toolchain.json: tool bad needs an id, a url and a sha256";
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"{ not json", "toolchain.json is not readable"},
        {"[1]", "toolchain.json is not readable"},
        {R"({"msvc": {}})", "toolchain.json is not readable"},
        {R"({"tools": {"id": "x"}})", "toolchain.json: \"tools\" is not a list"},
        {R"({"tools": [5]})", "toolchain.json: a tool is not an object"},
        {json{{"tools", {tool({{"sha256", std::string(63, 'a')}})}}}.dump(), needs},
        {json{{"tools", {tool({{"sha256", std::string(65, 'a')}})}}}.dump(), needs},
        {json{{"tools", {tool({{"url", ""}})}}}.dump(), needs},
        {json{{"tools", {tool({{"id", ""}})}}}.dump(), "toolchain.json: tool  needs an id, a url and a sha256"},
        {json{{"tools", {tool({{"id", ".."}})}}}.dump(),
         "toolchain.json: tool .. needs an id that is a plain folder name"},
        {json{{"tools", {tool({{"id", "a/b"}})}}}.dump(),
         "toolchain.json: tool a/b needs an id that is a plain folder name"},
        {json{{"tools", {tool({{"id", 5}})}}}.dump(), "toolchain.json: tool: \"id\" is not a text"},
        {json{{"tools", {tool({{"strip", "1"}})}}}.dump(), "toolchain.json: tool bad: \"strip\" is not a whole number"},
        {json{{"tools", {tool({{"strip", 1.5}})}}}.dump(), "toolchain.json: tool bad: \"strip\" is not a whole number"},
        {json{{"tools", {tool({{"keep", {"bin/", 3}}})}}}.dump(),
         "toolchain.json: tool bad: \"keep\" is not a list of texts"},
        {json{{"tools", {tool({{"keep", "bin/"}})}}}.dump(),
         "toolchain.json: tool bad: \"keep\" is not a list of texts"},
        {json{{"tools", {tool({{"optional", "yes"}})}}}.dump(),
         "toolchain.json: tool bad: \"optional\" is not true or false"},
        {json{{"tools", {tool({{"size", -1}})}}}.dump(),
         "toolchain.json: tool bad: \"size\" is not a whole number of bytes"},
        {json{{"tools", {tool({{"url", json::array()}})}}}.dump(), "toolchain.json: tool bad: \"url\" is not a text"},
        {json{{"tools", {tool({{"title", json::object()}})}}}.dump(),
         "toolchain.json: tool bad: \"title\" is not a text"},
    };
    for (const Case& c : cases) {
        std::vector<Tool> tools;
        std::string err;
        EXPECT_FALSE(ReadToolchain(c.text, tools, err)) << c.text;
        EXPECT_EQ(err, c.error) << c.text;
    }

    // The tools before the faulty one stay read; a null counts as not given.
    std::vector<Tool> tools;
    std::string err;
    json good = tool({{"id", "good"}, {"title", nullptr}});
    EXPECT_FALSE(ReadToolchain(json{{"tools", {good, tool({{"url", ""}})}}}.dump(), tools, err));
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].title, "good");
}

TEST(CabNamesInMsi, Table) {
    const std::string a = "0123456789abcdef0123456789abcdef";
    const std::string b = "fedcba9876543210fedcba9876543210";
    struct Case {
        std::string bytes;
        Names names;
    } cases[] = {
        {std::string(40, 'x') + b + ".cab" + "....." + a + ".cab" + b + ".cab", {a + ".cab", b + ".cab"}},
        {std::string(10, '\0') + "0123456789ABCDEF0123456789abcdef.cab", {}},  // upper-case digit
        {std::string(10, '\0') + a + ".CAB", {}},
        {a + ".cab", {a + ".cab"}},  // ".cab" at offset 32 exactly
        {a.substr(1) + ".cab", {}},  // begins within the first 32 bytes
        {std::string(3, 'z') + "x" + a + ".ca", {}},
        {"", {}},
        // Longer hex runs: the 32 digits right before ".cab" count.
        {"9" + a + ".cab", {a + ".cab"}},
    };
    for (const Case& c : cases) EXPECT_EQ(CabNamesInMsi(c.bytes), c.names) << c.bytes;
}

// The Visual Studio release channel and its manifest on the loopback server.
struct ResolveTest : ::testing::Test {
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    Toolchain toolchain;
    std::string err;

    static json Payload(const std::string& fileName, uint64_t size) {
        return {{"fileName", fileName},
                {"url", "https://download.test/" + fileName},
                {"sha256", std::string(64, 'D')},
                {"size", size}};
    }
    static json Package(const std::string& id, json extra, json payloads) {
        json package = {{"id", id}, {"version", "1.0"}, {"payloads", std::move(payloads)}};
        for (auto& [key, value] : extra.items()) package[key] = value;
        return package;
    }

    json channel = {
        {"channelItems",
         {{{"id", "Microsoft.VisualStudio.Product.BuildTools"}, {"payloads", {{{"url", "https://x.test/"}}}}},
          {{"id", "Microsoft.VisualStudio.Manifests.VisualStudio"},
           {"payloads", {{{"url", server.Url("/manifest.json")}}}}}}}};
    const std::string cabA = "0123456789abcdef0123456789abcdef.cab";
    json manifest = {
        {"packages",
         {Package("Microsoft.VC.14.44.17.14.CRT.Headers.base", {{"chip", "arm64"}}, {Payload("arm.vsix", 1)}),
          Package("microsoft.vc.14.44.17.14.crt.headers.base", {{"chip", "X64"}},
                  {Payload("payload\\headers.vsix", 100)}),
          Package("Microsoft.VC.14.44.17.14.CRT.Headers.base", {{"chip", "x64"}}, {Payload("second.vsix", 2)}),
          Package("Microsoft.VC.14.44.17.14.CRT.Source.base", {{"language", "de-DE"}}, {Payload("de.vsix", 3)}),
          Package("Microsoft.VC.14.44.17.14.CRT.Source.base", {{"language", "EN-US"}},
                  {Payload("src/one.vsix", 10), Payload("src/two.vsix", 20)}),
          Package("Win11SDK_10.0.26100", {{"chip", "Neutral"}, {"language", "neutral"}},
                  {Payload("Installers\\Windows SDK Desktop Headers x64-x86_en-us.msi", 1000),
                   Payload("Installers\\" + cabA, 5000), Payload("Installers/readme.txt", 7),
                   Payload("Installers\\Windows SDK Desktop Libs x64-x86_en-us.msi", 2000),
                   Payload("Installers\\ffffffffffffffffffffffffffffffff.CAB", 6000)})}}};
    json description = {
        {"tools", json::array()},
        {"msvc",
         {{"channel", server.Url("/channel")},
          {"version", "14.44.17.14"},
          {"packages", {"Microsoft.VC.{v}.CRT.Headers.base", "Microsoft.VC.{v}.CRT.Source.base"}}}},
        {"sdk",
         {{"package", "WIN11SDK_10.0.26100"},
          {"version", "10.0.26100.0"},
          {"msis",
           {"Windows SDK Desktop Headers x64-x86_en-us.msi", "WINDOWS SDK DESKTOP HEADERS X64-X86_EN-US.MSI",
            "Windows SDK Desktop Libs x64-x86_en-us.msi"}}}}};

    bool Resolve() {
        server.ServeJson("/channel", channel.dump());
        server.ServeJson("/manifest.json", manifest.dump());
        return ResolveMsvcAndSdk(*http, description.dump(), toolchain, err, nullptr);
    }
};

TEST_F(ResolveTest, FindsThePackagesForThisMachine) {
    toolchain.tools.push_back(Tool{});  // what ReadToolchain put there stays first
    ASSERT_TRUE(Resolve()) << err;
    ASSERT_EQ(toolchain.tools.size(), 3u);
    EXPECT_EQ(toolchain.sdkVersion, "10.0.26100.0");

    const Tool& msvc = toolchain.tools[1];
    EXPECT_EQ(msvc.id, "msvc");
    EXPECT_EQ(msvc.kind, "vsix");
    EXPECT_EQ(msvc.title, "Microsoft C++ libraries 14.44.17.14");
    EXPECT_EQ(msvc.stamp, "14.44.17.14");
    // Named after the package as the description writes it; the arm64 and the later x64 one are not used.
    EXPECT_EQ(FileNames(msvc.files),
              (Names{"Microsoft.VC.14.44.17.14.CRT.Headers.base.vsix", "Microsoft.VC.14.44.17.14.CRT.Source.base.vsix",
                     "Microsoft.VC.14.44.17.14.CRT.Source.base-2.vsix"}));
    EXPECT_EQ(msvc.files[0].url, "https://download.test/payload\\headers.vsix");
    EXPECT_EQ(msvc.files[0].size, 100u);
    EXPECT_EQ(msvc.files[0].sha256, std::string(64, 'd'));
    EXPECT_EQ(msvc.files[2].size, 20u);

    const Tool& sdk = toolchain.tools[2];
    EXPECT_EQ(sdk.id, "winsdk");
    EXPECT_EQ(sdk.kind, "msi");
    EXPECT_EQ(sdk.title, "Windows SDK 10.0.26100.0");
    EXPECT_EQ(FileNames(sdk.files),
              (Names{"Windows SDK Desktop Headers x64-x86_en-us.msi", "Windows SDK Desktop Libs x64-x86_en-us.msi"}));
    EXPECT_EQ(FileNames(sdk.cabs), (Names{cabA, "ffffffffffffffffffffffffffffffff.CAB"}));
    EXPECT_EQ(
        sdk.stamp,
        "WIN11SDK_10.0.26100 Windows SDK Desktop Headers x64-x86_en-us.msi Windows SDK Desktop Libs x64-x86_en-us.msi");
    EXPECT_EQ(ToolDownloadSize(sdk), 1000u + 5000u + 2000u + 6000u);
}

constexpr const char* kNotPlain = "toolchain.json: sdk: \"version\" is not a plain folder name";

TEST_F(ResolveTest, FaultsLeaveTheToolchainAsItWas) {
    struct Case {
        const char* name;
        std::function<void(ResolveTest&)> change;
        std::string error;  // the start of it
    } cases[] = {
        {"no sdk", [](ResolveTest& t) { t.description.erase("sdk"); }, "toolchain.json has no msvc or sdk entry"},
        {"not json", [](ResolveTest& t) { t.description = "nope"; }, "toolchain.json has no msvc or sdk entry"},
        {"msvc a list", [](ResolveTest& t) { t.description["msvc"] = json::array(); },
         "toolchain.json: \"msvc\" is not an object"},
        {"packages a text", [](ResolveTest& t) { t.description["msvc"]["packages"] = "x"; },
         "toolchain.json: msvc: \"packages\" is not a list of texts"},
        {"msis numbers", [](ResolveTest& t) { t.description["sdk"]["msis"] = {1}; },
         "toolchain.json: sdk: \"msis\" is not a list of texts"},
        {"channel missing", [](ResolveTest& t) { t.description["msvc"]["channel"] = t.server.Url("/nothing"); },
         "Visual Studio channel: "},
        {"channel not json", [](ResolveTest& t) { t.description["msvc"]["channel"] = t.server.Url("/text"); },
         "the Visual Studio channel lists no package manifest"},
        {"no manifest item", [](ResolveTest& t) { t.channel["channelItems"].erase(1); },
         "the Visual Studio channel lists no package manifest"},
        {"empty payloads", [](ResolveTest& t) { t.channel["channelItems"][1]["payloads"] = json::array(); },
         "the Visual Studio channel lists no package manifest"},
        // The last manifest item wins, also when it gives no address.
        {"last item wins",
         [](ResolveTest& t) {
             t.channel["channelItems"].push_back(
                 {{"id", "Microsoft.VisualStudio.Manifests.VisualStudio"}, {"payloads", json::array()}});
         },
         "the Visual Studio channel lists no package manifest"},
        {"items not a list", [](ResolveTest& t) { t.channel["channelItems"] = json::object(); },
         "the Visual Studio channel: \"channelItems\" is not a list"},
        {"item not an object", [](ResolveTest& t) { t.channel["channelItems"][0] = 5; },
         "the Visual Studio channel: an item is not an object"},
        {"item id a number", [](ResolveTest& t) { t.channel["channelItems"][0]["id"] = 5; },
         "the Visual Studio channel: \"id\" is not a text"},
        {"payload url a list", [](ResolveTest& t) { t.channel["channelItems"][1]["payloads"][0]["url"] = {1}; },
         "the Visual Studio channel: \"url\" is not a text"},
        {"manifest missing",
         [](ResolveTest& t) { t.channel["channelItems"][1]["payloads"][0]["url"] = t.server.Url("/gone"); },
         "Visual Studio manifest: "},
        {"manifest a list", [](ResolveTest& t) { t.manifest = json::array(); },
         "the Visual Studio manifest is not readable"},
        {"packages an object", [](ResolveTest& t) { t.manifest["packages"] = json::object(); },
         "the Visual Studio manifest: \"packages\" is not a list"},
        {"package a number", [](ResolveTest& t) { t.manifest["packages"][0] = 1; },
         "the Visual Studio manifest: a package is not an object"},
        {"chip a number", [](ResolveTest& t) { t.manifest["packages"][0]["chip"] = 64; },
         "the Visual Studio manifest: a package: \"chip\" is not a text"},
        {"size a text", [](ResolveTest& t) { t.manifest["packages"][1]["payloads"][0]["size"] = "100"; },
         "the Visual Studio manifest: package Microsoft.VC.14.44.17.14.CRT.Headers.base: \"size\" is not a whole "
         "number of bytes"},
        {"payloads an object", [](ResolveTest& t) { t.manifest["packages"][5]["payloads"] = json::object(); },
         "the Visual Studio manifest: package WIN11SDK_10.0.26100: \"payloads\" is not a list"},
        {"payload a text", [](ResolveTest& t) { t.manifest["packages"][5]["payloads"][0] = "x"; },
         "the Visual Studio manifest: package WIN11SDK_10.0.26100: a payload is not an object"},
        {"msvc package missing", [](ResolveTest& t) { t.manifest["packages"].erase(4); },
         "the Visual Studio manifest has no Microsoft.VC.14.44.17.14.CRT.Source.base"},
        {"sdk package missing", [](ResolveTest& t) { t.manifest["packages"].erase(5); },
         "the Visual Studio manifest has no WIN11SDK_10.0.26100"},
        {"an installer missing", [](ResolveTest& t) { t.description["sdk"]["msis"].push_back("Other.msi"); },
         "the Windows SDK package lacks some of its installers (2 of 3)"},
        // The SDK's version names a folder and enters PATH, INCLUDE and LIB: one plain name, nothing more.
        {"sdk version climbs", [](ResolveTest& t) { t.description["sdk"]["version"] = ".."; }, kNotPlain},
        {"sdk version a path", [](ResolveTest& t) { t.description["sdk"]["version"] = "10.0/../../x"; }, kNotPlain},
        {"sdk version with a NUL",
         [](ResolveTest& t) { t.description["sdk"]["version"] = std::string("10.0\0PATH=x", 11); }, kNotPlain},
        {"sdk version with a list separator",
         [](ResolveTest& t) { t.description["sdk"]["version"] = "10.0;C:\\Windows"; }, kNotPlain},
        {"sdk version with a line end", [](ResolveTest& t) { t.description["sdk"]["version"] = "10.0\nX=1"; },
         kNotPlain},
    };
    server.ServeBody("/text", "<html>not json</html>");
    server.Serve("/nothing", test::StatusRoute(404));
    server.Serve("/gone", test::StatusRoute(404));
    const json channelKept = channel, manifestKept = manifest, descriptionKept = description;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        channel = channelKept;
        manifest = manifestKept;
        description = descriptionKept;
        c.change(*this);
        toolchain = Toolchain{{Tool{}}, "before"};
        err.clear();
        EXPECT_FALSE(Resolve());
        EXPECT_EQ(err.substr(0, c.error.size()), c.error) << err;
        EXPECT_EQ(toolchain.tools.size(), 1u);
        EXPECT_EQ(toolchain.sdkVersion, "before");
    }
}

// Texts from the network are read within bounds of size and nesting, and told apart by a sentence.
TEST_F(ResolveTest, NetworkTextsAreBoundInSizeAndNesting) {
    const std::string deep(10 << 20, '[');
    const std::string nested64 = std::string(63, '[') + std::string(63, ']');  // 64 levels with the object
    const std::string big = std::string(R"({"tools": [], "padding": ")") + std::string(64 << 20, ' ') + "\"}";
    struct Case {
        const char* name;
        std::string toolchain;  // given to ReadToolchain; empty: the case is one of ResolveMsvcAndSdk's texts
        std::function<void(ResolveTest&)> change;
        std::string error;  // empty: it reads
    } cases[] = {
        {"ten megabytes of brackets", deep, nullptr, "toolchain.json nests deeper than 64 levels"},
        {"64 levels", R"({"tools": [], "x": )" + nested64 + "}", nullptr, ""},
        {"65 levels", R"({"tools": [], "x": [)" + nested64 + "]}", nullptr,
         "toolchain.json nests deeper than 64 levels"},
        {"brackets inside a text", R"({"tools": [], "x": ")" + std::string(1000, '[') + R"(\"["})", nullptr, ""},
        {"larger than 64 MB", big, nullptr, "toolchain.json is larger than 64 MB"},
        {"a deep channel", "",
         [&](ResolveTest& t) { t.channel["x"] = json::parse(std::string(70, '[') + std::string(70, ']')); },
         "the Visual Studio channel nests deeper than 64 levels"},
        {"a deep manifest", "",
         [&](ResolveTest& t) { t.manifest["x"] = json::parse(std::string(70, '[') + std::string(70, ']')); },
         "the Visual Studio manifest nests deeper than 64 levels"},
    };
    const json channelKept = channel, manifestKept = manifest;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        err.clear();
        if (!c.toolchain.empty()) {
            std::vector<Tool> tools;
            EXPECT_EQ(ReadToolchain(c.toolchain, tools, err), c.error.empty());
            EXPECT_EQ(err, c.error);
            continue;
        }
        channel = channelKept;
        manifest = manifestKept;
        c.change(*this);
        toolchain = Toolchain{};
        EXPECT_FALSE(Resolve());
        EXPECT_EQ(err, c.error);
        EXPECT_TRUE(toolchain.tools.empty());
    }
}

TEST(ToolDownloadSize, TheSumHoldsAtTheLargestSize) {
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    struct Case {
        std::vector<uint64_t> files, cabs;
        uint64_t sum;
    } cases[] = {
        {{}, {}, 0},
        {{1, 2}, {3}, 6},
        {{kMost, 2}, {}, kMost},
        {{kMost - 1}, {1}, kMost},
        {{1}, {kMost, kMost}, kMost},
    };
    for (const Case& c : cases) {
        Tool tool;
        for (uint64_t size : c.files) tool.files.push_back(FileRef{"f", "u", "", size});
        for (uint64_t size : c.cabs) tool.cabs.push_back(FileRef{"c", "u", "", size});
        EXPECT_EQ(ToolDownloadSize(tool), c.sum)
            << ::testing::PrintToString(c.files) << " " << ::testing::PrintToString(c.cabs);
    }
}

// The "build tools list" stage: which description it reads and when the fetched one is kept.
struct LookUp : ResolveTest {
    LookUp() {
        game.toolchain = server.Url("/toolchain.json");
        builder = std::make_unique<Builder>(game, root, http.get(), &platform);
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
        server.ServeJson("/channel", channel.dump());
        server.ServeJson("/manifest.json", manifest.dump());
        description["tools"] = {
            {{"id", "cmake"}, {"url", "https://x.test/cmake.zip"}, {"sha256", kSha}, {"size", 5}}};
    }

    test::TempDir tmp;
    fs::path root = tmp / "data";
    test::TestPlatform platform;
    GameDefinition game;
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
};

TEST_F(LookUp, TheFetchedDescriptionIsSavedOnlyWhenAllThatWasAskedForReads) {
    const std::string saved = R"({"tools": [], "msvc": {}, "sdk": {}})";
    struct Case {
        const char* name;
        std::function<void(json&)> change;
        bool withMsvcAndSdk;
        bool ok, kept;
    } cases[] = {
        {"all of it reads", [](json&) {}, true, true, false},
        {"the msvc entry does not read", [](json& d) { d["msvc"] = json::array(); }, true, false, true},
        {"the sdk version does not read", [](json& d) { d["sdk"]["version"] = "../x"; }, true, false, true},
        {"the channel is not there", [&](json& d) { d["msvc"]["channel"] = server.Url("/nothing"); }, true, false,
         true},
        // The music import asks for the tools alone.
        {"only the tools were asked for", [](json& d) { d["msvc"] = json::array(); }, false, true, false},
        {"the tools do not read", [](json& d) { d["tools"][0]["sha256"] = "short"; }, false, false, true},
    };
    server.Serve("/nothing", test::StatusRoute(404));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(root / "toolchain.json", saved);
        json fetched = description;
        c.change(fetched);
        server.ServeJson("/toolchain.json", fetched.dump());
        EXPECT_EQ(builder->LookUpTools(builder->toolchain, err, c.withMsvcAndSdk), c.ok) << err;
        EXPECT_EQ(test::ReadFile(root / "toolchain.json"), c.kept ? saved : fetched.dump());
    }
}

TEST_F(LookUp, WithoutAConnectionTheMicrosoftPackagesCannotBeLookedUp) {
    builder = std::make_unique<Builder>(game, root, nullptr, &platform);
    builder->logSink = [this](const std::string& line) { logged.push_back(line); };
    builder->builtinToolchain = BuiltinToolchainJson();
    EXPECT_FALSE(builder->LookUpTools(builder->toolchain, err, true));
    EXPECT_EQ(err, "Visual Studio channel: no connection to the internet");
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, false)) << err;
    EXPECT_EQ(builder->toolchain.tools.size(), 4u);
}

TEST_F(LookUp, TheSizeToDownloadHoldsAtTheLargest) {
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    description["tools"] = {{{"id", "a"}, {"url", "https://x.test/a.zip"}, {"sha256", kSha}, {"size", kMost}},
                            {{"id", "b"}, {"url", "https://x.test/b.zip"}, {"sha256", kSha}, {"size", 2}}};
    server.ServeJson("/toolchain.json", description.dump());
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, false)) << err;
    EXPECT_EQ(logged.back(), "tools: 2, " + FormatSize(kMost) + " to download at most");
}

}  // namespace
}  // namespace launcher
