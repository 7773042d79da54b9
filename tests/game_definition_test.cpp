#include <gtest/gtest.h>

#include <regex>

#include "game/game_definition.h"

namespace launcher {
namespace {

TEST(GameDefinition, BuiltinTextLoadsInPackageMode) {
    GameDefinition game;
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    EXPECT_EQ(game.title, "Aurora: Starblaze Online");
    EXPECT_EQ(game.shortName, "StarblazeOnline");
    EXPECT_EQ(game.exe, "Starblaze");
    EXPECT_EQ(game.exes, (std::vector<std::string>{"Starblaze", "StarblazeDriving"}));
    EXPECT_EQ(game.xbes, (std::vector<std::string>{"default.xbe", "Driving.xbe"}));
    EXPECT_EQ(game.package, "Starblaze-package.zip");
    EXPECT_EQ(game.branch, "main");
    EXPECT_EQ(game.version, "dev");
    EXPECT_FALSE(game.music);
    EXPECT_TRUE(IsPackageMode(game));
    EXPECT_TRUE(game.packages.empty());
    EXPECT_TRUE(game.releaseXbes.empty());
    ASSERT_EQ(game.releases.size(), 2u);
    std::regex sha1("[0-9a-f]{40}");
    for (const auto& [key, name] : game.releases) EXPECT_TRUE(std::regex_match(key, sha1)) << key;
    EXPECT_TRUE(game.repo.rfind("https://", 0) == 0 && game.repo.size() > 4 &&
                game.repo.compare(game.repo.size() - 4, 4, ".git") == 0);
    EXPECT_NE(game.toolchain.find("/main/launcher/toolchain.json"), std::string::npos);
    // Four-space indentation, as the launcher ships it.
    EXPECT_NE(BuiltinGameJson().find("\n    \"title\""), std::string::npos);
}

TEST(GameDefinition, Errors) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"{ not json", "game.json is not readable"},
        {"{\"title\":\"T\",\"short\":\"S\",\"repo\":\"r\"} // comment", "game.json is not readable"},
        {"{\"title\":\"T\",\"short\":\"S\",\"repo\":\"r\",\"releases\":{}}",
         "game.json needs a title, a short name, a repo and its releases"},
        {"{\"short\":\"S\",\"repo\":\"r\",\"releases\":{\"ab\":\"x\"}}",
         "game.json needs a title, a short name, a repo and its releases"},
        {"{\"title\":\"T\",\"repo\":\"r\",\"releases\":{\"ab\":\"x\"}}",
         "game.json needs a title, a short name, a repo and its releases"},
        {"{\"title\":\"T\",\"short\":\"S\",\"releases\":{\"ab\":\"x\"}}",
         "game.json needs a title, a short name, a repo and its releases"},
        {"[1, 2]", "game.json needs a title, a short name, a repo and its releases"},
    };
    for (const Case& c : cases) {
        GameDefinition game;
        std::string err;
        EXPECT_FALSE(LoadGameDefinition(c.text, game, err)) << c.text;
        EXPECT_EQ(err, c.error) << c.text;
    }
}

TEST(GameDefinition, ValuesOfTheWrongTypeAreNamed) {
    const std::string valid = R"("title":"T","short":"S","repo":"r","releases":{"aa":"x"})";
    struct Case {
        const char* extra;
        const char* error;
    } cases[] = {
        {R"("title":5)", "game.json: \"title\" is not a text"},
        {R"("exe":["a"])", "game.json: \"exe\" is not a text"},
        {R"("music":"yes")", "game.json: \"music\" is not true or false"},
        {R"("xbes":"default.xbe")", "game.json: \"xbes\" is not a list of texts"},
        {R"("exes":["Game", 2])", "game.json: \"exes\" is not a list of texts"},
        {R"("releases":["aa"])", "game.json: \"releases\" is not an object"},
        {R"("releases":{"aa":1})", "game.json: releases: \"aa\" is not a text"},
        {R"("release_xbes":{"aa":"one.xbe"})", "game.json: release_xbes: \"aa\" is not a list of texts"},
        {R"("packages":{"AA":{"name":"x.zip"}})", "game.json: packages: \"AA\" is not a text"},
    };
    for (const Case& c : cases) {
        // The wrong value comes last, so it replaces the valid one of the same key.
        const std::string text = "{" + valid + "," + c.extra + "}";
        GameDefinition game;
        std::string err;
        EXPECT_FALSE(LoadGameDefinition(text, game, err)) << text;
        EXPECT_EQ(err, c.error) << text;
    }
}

TEST(GameDefinition, UnreadableTextLeavesRecordAsItWas) {
    GameDefinition game;
    game.title = "kept";
    std::string err;
    EXPECT_FALSE(LoadGameDefinition("nope", game, err));
    EXPECT_EQ(game.title, "kept");
}

TEST(GameDefinition, DefaultsAndLowerCasedKeys) {
    GameDefinition game;
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(R"({"title":"T","short":"Short","repo":"r",
        "releases":{"ABCDEF":"PAL","abcdef":"later wins"},
        "packages":["not","an","object"],
        "xbes":[],
        "release_xbes":{"AA":["one.xbe","two.xbe"]}})",
                                   game, err))
        << err;
    EXPECT_EQ(game.exe, "Short");
    EXPECT_EQ(game.xbe, "default.xbe");
    EXPECT_EQ(game.xbes, std::vector<std::string>{"default.xbe"});
    EXPECT_EQ(game.exes, std::vector<std::string>{"Short"});
    EXPECT_EQ(game.branch, "main");
    EXPECT_EQ(game.releases, (std::map<std::string, std::string>{{"abcdef", "later wins"}}));
    EXPECT_TRUE(game.packages.empty());
    EXPECT_FALSE(IsPackageMode(game));
    EXPECT_EQ(game.releaseXbes.at("aa"), (std::vector<std::string>{"one.xbe", "two.xbe"}));
}

TEST(GameDefinition, PackagesTableTurnsOnPackageMode) {
    GameDefinition game;
    std::string err;
    ASSERT_TRUE(LoadGameDefinition(R"({"title":"T","short":"S","repo":"r","releases":{"aa":"x"},
        "packages":{"AA":"one.zip"},"music":true,"exe":"Game","xbe":"main.xbe"})",
                                   game, err));
    EXPECT_TRUE(IsPackageMode(game));
    EXPECT_EQ(game.packages.at("aa"), "one.zip");
    EXPECT_TRUE(game.music);
    EXPECT_EQ(game.xbes, std::vector<std::string>{"main.xbe"});
    EXPECT_EQ(game.exes, std::vector<std::string>{"Game"});
}

}  // namespace
}  // namespace launcher
