#include "app/self_path.h"

#include <mutex>

namespace launcher {

namespace {

std::mutex& OverrideMutex() {
    static std::mutex m;
    return m;
}

std::filesystem::path& Override() {
    static std::filesystem::path p;
    return p;
}

}  // namespace

std::filesystem::path SelfExePath() {
    {
        std::lock_guard<std::mutex> lock(OverrideMutex());
        if (!Override().empty()) return Override();
    }
    return SystemSelfExePath();
}

void SetSelfExePathForTesting(const std::filesystem::path& path) {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    Override() = path;
}

}  // namespace launcher
