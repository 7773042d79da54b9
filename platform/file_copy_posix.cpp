#include "platform/file_copy.h"

namespace launcher {

bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err) {
    std::error_code ec;
    if (std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec)) return true;
    err = ec.message();
    return false;
}

}  // namespace launcher
