#include <windows.h>

#include "platform/file_copy.h"
#include "platform/process.h"

namespace launcher {

bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& err) {
    if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    err = SystemErrorText("Cannot copy the file");
    return false;
}

}  // namespace launcher
