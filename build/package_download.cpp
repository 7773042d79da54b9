#include "build/package.h"

namespace launcher {

std::string ReleaseDownloadBase(const std::string& repo, const std::string& tag) {
    std::string base = repo;
    if (base.size() >= 5 && base.compare(base.size() - 4, 4, ".git") == 0) base.resize(base.size() - 4);
    return base + "/releases/download/" + tag + "/";
}

// Until the checked download is in, a package has to lie beside the launcher.
bool Builder::DownloadPackage(const std::string&, std::string& err, std::string&, const std::filesystem::path&,
                              std::filesystem::path&) {
    err = "Downloading the game's package is not available yet: put it beside the launcher.";
    return false;
}

}  // namespace launcher
