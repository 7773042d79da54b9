#include "app/release.h"

#include <nlohmann/json.hpp>

#include "game/game_definition.h"
#include "platform/transfer.h"

namespace launcher {

CodeHost& CodeHostConfig() {
    static CodeHost host;
    return host;
}

std::vector<uint32_t> ParseVersionTag(const std::string& tag) {
    if (tag.size() < 2 || (tag[0] != 'v' && tag[0] != 'V') || tag[1] < '0' || tag[1] > '9') return {};
    std::vector<uint32_t> numbers;
    uint64_t value = 0;
    bool inGroup = false;
    for (size_t i = 1; i < tag.size(); ++i) {
        const char c = tag[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint64_t>(c - '0');
            // A group past 32 bits cannot be a version number of ours; wrapping would misorder it.
            if (value > UINT32_MAX) return {};
            inGroup = true;
        } else if (c == '.' && inGroup) {
            numbers.push_back(static_cast<uint32_t>(value));
            value = 0;
            inGroup = false;
        } else {
            return {};
        }
    }
    if (!inGroup) return {};
    numbers.push_back(static_cast<uint32_t>(value));
    return numbers;
}

bool IsVersionTag(const std::string& tag) { return !ParseVersionTag(tag).empty(); }

int CompareVersionTags(const std::string& a, const std::string& b) {
    const std::vector<uint32_t> x = ParseVersionTag(a);
    const std::vector<uint32_t> y = ParseVersionTag(b);
    if (x.empty() || y.empty()) return static_cast<int>(!x.empty()) - static_cast<int>(!y.empty());
    const size_t n = x.size() > y.size() ? x.size() : y.size();
    for (size_t i = 0; i < n; ++i) {
        const uint32_t p = i < x.size() ? x[i] : 0;
        const uint32_t q = i < y.size() ? y[i] : 0;
        if (p != q) return p < q ? -1 : 1;
    }
    return 0;
}

std::string LatestReleaseApiUrl(const std::string& repository) {
    const CodeHost& host = CodeHostConfig();
    if (repository.compare(0, host.web.size(), host.web) != 0) return {};
    std::string path = repository.substr(host.web.size());
    if (path.size() >= 5 && path.compare(path.size() - 4, 4, ".git") == 0) path.resize(path.size() - 4);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty() || path.find('/') == std::string::npos) return {};
    return host.api + "/repos/" + path + "/releases/latest";
}

std::string StringOrEmpty(const nlohmann::json& json, const std::string& key) {
    if (!json.is_object()) return {};
    auto it = json.find(key);
    if (it == json.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

bool FetchLatestRelease(Http& http, const GameDefinition& game, Release& release, std::string& err,
                        const std::atomic<bool>* stop) {
    const std::string url = LatestReleaseApiUrl(game.repo);
    if (url.empty()) {
        err = "the game's repository is not on GitHub";
        return false;
    }
    std::string text;
    if (!FetchText(http, url, text, err, stop)) return false;
    const nlohmann::json answer = nlohmann::json::parse(text, nullptr, false);
    if (!answer.is_object() || !answer.contains("tag_name")) {
        err = "no published release";
        return false;
    }

    Release found;
    found.tag_name = StringOrEmpty(answer, "tag_name");
    found.name = StringOrEmpty(answer, "name");
    found.body = StringOrEmpty(answer, "body");
    found.html_url = StringOrEmpty(answer, "html_url");

    const std::string wanted = game.shortName + "Launcher.exe";
    auto assets = answer.find("assets");
    if (assets != answer.end() && assets->is_array()) {
        for (const nlohmann::json& asset : *assets) {
            if (!asset.is_object() || StringOrEmpty(asset, "name") != wanted) continue;
            found.download_url = StringOrEmpty(asset, "browser_download_url");
            found.size = 0;
            auto size = asset.find("size");
            if (size != asset.end() && size->is_number_unsigned()) {
                found.size = size->get<uint64_t>();
            } else if (size != asset.end() && size->is_number_integer() && size->get<int64_t>() >= 0) {
                found.size = static_cast<uint64_t>(size->get<int64_t>());
            }
            const std::string digest = StringOrEmpty(asset, "digest");
            if (digest.size() >= 7 && digest.compare(0, 7, "sha256:") == 0) found.sha256 = digest.substr(7);
        }
    }

    // A release without a usable tag cannot be compared with ours, so it is no release to offer.
    if (found.tag_name.empty()) {
        err = "no published release";
        return false;
    }
    release = std::move(found);
    return true;
}

}  // namespace launcher
