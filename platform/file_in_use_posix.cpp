#include "platform/file_in_use.h"

namespace launcher {

bool FileInUse(const std::filesystem::path&, std::string&) {
    return false;
}

}  // namespace launcher
