#include <windows.h>

#include "support/test_support.h"

namespace launcher::test {

std::filesystem::path SelfDir() {
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
    return std::filesystem::path(std::wstring(buffer, n)).parent_path();
}

}  // namespace launcher::test
