#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace launcher::test {

// The real Platform with the seams the tests need: the environment comes from `env` (a name not in it
// is unset), and HardLink or LinkFolder can be made to fail.
class TestPlatform : public Platform {
public:
    TestPlatform();

    std::map<std::string, std::string> env;
    bool failHardLink = false;
    bool failLinkFolder = false;
    int hardLinkCalls = 0;
    int linkFolderCalls = 0;

    int Run(const std::vector<std::string>& args, const std::filesystem::path& workDir, const EnvMap& overrides,
            const LineSink& sink, const std::atomic<bool>* stop) override;
    bool ExtractMsi(const std::filesystem::path& msi, const std::filesystem::path& target,
                    std::string& err) override;
    bool LinkFolder(const std::filesystem::path& link, const std::filesystem::path& target,
                    std::string& err) override;
    bool HardLink(const std::filesystem::path& link, const std::filesystem::path& existing) override;
    bool Launch(const std::filesystem::path& program, const std::filesystem::path& workDir,
                std::string& err) override;
    std::string ExeSuffix() const override;
    char PathListSeparator() const override;
    std::string GetEnv(const std::string& name) const override;

private:
    std::unique_ptr<Platform> real_;
};

// True when the tests run under Wine (which, for one, makes no directory junctions).
bool RunningUnderWine();

}  // namespace launcher::test
