#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace launcher {

// Bounds for JSON texts that come over the network (and the copies kept of them). The real ones are a
// few megabytes at most and a handful of levels deep; a text beyond these would only cost memory and
// time, as ten megabytes of "[" take seconds and most of a gigabyte to parse.
constexpr size_t kJsonMostBytes = size_t{64} << 20;
constexpr int kJsonMostLevels = 64;

// Whether `text` stays within the bounds, checked in one pass before anything is parsed; when it does
// not, `err` = what + " is larger than 64 MB" or what + " nests deeper than 64 levels". Brackets inside
// strings do not count.
inline bool JsonWithinBounds(std::string_view text, const std::string& what, std::string& err) {
    if (text.size() > kJsonMostBytes) {
        err = what + " is larger than " + std::to_string(kJsonMostBytes >> 20) + " MB";
        return false;
    }
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kJsonMostLevels) {
                err = what + " nests deeper than " + std::to_string(kJsonMostLevels) + " levels";
                return false;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

// Typed reading of one JSON object that never throws. A missing key (or a null) gives the default; a
// value of another type records one sentence, "<where>: "<key>" is not <kind>", and every later read
// gives its default, so a reader can check `ok` once after taking all its fields.
class JsonFields {
    using json = nlohmann::json;

public:
    JsonFields(const json& object, std::string where) : object_(object), where_(std::move(where)) {}

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // True, with the recorded sentence in `err`, when a read met a value of the wrong type.
    bool Failed(std::string& err) const {
        if (ok()) return false;
        err = error_;
        return true;
    }

    std::string Text(const char* key, const std::string& fallback) {
        const json* value = Find(key);
        if (!value) return fallback;
        if (!value->is_string()) {
            Wrong(key, "a text");
            return fallback;
        }
        return value->get<std::string>();
    }

    uint64_t Count(const char* key) {
        const json* value = Find(key);
        if (!value) return 0;
        if (!value->is_number_unsigned()) {
            Wrong(key, "a whole number of bytes");
            return 0;
        }
        return value->get<uint64_t>();
    }

    int32_t SmallInteger(const char* key) {
        const json* value = Find(key);
        if (!value) return 0;
        if (value->is_number_unsigned()) {
            uint64_t n = value->get<uint64_t>();
            if (n <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return static_cast<int32_t>(n);
        } else if (value->is_number_integer()) {
            int64_t n = value->get<int64_t>();
            if (n >= std::numeric_limits<int32_t>::min()) return static_cast<int32_t>(n);
        }
        Wrong(key, "a whole number");
        return 0;
    }

    bool Flag(const char* key) {
        const json* value = Find(key);
        if (!value) return false;
        if (!value->is_boolean()) {
            Wrong(key, "true or false");
            return false;
        }
        return value->get<bool>();
    }

    std::vector<std::string> Texts(const char* key) {
        std::vector<std::string> list;
        const json* value = Find(key);
        if (!value) return list;
        if (!value->is_array()) {
            Wrong(key, "a list of texts");
            return list;
        }
        for (const json& item : *value) {
            if (!item.is_string()) {
                Wrong(key, "a list of texts");
                return std::vector<std::string>{};
            }
            list.push_back(item.get<std::string>());
        }
        return list;
    }

    // The array under `key`; an empty one when it is missing or of another type (which is recorded).
    const json& List(const char* key) {
        static const json empty = json::array();
        const json* value = Find(key);
        if (!value) return empty;
        if (!value->is_array()) {
            Wrong(key, "a list");
            return empty;
        }
        return *value;
    }

    const json* Object(const char* key) {
        const json* value = Find(key);
        if (!value) return nullptr;
        if (!value->is_object()) {
            Wrong(key, "an object");
            return nullptr;
        }
        return value;
    }

    bool Has(const char* key) const { return object_.is_object() && object_.contains(key); }

private:
    const json* Find(const char* key) {
        if (!ok() || !object_.is_object()) return nullptr;
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return nullptr;
        return &*it;
    }

    void Wrong(const char* key, const char* kind) {
        if (ok()) error_ = where_ + ": \"" + key + "\" is not " + kind;
    }

    const json& object_;
    std::string where_;
    std::string error_;
};

}  // namespace launcher
