// libFuzzer target for the JSON readers: the game description, the toolchain description, the
// Visual Studio channel and manifest as ResolveMsvcAndSdk fetches them, and ffprobe's answer about a song.
// The first byte of an input chooses the reader; the rest is the text it reads, the other texts being
// sound ones:
//   0  the game description            1  the toolchain description's tools
//   2  the toolchain description's msvc and sdk entries, with a sound channel and manifest
//   3  the channel                     4  the manifest
//   5  ffprobe's answer, cut into lines (its tags are the song file's, anyone's text)
// A reader must answer every text with true, or with false and a sentence; a crash, a throw or a
// false without a sentence is a finding.
//   json_readers_fuzz --write-seeds DIR   writes seed inputs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "build/toolchain.h"
#include "fuzz/seeds.h"
#include "game/game_definition.h"
#include "music/import.h"
#include "platform/http.h"

namespace {

using namespace launcher;

const char* const kChannelUrl = "https://channel.test/channel";
const char* const kManifestUrl = "https://channel.test/manifest";

const std::string kDescription = R"({"tools": [],
  "msvc": {"channel": "https://channel.test/channel", "version": "14.44.17.14",
           "packages": ["Microsoft.VC.{v}.CRT.Headers.base", "Microsoft.VC.{v}.CRT.Source.base"]},
  "sdk": {"package": "Win11SDK_10.0.26100", "version": "10.0.26100.0",
          "msis": ["Windows SDK Desktop Headers x64-x86_en-us.msi", "Windows SDK Desktop Libs x64-x86_en-us.msi"]}})";

const std::string kProbeAnswer = R"({
    "streams": [
        {
            "tags": {
                "title": "Stream \u00e9",
                "ARTIST": "Band"
            }
        }
    ],
    "format": {
        "duration": "2.000000",
        "tags": {
            "title": "A\nduration=98765\nTAG:artist=X"
        }
    }
})";

const std::string kChannel = R"({"channelItems": [
  {"id": "Microsoft.VisualStudio.Product.BuildTools", "payloads": [{"url": "https://x.test/"}]},
  {"id": "Microsoft.VisualStudio.Manifests.VisualStudio", "payloads": [{"url": "https://channel.test/manifest"}]}]})";

const std::string kManifest = R"({"packages": [
  {"id": "Microsoft.VC.14.44.17.14.CRT.Headers.base", "chip": "arm64",
   "payloads": [{"fileName": "a.vsix", "url": "u", "size": 1}]},
  {"id": "microsoft.vc.14.44.17.14.crt.headers.base", "chip": "x64",
   "payloads": [{"fileName": "p\\h.vsix", "url": "u", "sha256": "AB", "size": 100}]},
  {"id": "Microsoft.VC.14.44.17.14.CRT.Source.base", "language": "EN-US",
   "payloads": [{"fileName": "s.vsix", "url": "u", "size": 10}, {"fileName": "t.vsix"}]},
  {"id": "Win11SDK_10.0.26100", "chip": "neutral", "payloads": [
    {"fileName": "Installers\\Windows SDK Desktop Headers x64-x86_en-us.msi", "url": "u", "size": 1000},
    {"fileName": "Installers\\0123456789abcdef0123456789abcdef.cab", "url": "u", "size": 5000},
    {"fileName": "Installers/Windows SDK Desktop Libs x64-x86_en-us.msi", "url": "u", "size": 2000}]}]})";

// Serves the channel and the manifest from memory.
class TextHttp : public Http {
public:
    std::string channel;
    std::string manifest;

    bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total, std::string& err,
             const std::atomic<bool>*, HttpExchange*) override {
        const std::string* body = url == kChannelUrl ? &channel : url == kManifestUrl ? &manifest : nullptr;
        if (!body) {
            err = "nothing at " + url;
            return false;
        }
        if (total) *total = body->size();
        if (from < body->size()) sink(body->data() + from, body->size() - from);
        return true;
    }
};

void Check(bool ok, const std::string& err) {
    if (!ok && err.empty()) std::abort();
}

int WriteSeeds(const std::filesystem::path& dir) {
    const std::pair<char, std::string> seeds[] = {
        {0, BuiltinGameJson()}, {1, BuiltinToolchainJson()},
        {2, kDescription},      {2, BuiltinToolchainJson()},
        {3, kChannel},          {4, kManifest},
        {5, kProbeAnswer},      {5, "[mp3 @ 0x55] Failed to read frame size\n{\n\n}"},
    };
    std::vector<std::string> inputs;
    for (const auto& [mode, text] : seeds) inputs.push_back(std::string(1, mode) + text);
    return fuzz::WriteSeedFiles(dir, inputs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::WriteSeedsIfAsked(*argc, *argv, WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string err;
    switch (data[0]) {
        case 0: {
            GameDefinition game;
            Check(LoadGameDefinition(text, game, err), err);
            break;
        }
        case 1: {
            std::vector<Tool> tools;
            const bool ok = ReadToolchain(text, tools, err);
            Check(ok, err);
            for (const Tool& tool : tools) {
                if (ok && (tool.id.empty() || tool.files.size() != 1 || tool.files[0].sha256.size() != 64))
                    std::abort();
            }
            break;
        }
        case 2:
        case 3:
        case 4: {
            TextHttp http;
            http.channel = data[0] == 3 ? text : kChannel;
            http.manifest = data[0] == 4 ? text : kManifest;
            Toolchain toolchain;
            const bool ok = ResolveMsvcAndSdk(http, data[0] == 2 ? text : kDescription, toolchain, err, nullptr);
            Check(ok, err);
            if (!ok && !toolchain.tools.empty()) std::abort();  // a failure changes nothing
            break;
        }
        case 5: {
            std::vector<std::string> lines;
            for (size_t at = 0; at <= text.size();) {
                const size_t end = std::min(text.find('\n', at), text.size());
                lines.push_back(text.substr(at, end - at));
                at = end + 1;
            }
            const ProbeResult probe = ReadProbeAnswer(lines);
            // What it read goes into the cache and the database, which take UTF-8 only.
            if (!IsValidUtf8(probe.title) || !IsValidUtf8(probe.artist)) std::abort();
            DurationMs(probe.seconds);
            break;
        }
        default:
            CabNamesInMsi(text);
            break;
    }
    return 0;
}
