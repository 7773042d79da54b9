#include <algorithm>
#include <fstream>
#include <vector>

#include "build/builder.h"
#include "build/tools.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

bool Builder::WriteXbe(std::string& err) {
    fs::path chosen = LocateGame();
    if (chosen.empty()) {
        err = "Choose the game first.";
        return false;
    }
    SelectedGame copy = ChooseGame(game, chosen);
    if (!copy.ok) {
        err = copy.message;
        return false;
    }
    auto listed = game.releaseXbes.find(copy.sha1);
    const std::vector<std::string>& names = listed != game.releaseXbes.end() ? listed->second : game.xbes;
    for (const std::string& name : names) {
        std::vector<unsigned char> bytes;
        if (!ReadXbe(name, copy, bytes, err)) return false;
        fs::path target = root / "source" / "assets" / Utf8Path(name);
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        std::string present;
        if (ReadWholeFile(target, present) && present.size() == bytes.size() &&
            std::equal(bytes.begin(), bytes.end(), present.begin(),
                       [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); })) {
            continue;
        }
        {
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        Log("xbe written to " + PathUtf8(target));
    }
    return true;
}

}  // namespace launcher
