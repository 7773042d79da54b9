#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace launcher {

class Builder;

// The two programs the import runs: full paths, or bare names found through the search path.
struct MusicPrograms {
    std::string ffmpeg = "ffmpeg";
    std::string ffprobe = "ffprobe";
};

// What ffprobe printed about one song.
struct ProbeResult {
    double seconds = 0;
    std::string title;
    std::string artist;
};

// Takes in one line of ffprobe's output: "duration=" (case as written) and the title and artist tag lines
// (keys in any case). A later line of the same kind replaces the value; other lines change nothing.
void ReadProbeLine(const std::string& line, ProbeResult& probe);
// The length in milliseconds: seconds x 1000 truncated, of which the low 32 bits are kept. A value that
// is no number, or too large for 64 bits, gives 0.
uint32_t DurationMs(double seconds);
// The song's title from its tags ("artist / title", or the title alone); `current` when there is no title.
std::string SongTitle(const ProbeResult& probe, const std::string& current);

// Whether a cache entry's "file" has the form the import gives its songs, "%04x/%08x.WMA": only such a
// name is ever moved, so nothing outside the soundtrack folder can be taken by a damaged cache.
bool IsSongFileName(const std::string& file);

// The text of "launcher-music.json": one space per level, members by key, UTF-8 as it is. Text that is
// not valid UTF-8 is stored with replacement characters instead of failing.
std::string DumpMusicCache(const nlohmann::json& cache);

// Whether the text is UTF-8 as JSON allows it (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(const std::string& text);
// The text with each piece that is not valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8(const std::string& text);
// The cache key of a source path (UTF-8 text, or on Linux any bytes): the path itself when it is valid
// UTF-8, else "%" and the path with "%" and every byte outside valid UTF-8 written as "%XX". A name
// that is not UTF-8 thus keeps its key from run to run, and no two paths share one.
std::string MusicCacheKey(const std::string& path);

// How many songs are converted at a time: one per processor.
unsigned DefaultMusicJobs();

// The import once the programs are known: checks the soundtrack folder, scans, converts `jobs` songs at
// a time (1: one after the other on the calling thread) and places them. The outcome does not depend on
// `jobs`, and the log and the status follow the songs' order. Builder::ImportMusic ends here.
bool ImportMusicWith(Builder& builder, const MusicPrograms& programs, unsigned jobs,
                     const std::filesystem::path& folder, std::string& summary, std::string& err);

}  // namespace launcher
