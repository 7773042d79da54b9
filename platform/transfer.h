#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/http.h"
#include "platform/platform.h"

namespace launcher {

// A small resource into memory, with up to three attempts.
bool FetchText(Http& http, const std::string& url, std::string& out, std::string& err);

// Brings `url` to `file` through "<file>.part", resuming what an earlier call left, and gives it its
// final name only once it matches `sha256` (lower- or upper-case hex; empty: not compared) and `size`
// (0: not known). Up to five attempts. A set `stop` ends it with "cancelled", the partial file kept.
bool Download(Http& http, const std::string& url, const std::filesystem::path& file, const std::string& sha256,
              uint64_t size, const ProgressSink& progress, const std::atomic<bool>* stop, std::string& err);

}  // namespace launcher
