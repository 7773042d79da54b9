#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

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
    std::string message;  // the last line that was no part of its answer (an error it printed), or ""
};

// Reads ffprobe's answer in its JSON form ("-of json"), given as the lines it printed, error lines around
// it included: the format's "duration" (a number, or text read as a number as far as it goes; else 0) and
// the "title" and "artist" tags (keys in any case) of the audio streams, a later stream's replacing an
// earlier one's, and of the format, which replace those. Values are taken whole, so no text in a tag can
// set another field. An answer that is no JSON object gives nothing but the message.
ProbeResult ReadProbeAnswer(const std::vector<std::string>& lines);
// The length in milliseconds: seconds x 1000 truncated, of which the low 32 bits are kept. A value that
// is no number, or too large for 64 bits, gives 0.
uint32_t DurationMs(double seconds);
// The song's title from its tags ("artist / title", or the title alone); `current` when there is no title.
std::string SongTitle(const ProbeResult& probe, const std::string& current);

// Whether a program's exit code says that it started but could not run at all: 127 or 126 (POSIX: a
// library or the interpreter it needs is missing, or it cannot be executed), or a status with which the
// Windows loader ends a process whose DLLs are missing, of the wrong kind, lack a function or fail to start.
bool IsLoaderFailure(int exitCode);

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

// Finishes or undoes the import that the launcher was killed in (or that lost its power), from the journal
// it left in the soundtrack folder's work folder: one past the point where the old songs give way is
// finished, an earlier one undone, so that ST.DB and the song files match again. Logs what it did. False,
// with `err` saying why, when songs of that import still wait in the work folder, which is then kept.
bool RecoverMusicImport(Builder& builder, std::string& err);

// The import once the programs are known: checks the soundtrack folder, scans, converts `jobs` songs at
// a time (1: one after the other on the calling thread) and places them. The outcome does not depend on
// `jobs`, and the log and the status follow the songs' order. Builder::ImportMusic ends here.
bool ImportMusicWith(Builder& builder, const MusicPrograms& programs, unsigned jobs,
                     const std::filesystem::path& folder, std::string& summary, std::string& err);

}  // namespace launcher
