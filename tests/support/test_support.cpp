#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/file_ops.h"
#include "support/links.h"

namespace launcher::test {

namespace fs = std::filesystem;

StopLater::StopLater(std::atomic<bool>& flag, int ms)
    : thread_([&flag, ms] {
          std::this_thread::sleep_for(std::chrono::milliseconds(ms));
          flag = true;
      }) {}

StopLater::~StopLater() {
    thread_.join();
}

TempDir::TempDir() : TempDir(fs::temp_directory_path()) {}

TempDir::TempDir(const fs::path& base) {
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::ostringstream name;
    name << "launcher-test-" << std::hex << seed() << '-' << stamp << '-' << counter++;
    path_ = base / name.str();
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    // Tests put links to folders in here: the removal must not follow them.
    std::string err;
    if (!RemoveTree(path_, err)) RemoveWithHostTools(path_);
}

fs::path TestProgram(const std::string& name) {
#ifdef _WIN32
    return SelfDir() / (name + ".exe");
#else
    return SelfDir() / name;
#endif
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace launcher::test
