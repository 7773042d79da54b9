#pragma once

#include <filesystem>
#include <string>

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

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace launcher::test
