#include "game/game_definition.h"

#include <nlohmann/json.hpp>

#include "platform/ascii.h"
#include "platform/json_fields.h"

namespace launcher {

namespace {

using nlohmann::json;

// Reads the members of the object `object` into `out` under lower-cased names (a later member wins over
// an earlier one), each value with `read` on a JsonFields of the object; false with a sentence when a
// value has the wrong type.
template <typename Value, typename Read>
bool LowerKeyedMap(const json& object, const std::string& where, std::map<std::string, Value>& out, Read read,
                   std::string& err) {
    JsonFields fields(object, where);
    for (auto member = object.begin(); member != object.end(); ++member) {
        Value value = read(fields, member.key().c_str());
        if (fields.Failed(err)) return false;
        out[LowerAscii(member.key())] = std::move(value);
    }
    return true;
}

std::string ReadText(JsonFields& fields, const char* key) {
    return fields.Text(key, "");
}

std::vector<std::string> ReadTexts(JsonFields& fields, const char* key) {
    return fields.Texts(key);
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

    // A value of the wrong type fails the reading with a sentence that names it.
    JsonFields fields(doc, "game.json");
    game.title = fields.Text("title", "");
    game.shortName = fields.Text("short", "");
    game.exe = fields.Text("exe", game.shortName);
    game.xbe = fields.Text("xbe", "default.xbe");
    game.repo = fields.Text("repo", "");
    game.branch = fields.Text("branch", "main");
    game.toolchain = fields.Text("toolchain", "");
    game.music = fields.Flag("music");
    game.package = fields.Text("package", "");
    if (fields.Failed(err)) return false;
    // Only an object is a package table; anything else under the key is passed over.
    game.packages.clear();
    auto packages = doc.find("packages");
    if (packages != doc.end() && packages->is_object() &&
        !LowerKeyedMap(*packages, "game.json: packages", game.packages, ReadText, err)) {
        return false;
    }

    game.xbes = fields.Has("xbes") ? fields.Texts("xbes") : std::vector<std::string>{game.xbe};
    game.exes = fields.Has("exes") ? fields.Texts("exes") : std::vector<std::string>{game.exe};
    if (fields.Failed(err)) return false;
    if (game.xbes.empty()) game.xbes.push_back(game.xbe);
    if (game.exes.empty()) game.exes.push_back(game.exe);

    game.releases.clear();
    game.releaseXbes.clear();
    const json* releases = fields.Object("releases");
    const json* releaseXbes = fields.Object("release_xbes");
    if (fields.Failed(err)) return false;
    if (releases && !LowerKeyedMap(*releases, "game.json: releases", game.releases, ReadText, err)) return false;
    if (releaseXbes && !LowerKeyedMap(*releaseXbes, "game.json: release_xbes", game.releaseXbes, ReadTexts, err)) {
        return false;
    }

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
