#include <system_error>

#include "app/self_path.h"

namespace launcher {

std::filesystem::path SystemSelfExePath() {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : p;
}

}  // namespace launcher
