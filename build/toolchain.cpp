#include "build/toolchain.h"

#include <map>
#include <set>

#include "build/entry_map.h"
#include "platform/json_fields.h"
#include "platform/transfer.h"
#include "platform/zip.h"

namespace launcher {

namespace {

using nlohmann::json;

constexpr const char* kDefaultChannel = "https://aka.ms/vs/17/release/channel";
constexpr const char* kManifestItem = "Microsoft.VisualStudio.Manifests.VisualStudio";

json Parse(const std::string& text) {
    return json::parse(text, nullptr, false, false);
}

bool IsAsciiAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// One FileRef per payload of a manifest package.
bool ReadPayloads(const json& package, const std::string& id, std::vector<FileRef>& files, std::string& err) {
    const std::string where = "the Visual Studio manifest: package " + id;
    JsonFields fields(package, where);
    const json& payloads = fields.List("payloads");
    if (fields.Failed(err)) return false;
    for (const json& payload : payloads) {
        if (!payload.is_object()) {
            err = where + ": a payload is not an object";
            return false;
        }
        JsonFields item(payload, where);
        FileRef file;
        file.url = item.Text("url", "");
        file.sha256 = ToLowerMove(item.Text("sha256", ""));
        file.size = item.Count("size");
        file.name = item.Text("fileName", "");
        if (item.Failed(err)) return false;
        const size_t cut = file.name.find_last_of("\\/");
        if (cut != std::string::npos) file.name.erase(0, cut + 1);
        files.push_back(std::move(file));
    }
    return true;
}

// Replaces every "{v}" by `version`, going on after each inserted version.
std::string WithVersion(std::string text, const std::string& version) {
    for (size_t at = text.find("{v}"); at != std::string::npos; at = text.find("{v}", at + version.size())) {
        text.replace(at, 3, version);
    }
    return text;
}

}  // namespace

bool IsPlainName(const std::string& name) {
    if (!IsSafeEntryPath(name) || name.find_first_of("/\\") != std::string::npos) return false;
    if (name.find('\0') != std::string::npos) return false;
    // "." is the folder itself, and Windows drops trailing dots and blanks: ". " is "." there.
    return name.find_first_not_of(". ") != std::string::npos;
}

bool IsPlainVersion(const std::string& version) {
    if (!IsPlainName(version)) return false;
    for (char c : version) {
        if (!IsAsciiAlphanumeric(c) && c != '.' && c != '-' && c != '_') return false;
    }
    return true;
}

bool ReadToolchain(const std::string& text, std::vector<Tool>& tools, std::string& err) {
    if (!JsonWithinBounds(text, "toolchain.json", err)) return false;
    json doc = Parse(text);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("tools")) {
        err = "toolchain.json is not readable";
        return false;
    }
    const json& list = doc["tools"];
    if (!list.is_array()) {
        err = "toolchain.json: \"tools\" is not a list";
        return false;
    }
    for (const json& entry : list) {
        if (!entry.is_object()) {
            err = "toolchain.json: a tool is not an object";
            return false;
        }
        JsonFields fields(entry, "toolchain.json: tool");
        Tool tool;
        tool.id = fields.Text("id", "");
        JsonFields named(entry, "toolchain.json: tool " + tool.id);
        tool.title = named.Text("title", tool.id);
        tool.kind = named.Text("kind", "zip");
        tool.strip = named.SmallInteger("strip");
        tool.optional = named.Flag("optional");
        if (named.Has("keep")) tool.keep = named.Texts("keep");
        FileRef file;
        file.url = named.Text("url", "");
        file.sha256 = ToLowerMove(named.Text("sha256", ""));
        file.size = named.Count("size");
        if (fields.Failed(err) || named.Failed(err)) return false;
        const size_t slash = file.url.rfind('/');
        file.name = PercentDecode(slash == std::string::npos ? file.url : file.url.substr(slash + 1));
        tool.stamp = file.sha256;
        for (const std::string& pattern : tool.keep) tool.stamp += " " + pattern;
        tool.files.push_back(std::move(file));

        if (tool.id.empty() || tool.files[0].url.empty() || tool.files[0].sha256.size() != 64) {
            err = "toolchain.json: tool " + tool.id + " needs an id, a url and a sha256";
            return false;
        }
        // The id names the tool's folder, which an install empties first: it must stay inside "tools".
        if (!IsPlainName(tool.id)) {
            err = "toolchain.json: tool " + tool.id + " needs an id that is a plain folder name";
            return false;
        }
        tools.push_back(std::move(tool));
    }
    return true;
}

