#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/file_ops.h"

namespace launcher {

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    const int code = errno;
    if (code != EXDEV) {
        err = std::error_code(code, std::generic_category()).message();
        return false;
    }
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) std::filesystem::remove(from, ec);
    if (ec) {
        err = ec.message();
        return false;
    }
    return true;
}

}  // namespace launcher
