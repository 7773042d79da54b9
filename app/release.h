#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace launcher {

class Http;
struct GameDefinition;

// A published launcher release.
struct Release {
    std::string tag_name;
    std::string name;
    std::string body;
    std::string html_url;
    std::string download_url;
    std::string sha256;
    uint64_t size = 0;
};

// Where the code host lives: the web prefix that repository addresses begin with and the REST base.
// The public host by default; tests point both at their loopback server.
struct CodeHost {
    std::string web = "https://github.com/";
    std::string api = "https://api.github.com";
};
CodeHost& CodeHostConfig();

std::vector<uint32_t> ParseVersionTag(const std::string& tag);
bool IsVersionTag(const std::string& tag);
int CompareVersionTags(const std::string& a, const std::string& b);
std::string LatestReleaseApiUrl(const std::string& repository);
// The member's text when `json` is an object holding `key` as a string; otherwise an empty text.
std::string StringOrEmpty(const nlohmann::json& json, const std::string& key);
// A set `stop` ends the fetch with "cancelled".
bool FetchLatestRelease(Http& http, const GameDefinition& game, Release& release, std::string& err,
                        const std::atomic<bool>* stop);

}  // namespace launcher
