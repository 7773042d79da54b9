#pragma once

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace launcher {

// Unpacks `zip` into `dest` (created as needed), entry by entry. `map` decides each entry's relative
// path ("" skips it; empty keeps every name); names reach it with '/' separators. Files are written
// through an UnpackTree: relative to the folders of their way, opened without following links, and new
// where nothing stands at their place, else renamed over it; a link on the way fails the run, and so
// does a folder moved or swapped meanwhile. Progress is uncompressed bytes written against the sum of
// all entries' sizes, after each written entry. A set `stop` ends the run between entries with
// "cancelled". On failure `err` holds one lower-case phrase with the system's reason; what was written
// stays, and no temporary file is left.
bool ExtractZip(const std::filesystem::path& zip, const std::filesystem::path& dest, const EntryMapper& map,
                const ProgressSink& progress, const std::atomic<bool>* stop, std::string& err);

// Whether a relative entry path may be joined under a destination folder: not empty, not rooted,
// no ':', no ".." component (either separator), and no component that Windows would turn into
// something else: a device name such as "nul" or "COM1.txt", or a name ending in a dot or a blank.
bool IsSafeEntryPath(const std::string& name);

// `dir` joined with the UTF-8 entry path `name`; only for names that passed IsSafeEntryPath.
std::filesystem::path JoinEntryPath(const std::filesystem::path& dir, const std::string& name);

}  // namespace launcher
