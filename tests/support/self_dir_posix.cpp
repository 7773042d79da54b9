#include "support/test_support.h"

namespace launcher::test {

std::filesystem::path SelfDir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

}  // namespace launcher::test
