#include "support/git_repo.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/paths.h"
#include "support/test_support.h"

namespace launcher::test {

namespace fs = std::filesystem;

namespace {

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnv(const std::string& name) {
#ifdef _WIN32
    _putenv_s(name.c_str(), "");
#else
    unsetenv(name.c_str());
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        had_ = true;
        old_ = old;
    }
    SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        SetEnv(name_, old_);
    } else {
        UnsetEnv(name_);
    }
}

GitIsolation::GitIsolation(const fs::path& home)
    : settings_(home / "gitconfig"),
      home_("HOME", PathUtf8(home)),
      config_("XDG_CONFIG_HOME", PathUtf8(home / ".config")),
      noSystem_("GIT_CONFIG_NOSYSTEM", "1"),
      global_("GIT_CONFIG_GLOBAL", PathUtf8(settings_)) {
    fs::create_directories(home);
}

int SystemGit(const std::vector<std::string>& args, const fs::path& workDir, std::string* output) {
    std::unique_ptr<Platform> platform = MakePlatform();
    std::vector<std::string> command{"git"};
    command.insert(command.end(), args.begin(), args.end());
    const EnvMap env = {{"GIT_AUTHOR_NAME", "Test"},        {"GIT_AUTHOR_EMAIL", "test@localhost"},
                        {"GIT_COMMITTER_NAME", "Test"},     {"GIT_COMMITTER_EMAIL", "test@localhost"},
                        {"GIT_CONFIG_NOSYSTEM", "1"},       {"GIT_CONFIG_GLOBAL", PathUtf8(workDir / ".no-config")},
                        {"GIT_TERMINAL_PROMPT", "0"}};
    std::string lines;
    const int code = platform->Run(command, workDir, env, [&](const std::string& line) { lines += line + "\n"; },
                                   nullptr);
    if (output != nullptr) *output = lines;
    if (code != 0) ADD_FAILURE() << "git " << args[0] << " failed (" << code << "):\n" << lines;
    return code;
}

GitRepo::GitRepo(fs::path dir, bool packed) : dir_(std::move(dir)), packed_(packed) {
    fs::create_directories(dir_);
    Git({"init", "-q", "-b", "main"});
    Publish();
}

void GitRepo::Write(const std::string& relative, const std::string& bytes) {
    WriteFile(dir_ / Utf8Path(relative), bytes);
}

std::string GitRepo::Commit(const std::string& message) {
    Git({"add", "-A"});
    Git({"commit", "-q", "-m", message});
    Publish();
    return Head();
}

void GitRepo::Tag(const std::string& name) {
    Git({"tag", "-f", name});
    Publish();
}

void GitRepo::AddSubmodule(const std::string& url, const fs::path& from, const std::string& path) {
    // Cloned from the local copy; .gitmodules then names the served address.
    Git({"-c", "protocol.file.allow=always", "submodule", "add", "-q", PathUtf8(from), path});
    Git({"config", "-f", ".gitmodules", "submodule." + path + ".url", url});
}

std::string GitRepo::Head() {
    std::string head = Git({"rev-parse", "HEAD"});
    while (!head.empty() && head.back() == '\n') head.pop_back();
    return head;
}

std::string GitRepo::Git(const std::vector<std::string>& args) {
    std::string output;
    SystemGit(args, dir_, &output);
    return output;
}

std::string GitRepo::ObjectPath(const std::string& prefix, const std::string& id) {
    return prefix + "objects/" + id.substr(0, 2) + "/" + id.substr(2);
}

void GitRepo::Publish() {
    if (packed_) Git({"repack", "-a", "-d", "-q"});
    Git({"update-server-info"});
}

}  // namespace launcher::test
