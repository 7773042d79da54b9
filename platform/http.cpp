#include "platform/http.h"

#include <limits>

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

// The first byte position of "bytes first-last/size" (the size may be "*").
bool ParseRangeStart(const std::string& text, uint64_t& first) {
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
    uint64_t last = 0;
    if (!ReadNumber(text, pos, first) || pos >= text.size() || text[pos] != '-') return false;
    ++pos;
    if (!ReadNumber(text, pos, last) || last < first) return false;
    return pos < text.size() && text[pos] == '/';
}

}  // namespace

bool PlanAnswer(const AnswerHead& head, uint64_t from, const std::string& url, AnswerPlan& plan, std::string& err) {
    plan = AnswerPlan{};
    if (head.status != 200 && head.status != 206) {
        err = "the server answered " + std::to_string(head.status) + " for " + url;
        return false;
    }
    if (head.hasLength) {
        if (!ParseLength(head.length, plan.length)) {
            err = "the server answered with an unusable length for " + url;
            return false;
        }
        plan.hasLength = true;
    }
    if (head.status == 206) {
        uint64_t first = 0;
        if (!head.hasRange || !ParseRangeStart(head.range, first) || first != from) {
            err = "the server answered with another part of " + url + " than the one asked for";
            return false;
        }
        if (plan.length > std::numeric_limits<uint64_t>::max() - from) {
            err = "the server answered with an unusable length for " + url;
            return false;
        }
        plan.total = plan.length != 0 ? plan.length + from : 0;
    } else {
        plan.total = plan.length;
        plan.skip = from;  // the whole resource, though a part was asked for
    }
    return true;
}

}  // namespace launcher
