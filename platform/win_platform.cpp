// Placeholder until the process runner lands: every operation reports that it is not available.
#include "platform/platform.h"

namespace launcher {

namespace {

class PendingPlatform final : public Platform {
public:
    int Run(const std::vector<std::string>&, const std::filesystem::path&, const EnvMap&, const LineSink& sink,
            const std::atomic<bool>*) override {
        if (sink) sink("cannot start: child processes are not available yet");
        return -1;
    }
    bool ExtractMsi(const std::filesystem::path&, const std::filesystem::path&, std::string& err) override {
        err = "MSI extraction is not available yet";
        return false;
    }
    bool LinkFolder(const std::filesystem::path&, const std::filesystem::path&, std::string& err) override {
        err = "Could not link the game's folder: not available yet";
        return false;
    }
    bool HardLink(const std::filesystem::path&, const std::filesystem::path&) override { return false; }
    bool Launch(const std::filesystem::path&, const std::filesystem::path&, std::string& err) override {
        err = "Could not start the game";
        return false;
    }
#ifdef _WIN32
    std::string ExeSuffix() const override { return ".exe"; }
    char PathListSeparator() const override { return ';'; }
#else
    std::string ExeSuffix() const override { return ""; }
    char PathListSeparator() const override { return ':'; }
#endif
    std::string GetEnv(const std::string&) const override { return ""; }
};

}  // namespace

std::unique_ptr<Platform> MakePlatform() {
    return std::make_unique<PendingPlatform>();
}

}  // namespace launcher
