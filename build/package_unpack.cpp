#include <fstream>
#include <vector>

#include "build/package.h"
#include "build/tools.h"
#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/zip.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUnpackTitle = "Unpacking the game's package";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsTopLevelToml(const std::string& lower) {
    return lower.size() >= 6 && lower.compare(lower.size() - 5, 5, ".toml") == 0 &&
           lower.find('/') == std::string::npos;
}

bool IsUsersFolder(const std::string& lower) {
    for (const char* name : {"hdd", "assets", "screenshots", "captures"}) {
        if (lower == name) return true;
    }
    return false;
}

std::string MessageOf(const std::error_code& ec) {
    std::string text = ec.message();
    return text.empty() ? "unknown error" : text;
}

}  // namespace

bool WriteStamp(const fs::path& path, const std::string& stamp) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(stamp.data(), static_cast<std::streamsize>(stamp.size()));
    out.close();
    return !out.fail();
}

std::string PackageEntryName(const std::string& entry) {
    std::string name = StartsWith(entry, "./") ? entry.substr(2) : entry;
    std::string lower = LowerAscii(name);
    // The user's own files in the play folder: never brought by a package.
    for (const char* prefix : {"hdd/", "assets/", "logs/", "screenshots/", "captures/", "compiler/work/"}) {
        if (StartsWith(lower, prefix)) return "";
    }
    if (name.find("..") != std::string::npos) return "";
    if (name.empty() || name[0] == '/' || name.find(':') != std::string::npos) return "";
    if (IsTopLevelToml(lower)) return "";
    return name;
}

bool UnpackPackage(Builder& builder, const fs::path& unpackDir, std::error_code& ec, const fs::path& package,
                   std::string& err) {
    builder.Report(kUnpackTitle, "", 0);
    fs::create_directories(unpackDir, ec);  // a folder that cannot be made fails the first write
    ProgressSink progress = [&builder](uint64_t done, uint64_t total) {
        builder.Report(kUnpackTitle, "", total != 0 ? static_cast<double>(done) / static_cast<double>(total) : -1);
    };
    return ExtractZip(package, unpackDir, PackageEntryName, progress, &builder.stop, err);
}

bool PutGameInPlace(Builder& builder, const fs::path& unpackDir, std::error_code& ec, std::string& err) {
    const fs::path play = builder.PlayDir();
    // Listed whole first: moving entries out of a folder while it is being read may skip some.
    std::vector<fs::directory_entry> entries;
    fs::directory_iterator it(unpackDir, ec);
    if (ec) return true;  // nothing to put in place

    // The package's stamp is the install marker: it leaves the unpack folder before anything moves
    // (the folder no longer holds a whole package then) and reaches the play folder only after
    // everything else, so a half-finished move is never taken for an installed or unpacked package.
    std::string stamp;
    std::error_code stampError;
    bool stamped = ReadWholeFile(unpackDir / kStampName, stamp);
    fs::remove(play / kStampName, stampError);
    fs::remove(unpackDir / kStampName, stampError);
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        entries.push_back(*it);
    }
    if (ec) {
        err = "Could not read the unpacked game in " + PathUtf8(unpackDir) + ": " + MessageOf(ec);
        return false;
    }

    for (const fs::directory_entry& entry : entries) {
        const fs::path name = entry.path().filename();
        if (name == kStampName) continue;
        const std::string lname = LowerAscii(PathUtf8(name));
        // The play folder's logs and settings stay the user's.
        if (lname == "logs" || (lname.size() >= 6 && lname.compare(lname.size() - 5, 5, ".toml") == 0)) continue;
        // So do the saves, the captures and the link to the user's copy of the game: the game's program
        // may make these folders in the unpack folder while it runs there, and moving such a folder in
        // would delete the user's one (and, through a junction, the user's game files).
        if (IsUsersFolder(lname)) continue;
        const fs::path dest = play / name;
        // A package's own ".next" would land on the unpack folder itself.
        std::error_code same;
        if (fs::equivalent(dest, unpackDir, same)) continue;
        std::error_code status;
        if (entry.is_directory(status)) {
            // A folder replaces what stands there whole; a failed removal shows up in the move. A link
            // standing there goes as itself, never with what it leads to.
            std::string removeError;
            RemoveTree(dest, removeError);
        }
        std::string moveError;
        if (!MoveReplacing(entry.path(), dest, moveError)) {
            err = "Could not put " + PathUtf8(name) + " in place (is the game still running?): " + moveError;
            return false;
        }
    }
    if (stamped) WriteStamp(play / kStampName, stamp);  // a lost marker only means a new install next time
    return true;
}

}  // namespace launcher
