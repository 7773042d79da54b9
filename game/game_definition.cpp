#include "game/game_definition.h"

#include <nlohmann/json.hpp>

#include "platform/ascii.h"

namespace launcher {

namespace {

using nlohmann::json;

std::string StringOr(const json& doc, const char* key, const std::string& fallback) {
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string()) return fallback;
    return it->get<std::string>();
}

std::vector<std::string> StringList(const json& value) {
    std::vector<std::string> list;
    if (!value.is_array()) return list;
    for (const json& item : value) {
        if (item.is_string()) list.push_back(item.get<std::string>());
    }
    return list;
}

// Members of an object under lower-cased names; a later member wins over an earlier one.
template <typename Value, typename Read>
std::map<std::string, Value> LowerKeyedMap(const json& doc, const char* key, Read read) {
    std::map<std::string, Value> out;
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_object()) return out;
    for (auto member = it->begin(); member != it->end(); ++member) {
        out[LowerAscii(member.key())] = read(member.value());
    }
    return out;
}

std::string StringValue(const json& value) {
    return value.is_string() ? value.get<std::string>() : std::string();
}

}  // namespace

bool LoadGameDefinition(const std::string& text, GameDefinition& game, std::string& err) {
    json doc = json::parse(text, nullptr, false, false);
    if (doc.is_discarded()) {
        err = "game.json is not readable";
        return false;
    }
    // Anything but an object reads as an empty description and fails the check below.
    if (!doc.is_object()) doc = json::object();

    game.title = StringOr(doc, "title", "");
    game.shortName = StringOr(doc, "short", "");
    game.exe = StringOr(doc, "exe", game.shortName);
    game.xbe = StringOr(doc, "xbe", "default.xbe");
    game.repo = StringOr(doc, "repo", "");
    game.branch = StringOr(doc, "branch", "main");
    game.toolchain = StringOr(doc, "toolchain", "");
    auto music = doc.find("music");
    game.music = music != doc.end() && music->is_boolean() && music->get<bool>();
    game.package = StringOr(doc, "package", "");
    game.packages = LowerKeyedMap<std::string>(doc, "packages", StringValue);

    game.xbes = doc.contains("xbes") ? StringList(doc["xbes"]) : std::vector<std::string>{game.xbe};
    game.exes = doc.contains("exes") ? StringList(doc["exes"]) : std::vector<std::string>{game.exe};
    if (game.xbes.empty()) game.xbes.push_back(game.xbe);
    if (game.exes.empty()) game.exes.push_back(game.exe);

    game.releases = LowerKeyedMap<std::string>(doc, "releases", StringValue);
    game.releaseXbes = LowerKeyedMap<std::vector<std::string>>(doc, "release_xbes", StringList);

    if (game.releases.empty() || game.repo.empty() || game.shortName.empty() || game.title.empty()) {
        err = "game.json needs a title, a short name, a repo and its releases";
        return false;
    }
    return true;
}

bool IsPackageMode(const GameDefinition& game) {
    return !game.package.empty() || !game.packages.empty();
}

const std::string& BuiltinGameJson() {
    static const std::string text = R"json({
    "title": "Aurora: Starblaze Online",
    "short": "StarblazeOnline",
    "exe": "Starblaze",
    "exes": [
        "Starblaze",
        "StarblazeDriving"
    ],
    "xbe": "default.xbe",
    "xbes": [
        "default.xbe",
        "Driving.xbe"
    ],
    "releases": {
        "5f0c2a8e9b41d7736e2c1a0f4d9b8e7c6a5f3d21": "PAL (Europe)",
        "a93e17c04b6d28f51e0c7b9a3d4f6e8215c0b7d9": "NTSC (USA)"
    },
    "package": "Starblaze-package.zip",
    "repo": "https://github.com/starblaze-port/starblaze.git",
    "branch": "main",
    "toolchain": "https://raw.githubusercontent.com/starblaze-port/starblaze/main/launcher/toolchain.json"
})json";
    return text;
}

}  // namespace launcher
