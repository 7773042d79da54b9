#pragma once

#include <string>

namespace launcher {

// Lower-cases the ASCII letters only: names, digests and extensions are compared this way, whatever
// the user's locale.
inline std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace launcher
