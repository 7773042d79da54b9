#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace launcher {

// Variables set for a child process over the inherited environment: name to value.
using EnvMap = std::map<std::string, std::string>;
// One line of text: a child's output line, a log line.
using LineSink = std::function<void(const std::string&)>;
// Amount done and total; may be empty.
using ProgressSink = std::function<void(uint64_t done, uint64_t total)>;
// Maps an archive entry's name to the relative path to write it to, or to "" to skip it.
using EntryMapper = std::function<std::string(const std::string&)>;

// The one door to the operating system for processes, links and the environment.
// Implementations keep no state between calls, so every operation may be called from any thread.
class Platform {
public:
    virtual ~Platform() = default;

    // Runs a child to its end with stdout and stderr merged and cut into lines. Returns the exit
    // code; -1 when the child did not start, and -1 whenever `stop` is given and set at the end.
    virtual int Run(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                    const EnvMap& overrides, const LineSink& sink, const std::atomic<bool>* stop) = 0;
    virtual bool ExtractMsi(const std::filesystem::path& msi, const std::filesystem::path& target,
                            std::string& err) = 0;
    virtual bool LinkFolder(const std::filesystem::path& link, const std::filesystem::path& target,
                            std::string& err) = 0;
    virtual bool HardLink(const std::filesystem::path& link, const std::filesystem::path& existing) = 0;
    virtual bool Launch(const std::filesystem::path& program, const std::filesystem::path& workDir,
                        std::string& err) = 0;
    virtual std::string ExeSuffix() const = 0;
    virtual char PathListSeparator() const = 0;
    virtual std::string GetEnv(const std::string& name) const = 0;
};

std::unique_ptr<Platform> MakePlatform();

}  // namespace launcher
