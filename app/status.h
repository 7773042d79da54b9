#pragma once

#include <string>

namespace launcher {

// The progress report of a running job; the reset value is the default one.
struct Status {
    std::string title;
    std::string detail;
    double progress = -1.0;  // -1: no fraction known (indeterminate bar), else 0 to 1
};

}  // namespace launcher
