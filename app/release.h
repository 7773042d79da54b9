#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

std::vector<uint32_t> ParseVersionTag(const std::string& tag);
bool IsVersionTag(const std::string& tag);
int CompareVersionTags(const std::string& a, const std::string& b);
std::string LatestReleaseApiUrl(const std::string& repository);
bool FetchLatestRelease(Http& http, const GameDefinition& game, Release& release, std::string& err);

}  // namespace launcher
