#include "platform/http.h"

#include <limits>

#include "platform/ascii.h"

namespace launcher {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Decimal digits at `pos`, with overflow refused; moves `pos` past them.
bool ReadNumber(const std::string& text, size_t& pos, uint64_t& value) {
    const size_t start = pos;
    value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        const uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return pos > start;
}

void SkipBlanks(const std::string& text, size_t& pos) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
}

bool ParseLength(const std::string& text, uint64_t& length) {
    size_t pos = 0;
    SkipBlanks(text, pos);
    if (!ReadNumber(text, pos, length)) return false;
    SkipBlanks(text, pos);
    return pos == text.size();
}

// "bytes first-last/size"; the size may be "*" (then `hasSize` is false).
bool ParseRange(const std::string& text, uint64_t& first, uint64_t& last, bool& hasSize, uint64_t& size) {
    size_t pos = 0;
    SkipBlanks(text, pos);
    static const char kUnit[] = "bytes";
    for (const char* p = kUnit; *p; ++p, ++pos) {
        if (pos >= text.size()) return false;
        char c = text[pos];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *p) return false;
    }
    if (pos >= text.size() || !IsBlank(text[pos])) return false;
    SkipBlanks(text, pos);
    if (!ReadNumber(text, pos, first) || pos >= text.size() || text[pos] != '-') return false;
    ++pos;
    if (!ReadNumber(text, pos, last) || last < first) return false;
    if (pos >= text.size() || text[pos] != '/') return false;
    ++pos;
    hasSize = pos >= text.size() || text[pos] != '*';
    if (!hasSize) return true;
    return ReadNumber(text, pos, size) && size > last;
}

}  // namespace

bool PlanAnswer(const AnswerHead& head, uint64_t from, bool wholeOn200, const std::string& url, AnswerPlan& plan,
                std::string& err) {
    plan = AnswerPlan{};
    if (head.status != 200 && head.status != 206) {
        err = "the server answered " + std::to_string(head.status) + " for " + url;
        return false;
    }
    // Encoded bytes would be taken for the resource's own (and a stopped transfer would leave them behind).
    if (!head.encoding.empty() && LowerAscii(head.encoding) != "identity") {
        err = "the server sent " + url + " encoded (" + head.encoding + "), which was not asked for";
        return false;
    }
    const std::string badLength = "the server answered with an unusable length for " + url;
    if (head.hasLength) {
        if (!ParseLength(head.length, plan.length)) {
            err = badLength;
            return false;
        }
        plan.hasLength = true;
    }
    if (head.status == 206) {
        uint64_t first = 0;
        uint64_t last = 0;
        uint64_t size = 0;
        bool hasSize = false;
        if (!head.hasRange || !ParseRange(head.range, first, last, hasSize, size) || first != from) {
            err = "the server answered with another part of " + url + " than the one asked for";
            return false;
        }
        // A part may end before the resource does (that is progress, and the rest is asked for next).
        if ((plan.hasLength && plan.length != last - first + 1) ||
            plan.length > std::numeric_limits<uint64_t>::max() - from) {
            err = badLength;
            return false;
        }
        plan.total = hasSize ? size : plan.length != 0 ? plan.length + from : 0;
        plan.start = from;
    } else if (wholeOn200) {
        plan.total = plan.length;  // the resource changed: it comes whole, from its first byte
    } else {
        plan.total = plan.length;
        plan.skip = from;  // the whole resource, though a part was asked for
        plan.start = from;
    }
    // A weak ETag cannot name bytes in If-Range.
    const bool strong = !head.etag.empty() && head.etag.compare(0, 2, "W/") != 0;
    plan.validator = strong ? head.etag : head.lastModified;
    return true;
}

std::string ResolveLocation(const std::string& base, const std::string& location) {
    const size_t colon = location.find(':');
    const size_t slash = location.find('/');
    if (colon != std::string::npos && colon > 0 && (slash == std::string::npos || colon < slash)) return location;
    const size_t schemeEnd = base.find("://");
    if (schemeEnd == std::string::npos) return location;
    if (location.compare(0, 2, "//") == 0) return base.substr(0, schemeEnd + 1) + location;
    const size_t pathStart = base.find('/', schemeEnd + 3);
    const std::string origin = pathStart == std::string::npos ? base : base.substr(0, pathStart);
    if (!location.empty() && location[0] == '/') return origin + location;
    std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    path = path.substr(0, path.find_first_of("?#"));
    if (!location.empty() && location[0] == '?') return origin + path + location;
    return origin + path.substr(0, path.rfind('/') + 1) + location;
}

std::string RequestHeaders(uint64_t from, const std::string& ifRange) {
    std::string headers;
    if (from > 0) {
        headers += "Range: bytes=" + std::to_string(from) + "-\r\n";
        if (!ifRange.empty()) headers += "If-Range: " + ifRange + "\r\n";
    }
    return headers + "Accept-Encoding: identity\r\n";
}

SpeedWatch::SpeedWatch(const HttpTimeouts& limits, Clock::time_point start)
    : bytesPerSecond_(limits.lowSpeedBytes),
      window_(limits.lowSpeedMs),
      needed_(limits.lowSpeedBytes * static_cast<uint64_t>(limits.lowSpeedMs) / 1000),
      markTime_(start) {}

bool SpeedWatch::TooSlow(Clock::time_point now, uint64_t received) {
    if (received - markBytes_ >= needed_) {
        markTime_ = now;
        markBytes_ = received;
        return false;
    }
    return now - markTime_ >= window_;
}

std::string SpeedWatch::Sentence() const {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(window_).count();
    return "the server is too slow (under " + std::to_string(bytesPerSecond_) + " bytes a second for " +
           std::to_string(seconds) + (seconds == 1 ? " second)" : " seconds)");
}

}  // namespace launcher
