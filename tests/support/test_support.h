#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace launcher::test {

// A fresh folder per test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    // In `base` instead of the system's temporary folder.
    explicit TempDir(const std::filesystem::path& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

private:
    std::filesystem::path path_;
};

// The folder of the running test binary; helper programs are built beside it.
std::filesystem::path SelfDir();
// A helper program from tests/programs, with the platform's executable suffix.
std::filesystem::path TestProgram(const std::string& name);

// Sets `flag` after `ms` milliseconds from a thread of its own, as the Stop button would; the thread is
// joined when the object goes.
class StopLater {
public:
    StopLater(std::atomic<bool>& flag, int ms);
    ~StopLater();
    StopLater(const StopLater&) = delete;
    StopLater& operator=(const StopLater&) = delete;

private:
    std::thread thread_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace launcher::test
