#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Text is UTF-8 everywhere in the launcher; paths convert at this one place.
inline std::filesystem::path Utf8Path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathUtf8(const std::filesystem::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace launcher
