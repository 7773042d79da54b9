#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// Text is UTF-8 everywhere in the launcher; paths convert at these two places. Neither throws: the user's
// folders may hold names that are not valid UTF-16 (Windows) or UTF-8 (Linux), and such a name must not end
// the program. On Windows an unpaired surrogate becomes U+FFFD, as does a byte that is not valid UTF-8 on
// the way back; on Linux the bytes pass unchanged both ways.
std::filesystem::path Utf8Path(const std::string& text);
std::string PathUtf8(const std::filesystem::path& path);

// Appends the UTF-8 bytes of one Unicode code point.
void AppendUtf8(std::string& out, uint32_t codePoint);

}  // namespace launcher
