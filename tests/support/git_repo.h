#pragma once

// The game's repository for the source tests: a real git repository made with the system's git and
// served read-only over HTTP by the loopback server as static files, the way a dumb-HTTP client reads
// them. Only where the system's git runs (Linux).

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace launcher::test {

// Sets an environment variable for the test's own process and puts the old value back at the end.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// Keeps every git of the test (the launcher's included) away from the user's and the system's git
// settings. Whether git may ask for a password is left to the launcher: its own git must never ask.
class GitIsolation {
public:
    explicit GitIsolation(const std::filesystem::path& home);

    // The settings file every git of the test reads as the user's own.
    const std::filesystem::path& settings() const { return settings_; }

private:
    std::filesystem::path settings_;
    ScopedEnv home_, config_, noSystem_, global_;
};

// The system's git with a fixed author and no settings of the user's. Output lines go to `output`
// (one "\n" after each) when given. The exit code.
int SystemGit(const std::vector<std::string>& args, const std::filesystem::path& workDir,
              std::string* output = nullptr);

// A repository with a working tree at `dir`, on branch "main"; its ".git" folder is what the server
// serves. Every change runs "git update-server-info", so a dumb-HTTP client sees it at once. A packed
// repository keeps all its objects in one pack (fetched whole, and quickly, over dumb HTTP); else each
// object is a file of its own.
class GitRepo {
public:
    explicit GitRepo(std::filesystem::path dir, bool packed = false);

    const std::filesystem::path& dir() const { return dir_; }
    // The folder to serve (the repository's ".git").
    std::filesystem::path served() const { return dir_ / ".git"; }

    void Write(const std::string& relative, const std::string& bytes);
    // Commits everything; returns the new commit's id.
    std::string Commit(const std::string& message);
    // Puts the tag on the current commit, moving it when it is already there.
    void Tag(const std::string& name);
    // Adds a submodule at `path` from `url` (relative URLs count from this repository's own address)
    // cloned from `from`, a local repository with the same content.
    void AddSubmodule(const std::string& url, const std::filesystem::path& from, const std::string& path);
    std::string Head();
    // The server path of the object `id` stored as a file of its own ("objects/xx/yyyy..." after `prefix`).
    static std::string ObjectPath(const std::string& prefix, const std::string& id);
    // Runs git here; fails the test when git fails.
    std::string Git(const std::vector<std::string>& args);

private:
    void Publish();
    std::filesystem::path dir_;
    bool packed_ = false;
};

}  // namespace launcher::test
