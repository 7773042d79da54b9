#include "game/settings.h"

#include <chrono>
#include <iterator>
#include <thread>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "build/tools.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/plain_file.h"

namespace launcher {

namespace fs = std::filesystem;

std::string DumpSettings(const nlohmann::json& doc) {
    // A path that is not valid UTF-8 (possible on POSIX) must not make the dump throw.
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ReadStringKey(const fs::path& file, const char* key) {
    std::string text;
    if (!ReadWholeFile(file, text)) return "";
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return "";
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string()) return "";
    return it->get<std::string>();
}

namespace {

constexpr char kSettingsName[] = "launcher.json";

// A virus scanner or a second launcher may hold a settings file for a moment, often right after it
// was written: a read or a rename that fails is tried again after each of these pauses (about a
// second in all) before the update gives up. The first attempt does not wait.
constexpr int kRetryPausesMs[] = {50, 100, 250, 500};

void PauseBeforeRetry(size_t attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPausesMs[attempt]));
}

// The whole file; false with `missing` set when there is no file, false with it cleared when the file
// stayed unreadable through the retries.
bool ReadSettingsText(const fs::path& file, std::string& text, bool& missing, const SettingsFileCalls& calls) {
    for (size_t attempt = 0;; ++attempt) {
        if (calls.read ? calls.read(file, text) : ReadWholeFile(file, text)) return true;
        missing = !EntryExists(file);
        if (missing || attempt == std::size(kRetryPausesMs)) return false;
        PauseBeforeRetry(attempt);
    }
}

bool WriteSettings(const fs::path& file, const nlohmann::json& doc, const SettingsFileCalls& calls,
                   std::string& err) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    fs::path temporary = file;
    temporary += ".new";
    // Made new, never written through a link standing at its name.
    std::string why;
    if (!WritePlainFile(temporary, DumpSettings(doc), why)) {
        RemovePlainFile(temporary, why);
        err = "cannot write " + PathUtf8(temporary);
        return false;
    }
    std::string moveError;
    for (size_t attempt = 0;; ++attempt) {
        if (calls.move ? calls.move(temporary, file, moveError) : MoveReplacing(temporary, file, moveError)) {
            return true;
        }
        if (attempt == std::size(kRetryPausesMs)) break;
        PauseBeforeRetry(attempt);
    }
    RemovePlainFile(temporary, why);
    err = "cannot replace it: " + moveError;
    return false;
}

}  // namespace

bool WriteSettingsFile(const fs::path& file, const nlohmann::json& doc) {
    std::string err;
    return WriteSettings(file, doc, {}, err);
}

bool UpdateSettingsFile(const fs::path& file, const std::string& key, const std::string& value, std::string& err,
                        const SettingsFileCalls& calls) {
    nlohmann::json doc = nlohmann::json::object();
    std::string text;
    bool missing = false;
    if (ReadSettingsText(file, text, missing, calls)) {
        doc = nlohmann::json::parse(text, nullptr, false);
        if (!doc.is_object()) doc = nlohmann::json::object();
    } else if (!missing) {
        err = "it exists but cannot be read";
        return false;
    }
    doc[key] = value;
    return WriteSettings(file, doc, calls, err);
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
    std::string err;
    if (!UpdateSettingsFile(file, key, value, err)) {
        Log("settings: could not update " + PathUtf8(file) + " (" + err + "), \"" + key + "\" is not saved");
    }
}

std::string Builder::ReadBuilt() const {
    return ReadStringKey(root / kSettingsName, "built");
}

}  // namespace launcher
