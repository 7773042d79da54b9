#include "game/settings.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "build/tools.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr char kSettingsName[] = "launcher.json";

// The string under `key` of a settings file; empty when anything about it is not as expected.
std::string ReadStringKey(const fs::path& file, const char* key) {
    std::string text;
    if (!ReadWholeFile(file, text)) return "";
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return "";
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string()) return "";
    return it->get<std::string>();
}

}  // namespace

std::string DumpSettings(const nlohmann::json& doc) {
    // A path that is not valid UTF-8 (possible on POSIX) must not make the dump throw.
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool WriteSettingsFile(const fs::path& file, const nlohmann::json& doc) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    fs::path temporary = file;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << DumpSettings(doc);
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            return false;
        }
    }
    std::string err;
    if (!MoveReplacing(temporary, file, err)) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

fs::path ReadGameKey(const fs::path& file) {
    return Utf8Path(ReadStringKey(file, "game"));
}

fs::path Builder::SettingsPath() const {
    fs::path base;
    if (std::string local = platform->GetEnv("LOCALAPPDATA"); !local.empty()) {
        base = Utf8Path(local);
    } else if (std::string xdg = platform->GetEnv("XDG_DATA_HOME"); !xdg.empty()) {
        base = Utf8Path(xdg);
    } else if (std::string home = platform->GetEnv("HOME"); !home.empty()) {
        base = Utf8Path(home) / ".local" / "share";
    } else {
        return {};
    }
    return base / Utf8Path(game.shortName) / kSettingsName;
}

fs::path Builder::LocateGame(bool* foundElsewhere) const {
    if (foundElsewhere) *foundElsewhere = false;
    if (fs::path own = ReadGameKey(root / kSettingsName); !own.empty()) return own;

    std::vector<fs::path> candidates;
    if (fs::path perUser = SettingsPath(); !perUser.empty()) candidates.push_back(perUser);

    std::error_code ec;
    fs::path data = fs::absolute(root, ec).lexically_normal();
    if (!data.has_filename()) data = data.parent_path();
    fs::path own = data.parent_path();    // the launcher's own folder
    fs::path group = own.parent_path();   // the folder that holds it and its siblings
    if (!group.empty() && group != own) {
        for (fs::directory_iterator it(group, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (!it->is_directory(typeError) || it->path().filename() == own.filename()) continue;
            candidates.push_back(it->path() / data.filename() / kSettingsName);
        }
    }

    for (const fs::path& candidate : candidates) {
        fs::path game = ReadGameKey(candidate);
        if (game.empty()) continue;
        std::error_code existsError;
        if (!fs::exists(game, existsError)) continue;
        if (foundElsewhere) *foundElsewhere = true;
        return game;
    }
    return {};
}

void Builder::SetSetting(const std::string& key, const std::string& value) {
    const fs::path file = root / kSettingsName;
    nlohmann::json doc = nlohmann::json::object();
    std::string text;
    if (ReadWholeFile(file, text)) {
        doc = nlohmann::json::parse(text, nullptr, false);
        if (!doc.is_object()) doc = nlohmann::json::object();
    }
    doc[key] = value;
    WriteSettingsFile(file, doc);
}

std::string Builder::ReadBuilt() const {
    return ReadStringKey(root / kSettingsName, "built");
}

}  // namespace launcher
