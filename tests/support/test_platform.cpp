#include "support/test_platform.h"

namespace launcher::test {

namespace fs = std::filesystem;

TestPlatform::TestPlatform() : real_(MakePlatform()) {}

int TestPlatform::Run(const std::vector<std::string>& args, const fs::path& workDir, const EnvMap& overrides,
                      const LineSink& sink, const std::atomic<bool>* stop) {
    return real_->Run(args, workDir, overrides, sink, stop);
}

bool TestPlatform::ExtractMsi(const fs::path& msi, const fs::path& target, std::string& err) {
    return real_->ExtractMsi(msi, target, err);
}

bool TestPlatform::LinkFolder(const fs::path& link, const fs::path& target, std::string& err) {
    ++linkFolderCalls;
    if (failLinkFolder) {
        err = "Could not link the game's folder (test)";
        return false;
    }
    return real_->LinkFolder(link, target, err);
}

bool TestPlatform::HardLink(const fs::path& link, const fs::path& existing) {
    ++hardLinkCalls;
    return !failHardLink && real_->HardLink(link, existing);
}

bool TestPlatform::Launch(const fs::path& program, const fs::path& workDir, std::string& err) {
    return real_->Launch(program, workDir, err);
}

std::string TestPlatform::ExeSuffix() const {
    return real_->ExeSuffix();
}

char TestPlatform::PathListSeparator() const {
    return real_->PathListSeparator();
}

std::string TestPlatform::GetEnv(const std::string& name) const {
    auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
}

}  // namespace launcher::test
