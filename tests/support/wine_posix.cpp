#include "support/test_platform.h"

namespace launcher::test {

bool RunningUnderWine() {
    return false;
}

}  // namespace launcher::test
