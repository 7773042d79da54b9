#include "game/game_choice.h"

#include <fstream>

#include "game/disc_image.h"
#include "platform/ascii.h"
#include "platform/paths.h"
#include "platform/sha.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// The whole of a regular file; false for a folder or anything that cannot be read.
bool ReadRegularFile(const fs::path& file, std::vector<unsigned char>& bytes) {
    std::error_code ec;
    if (fs::is_directory(file, ec)) return false;
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<unsigned char> data;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        data.insert(data.end(), buffer, buffer + in.gcount());
    }
    if (in.bad()) return false;
    bytes = std::move(data);
    return true;
}

}  // namespace

bool ReadXbe(const std::string& name, const SelectedGame& copy, std::vector<unsigned char>& bytes,
             std::string& err) {
    if (copy.isImage) {
        DiscImage image;
        if (!image.Open(copy.path, err)) return false;
        if (!image.ReadFile(name, bytes)) {
            err = "the disc image has no " + name;
            return false;
        }
        return true;
    }
    std::error_code ec;
    fs::path file = copy.path / Utf8Path(name);
    if (!fs::exists(fs::symlink_status(file, ec))) {
        // Discs copied by hand keep whatever letter case the copying tool chose.
        file.clear();
        std::string wanted = LowerAscii(name);
        for (fs::directory_iterator it(copy.path, ec), end; !ec && it != end; it.increment(ec)) {
            if (LowerAscii(PathUtf8(it->path().filename())) == wanted) {
                file = it->path();
                break;
            }
        }
    }
    if (file.empty() || !ReadRegularFile(file, bytes)) {
        err = "there is no " + name + " in " + PathUtf8(copy.path);
        return false;
    }
    return true;
}

bool ReadXbe(const GameDefinition& game, const SelectedGame& copy, std::vector<unsigned char>& bytes,
             std::string& err) {
    return ReadXbe(game.xbe, copy, bytes, err);
}

SelectedGame ChooseGame(const GameDefinition& game, const fs::path& chosen) {
    SelectedGame result;
    std::error_code ec;
    fs::path absolute = fs::absolute(chosen, ec);
    if (ec) absolute = chosen;

    if (fs::is_directory(absolute, ec)) {
        result.path = absolute;
    } else if (LowerAscii(PathUtf8(absolute.extension())) == ".iso") {
        result.path = absolute;
        result.isImage = true;
    } else if (LowerAscii(PathUtf8(absolute.filename())) == LowerAscii(game.xbe)) {
        result.path = absolute.parent_path();
    } else {
        result.message = "Choose the game's disc image (.iso), or the folder with its files (" + game.xbe + ").";
        return result;
    }

    std::vector<unsigned char> xbe;
    std::string err;
    if (!ReadXbe(game, result, xbe, err)) {
        result.message = result.isImage ? "This is not an Xbox disc image of " + game.title + ": " + err : err;
        return result;
    }
    Sha1 sha;
    Init(sha);
    Update(sha, xbe.data(), xbe.size());
    result.sha1 = FinalHex(sha);

    auto release = game.releases.find(result.sha1);
    if (release == game.releases.end()) {
        result.message = "This copy's " + game.xbe + " is not one this port supports (SHA-1 " + result.sha1 +
                         "). It needs an unmodified disc of " + game.title + ".";
        return result;
    }
    if (!result.isImage) {
        size_t entries = 0;
        for (fs::directory_iterator it(result.path, ec), end; !ec && it != end; it.increment(ec)) ++entries;
        if (entries < 3) {
            result.message = "The folder holds " + game.xbe + " but not the rest of the disc's files.";
            return result;
        }
    }
    result.release = release->second;
    result.ok = true;
    return result;
}

}  // namespace launcher