bool ResolveMsvcAndSdk(Http& http, const std::string& text, Toolchain& toolchain, std::string& err,
                       const std::atomic<bool>* stop) {
    if (!JsonWithinBounds(text, "toolchain.json", err)) return false;
    json doc = Parse(text);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("msvc") || !doc.contains("sdk")) {
        err = "toolchain.json has no msvc or sdk entry";
        return false;
    }
    JsonFields top(doc, "toolchain.json");
    const json* msvcEntry = top.Object("msvc");
    const json* sdkEntry = top.Object("sdk");
    if (top.Failed(err)) return false;
    if (!msvcEntry || !sdkEntry) {  // null
        err = "toolchain.json has no msvc or sdk entry";
        return false;
    }
    JsonFields msvc(*msvcEntry, "toolchain.json: msvc");
    const std::string channelUrl = msvc.Text("channel", kDefaultChannel);
    const std::string msvcVersion = msvc.Text("version", "");
    const std::vector<std::string> packageIds = msvc.Texts("packages");
    JsonFields sdk(*sdkEntry, "toolchain.json: sdk");
    const std::string sdkPackage = sdk.Text("package", "");
    const std::string sdkVersion = sdk.Text("version", "");
    const std::vector<std::string> msis = sdk.Texts("msis");
    if (msvc.Failed(err) || sdk.Failed(err)) return false;
    // The version names the SDK's folders and enters the build's PATH, INCLUDE and LIB.
    if (!sdkVersion.empty() && !IsPlainVersion(sdkVersion)) {
        err = "toolchain.json: sdk: \"version\" is not a plain folder name";
        return false;
    }

    std::string buffer;
    std::string fetchErr;
    if (!FetchText(http, channelUrl, buffer, fetchErr, stop)) {
        err = fetchErr == "cancelled" ? fetchErr : "Visual Studio channel: " + fetchErr;
        return false;
    }
    std::string manifestUrl;
    {
        if (!JsonWithinBounds(buffer, "the Visual Studio channel", err)) return false;
        json channel = Parse(buffer);
        if (channel.is_discarded()) {
            err = "the Visual Studio channel lists no package manifest";
            return false;
        }
        const std::string where = "the Visual Studio channel";
        JsonFields fields(channel, where);
        const json& items = fields.List("channelItems");
        if (fields.Failed(err)) return false;
        // Every manifest item is looked at; the last one wins.
        for (const json& item : items) {
            if (!item.is_object()) {
                err = where + ": an item is not an object";
                return false;
            }
            JsonFields itemFields(item, where);
            const bool manifestItem = itemFields.Text("id", "") == kManifestItem && itemFields.Has("payloads");
            if (itemFields.Failed(err)) return false;
            if (!manifestItem) continue;
            const json& payloads = itemFields.List("payloads");
            if (itemFields.Failed(err)) return false;
            manifestUrl.clear();  // an item without payloads gives no address
            if (payloads.empty()) continue;
            if (!payloads[0].is_object()) {
                err = where + ": a payload is not an object";
                return false;
            }
            JsonFields payload(payloads[0], where);
            manifestUrl = payload.Text("url", "");
            if (payload.Failed(err)) return false;
        }
    }
    if (manifestUrl.empty()) {
        err = "the Visual Studio channel lists no package manifest";
        return false;
    }

    if (!FetchText(http, manifestUrl, buffer, fetchErr, stop)) {
        err = fetchErr == "cancelled" ? fetchErr : "Visual Studio manifest: " + fetchErr;
        return false;
    }
    if (!JsonWithinBounds(buffer, "the Visual Studio manifest", err)) return false;
    json manifest = Parse(buffer);
    std::string().swap(buffer);  // the manifest is large; its text goes now
    if (manifest.is_discarded() || !manifest.is_object() || !manifest.contains("packages")) {
        err = "the Visual Studio manifest is not readable";
        return false;
    }
    JsonFields manifestFields(manifest, "the Visual Studio manifest");
    const json& packages = manifestFields.List("packages");
    if (manifestFields.Failed(err)) return false;

    // Lower-cased id to package, for the packages of this machine's kind and language; the first wins.
    std::map<std::string, const json*> index;
    for (const json& package : packages) {
        if (!package.is_object()) {
            err = "the Visual Studio manifest: a package is not an object";
            return false;
        }
        JsonFields fields(package, "the Visual Studio manifest: a package");
        const std::string chip = ToLowerMove(fields.Text("chip", ""));
        const std::string language = ToLowerMove(fields.Text("language", ""));
        std::string id = ToLowerMove(fields.Text("id", ""));
        if (fields.Failed(err)) return false;
        if (!chip.empty() && chip != "x64" && chip != "neutral") continue;
        if (!language.empty() && language != "neutral" && language != "en-us") continue;
        index.emplace(std::move(id), &package);
    }

    Tool msvcTool;
    msvcTool.id = "msvc";
    msvcTool.kind = "vsix";
    msvcTool.title = "Microsoft C++ libraries " + msvcVersion;
    for (const std::string& written : packageIds) {
        const std::string id = WithVersion(written, msvcVersion);
        auto found = index.find(LowerAscii(id));
        if (found == index.end()) {
            err = "the Visual Studio manifest has no " + id;
            return false;
        }
        std::vector<FileRef> payloads;
        if (!ReadPayloads(*found->second, id, payloads, err)) return false;
        for (size_t i = 0; i < payloads.size(); ++i) {
            // A second payload of one package must not land on the first one's file.
            payloads[i].name = id + (i == 0 ? "" : "-" + std::to_string(i + 1)) + ".vsix";
            msvcTool.files.push_back(std::move(payloads[i]));
        }
    }
    msvcTool.stamp = msvcVersion;

    Tool sdkTool;
    sdkTool.id = "winsdk";
    sdkTool.kind = "msi";
    sdkTool.title = "Windows SDK " + sdkVersion;
    auto sdkFound = index.find(LowerAscii(sdkPackage));
    if (sdkFound == index.end()) {
        err = "the Visual Studio manifest has no " + sdkPackage;
        return false;
    }
    std::vector<FileRef> payloads;
    if (!ReadPayloads(*sdkFound->second, sdkPackage, payloads, err)) return false;
    std::set<std::string> wanted;
    for (const std::string& msi : msis) wanted.insert(LowerAscii(msi));
    for (FileRef& payload : payloads) {
        const std::string lower = LowerAscii(payload.name);
        if (wanted.count(lower)) {
            sdkTool.files.push_back(std::move(payload));
        } else if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".cab") == 0) {
            sdkTool.cabs.push_back(std::move(payload));
        }
    }
    if (sdkTool.files.size() != wanted.size()) {
        err = "the Windows SDK package lacks some of its installers (" + std::to_string(sdkTool.files.size()) + " of " +
              std::to_string(wanted.size()) + ")";
        return false;
    }
    sdkTool.stamp = sdkPackage;
    for (const FileRef& file : sdkTool.files) sdkTool.stamp += " " + file.name;

    toolchain.sdkVersion = sdkVersion;
    toolchain.tools.push_back(std::move(msvcTool));
    toolchain.tools.push_back(std::move(sdkTool));
    return true;
}

