#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/http.h"
#include "platform/platform.h"

namespace launcher {

// The most a text of FetchText may hold.
inline constexpr uint64_t kFetchMostBytes = uint64_t{64} << 20;

// A small resource into memory, with up to three attempts. A text past 64 MB is refused as it comes
// ("<url> is larger than 64 MB"), so no more is ever held. A set `stop` ends it with "cancelled".
bool FetchText(Http& http, const std::string& url, std::string& out, std::string& err,
               const std::atomic<bool>* stop);

// Brings `url` to `file` through "<file>.part", resuming what an earlier call left when the server can
// tell it is still the same resource (or the digest will tell), and gives it its final name only once it
// matches `sha256` (lower- or upper-case hex; empty: not compared) and `size` (0: not known). Gives up
// after five attempts that bring nothing new. A set `stop` ends it with "cancelled", a server below the
// low-speed limit with a sentence that says so; the partial file is kept for the next call in both.
bool Download(Http& http, const std::string& url, const std::filesystem::path& file, const std::string& sha256,
              uint64_t size, const ProgressSink& progress, const std::atomic<bool>* stop, std::string& err);

}  // namespace launcher
