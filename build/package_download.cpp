#include <nlohmann/json.hpp>

#include "app/release.h"
#include "build/package.h"
#include "build/tools.h"
#include "platform/paths.h"
#include "platform/transfer.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDownloadTitle = "Downloading the game's package";

}  // namespace

std::string ReleaseDownloadBase(const std::string& repo, const std::string& tag) {
    std::string base = repo;
    if (base.size() >= 5 && base.compare(base.size() - 4, 4, ".git") == 0) base.resize(base.size() - 4);
    return base + "/releases/download/" + tag + "/";
}

bool Builder::DownloadPackage(const std::string& name, std::string& err, std::string& sha256,
                              const fs::path& downloads, fs::path& package) {
    // A release launcher takes the package of its own release; a development build the latest one.
    std::string tag = game.version;
    if (!IsVersionTag(tag)) {
        Release latest;
        std::string why;
        if (!FetchLatestRelease(*http, game, latest, why, &stop)) {
            err = why == "cancelled" ? why : "Could not find the game's package: " + why;
            return false;
        }
        tag = latest.tag_name;
    }
    const std::string base = ReleaseDownloadBase(game.repo, tag);

    std::string text;
    std::string why;
    if (!FetchText(*http, base + name + ".json", text, why, &stop)) {
        err = why == "cancelled" ? why : "Could not find the game's package for " + tag + ": " + why;
        return false;
    }
    nlohmann::json description = nlohmann::json::parse(text, nullptr, false);
    // Without a digest the download would be taken unchecked, whatever arrived.
    auto digest = description.is_object() ? description.find("sha256") : description.end();
    if (!description.is_object() || digest == description.end() || !digest->is_string() ||
        digest->get<std::string>().empty()) {
        err = "The package's description for " + tag + " could not be read.";
        return false;
    }
    sha256 = digest->get<std::string>();
    uint64_t size = 0;
    auto sizeValue = description.find("size");
    if (sizeValue != description.end() && sizeValue->is_number_unsigned()) size = sizeValue->get<uint64_t>();

    std::error_code ec;
    fs::create_directories(downloads, ec);
    package = downloads / Utf8Path(name);

    // No download for a package that is already unpacked, or already installed and complete.
    std::string stamp;
    if (ReadWholeFile(PlayDir() / ".next" / kStampName, stamp) && stamp == sha256) return true;
    if (ReadWholeFile(PlayDir() / kStampName, stamp) && stamp == sha256 && IsInstalled()) return true;

    Report(kDownloadTitle, "", 0);
    ProgressSink progress = [this, size](uint64_t done, uint64_t) {
        Report(kDownloadTitle, FormatSize(done) + " of " + FormatSize(size),
               size > 0 ? static_cast<double>(done) / static_cast<double>(size) : -1);
    };
    return Download(*http, base + name, package, sha256, size, progress, &stop, err);
}

}  // namespace launcher
