#include "platform/paths.h"

#include <cstdint>

namespace launcher {

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

namespace {

[[maybe_unused]] void AppendUtf16(std::wstring& out, uint32_t c) {
    if (c < 0x10000) {
        out += static_cast<wchar_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 | (c >> 10));
        out += static_cast<wchar_t>(0xDC00 | (c & 0x3FF));
    }
}

[[maybe_unused]] constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

#ifdef _WIN32

std::filesystem::path Utf8Path(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        uint32_t c = 0;
        size_t len = 0;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            c = b & 0x1F;
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            c = b & 0x0F;
            len = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            c = b & 0x07;
            len = 4;
        } else {
            AppendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k) c = (c << 6) | (p[i + k] & 0x3F);
        const bool overlong = (len == 3 && c < 0x800) || (len == 4 && c < 0x10000);
        if (k < len || overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            AppendUtf16(out, kReplacement);
            i += k;  // the bytes read so far stand for one replaced character
            continue;
        }
        AppendUtf16(out, c);
        i += len;
    }
    return std::filesystem::path(out);
}

std::string PathUtf8(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const uint32_t low = static_cast<uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = kReplacement;
        AppendUtf8(out, c);
    }
    return out;
}

#else

std::filesystem::path Utf8Path(const std::string& text) {
    return std::filesystem::path(text);
}

std::string PathUtf8(const std::filesystem::path& path) {
    return path.native();
}

#endif

}  // namespace launcher