std::vector<std::string> CabNamesInMsi(const std::string& bytes) {
    auto lowerHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    std::set<std::string> names;
    for (size_t i = 32; i + 4 <= bytes.size(); ++i) {
        if (bytes.compare(i, 4, ".cab") != 0) continue;
        bool hex = true;
        for (size_t j = i - 32; j < i && hex; ++j) hex = lowerHex(bytes[j]);
        if (hex) names.insert(bytes.substr(i - 32, 36));
    }
    return std::vector<std::string>(names.begin(), names.end());
}

uint64_t ToolDownloadSize(const Tool& tool) {
    uint64_t sum = 0;
    for (const FileRef& file : tool.files) sum = AddSizes(sum, file.size);
    for (const FileRef& file : tool.cabs) sum = AddSizes(sum, file.size);
    return sum;
}

const std::string& BuiltinToolchainJson() {
    // The two longest addresses are cut in two literals so that lines stay short; the text has them whole.
    static const std::string text = R"json({
    "tools": [
        {
            "id": "llvm",
            "title": "Clang 19.1.7",
            "kind": "tar.xz",
            "url": "https://github.com/llvm/llvm-project/releases/download/llvmorg-19.1.7/)json"
                                                          R"json(clang%2Bllvm-19.1.7-x86_64-pc-windows-msvc.tar.xz",
            "sha256": "b4557b4f012161f56a2f5d9e877ab9635cafd7a08f7affe14829bd60c9d357f0",
            "size": 845236708,
            "strip": 1,
            "keep": [
                "bin/clang.exe",
                "bin/clang++.exe",
                "bin/clang-cl.exe",
                "bin/lld-link.exe",
                "bin/lld.exe",
                "bin/llvm-ar.exe",
                "bin/llvm-lib.exe",
                "bin/llvm-rc.exe",
                "bin/llvm-mt.exe",
                "bin/llvm-ranlib.exe",
                "bin/api-ms-win-*.dll",
                "bin/ucrtbase.dll",
                "bin/msvcp140*.dll",
                "bin/vcruntime140*.dll",
                "bin/concrt140.dll",
                "lib/clang/"
            ]
        },
        {
            "id": "cmake",
            "title": "CMake 3.31.12",
            "url": "https://github.com/Kitware/CMake/releases/download/v3.31.12/cmake-3.31.12-windows-x86_64.zip",
            "sha256": "0c4baa40f28b3f8225eb3fdf6946c987b4fe901403b4eaf2fbbd9378100aaa0c",
            "size": 46666397,
            "strip": 1,
            "keep": [
                "bin/",
                "share/"
            ]
        },
        {
            "id": "ninja",
            "title": "Ninja 1.13.2",
            "url": "https://github.com/ninja-build/ninja/releases/download/v1.13.2/ninja-win.zip",
            "sha256": "07fc8261b42b20e71d1720b39068c2e14ffcee6396b76fb7a795fb460b78dc65",
            "size": 291570
        },
        {
            "id": "git",
            "title": "MinGit 2.56.0",
            "url": "https://github.com/git-for-windows/git/releases/download/v2.56.0.windows.2/)json"
                                                                           R"json(MinGit-2.56.0.2-busybox-64-bit.zip",
            "sha256": "a8a9172a6747926648b78a3411f3b94813dd22da8a8ec5dbe61122bc414edd63",
            "size": 35287516
        }
    ],
    "msvc": {
        "channel": "https://aka.ms/vs/17/release/channel",
        "version": "14.44.17.14",
        "packages": [
            "Microsoft.VC.{v}.CRT.Headers.base",
            "Microsoft.VC.{v}.CRT.x64.Desktop.base",
            "Microsoft.VC.{v}.CRT.x64.Store.base",
            "Microsoft.VC.{v}.CRT.Source.base"
        ]
    },
    "sdk": {
        "package": "Win11SDK_10.0.26100",
        "version": "10.0.26100.0",
        "msis": [
            "Windows SDK Desktop Headers x64-x86_en-us.msi",
            "Windows SDK Desktop Libs x64-x86_en-us.msi",
            "Universal CRT Headers Libraries and Sources-x86_en-us.msi",
            "Windows SDK for Windows Store Apps Headers-x86_en-us.msi",
            "Windows SDK for Windows Store Apps Libs-x86_en-us.msi",
            "Windows SDK OnecoreUap Headers x64-x86_en-us.msi",
            "Windows SDK Desktop Headers x86-x86_en-us.msi",
            "Windows SDK OnecoreUap Headers x86-x86_en-us.msi",
            "Windows SDK for Windows Store Apps Headers OnecoreUap-x86_en-us.msi",
            "Windows SDK Desktop Tools x64-x86_en-us.msi"
        ]
    }
})json";
    return text;
}

}  // namespace launcher
