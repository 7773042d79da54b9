#include "music/import.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "build/tools.h"
#include "game/settings.h"
#include "music/scan.h"
#include "music/soundtrack_db.h"
#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/file_time.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr char kCacheName[] = "launcher-music.json";
constexpr char kDbName[] = "ST.DB";
constexpr char kStagingName[] = ".staging";
// In the work folder: which source each staged song was converted from, in the cache's form with the
// staged name as "file". A run that ends abnormally leaves it, and the next one puts back by it what the
// cache on disk still describes.
constexpr char kJournalName[] = "launcher-staged.json";
// Enough to keep any desktop busy; each conversion is one process.
constexpr unsigned kMaxJobs = 16;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// An existence that cannot be determined counts as absence.
bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec) && !ec;
}

fs::path Full(const fs::path& path) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full;
}

// The non-empty components of the path's full form, links resolved where the system can, ASCII case
// folded (Windows ignores case).
std::vector<std::string> Components(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    if (ec) resolved = Full(path).lexically_normal();
    std::vector<std::string> parts;
    for (const fs::path& part : resolved) {
        std::string text = LowerAscii(PathUtf8(part));
        if (!text.empty()) parts.push_back(std::move(text));
    }
    return parts;
}

// Whether `path` is `folder` or lies below it.
bool IsWithin(const fs::path& path, const fs::path& folder) {
    const std::vector<std::string> inner = Components(path);
    const std::vector<std::string> outer = Components(folder);
    return !outer.empty() && inner.size() >= outer.size() && std::equal(outer.begin(), outer.end(), inner.begin());
}

// An entry of the old cache that may be reused: the members present have the types the import writes.
struct CacheEntry {
    uint64_t size = 0;
    int64_t time = 0;
    std::string file;
    std::optional<std::string> name;
    uint32_t ms = 0;
};

bool FindCacheEntry(const json& cache, const std::string& key, CacheEntry& entry) {
    auto it = cache.find(key);
    if (it == cache.end() || !it->is_object()) return false;
    const json& member = *it;
    CacheEntry out;
    if (auto m = member.find("size"); m != member.end()) {
        if (!m->is_number_unsigned()) return false;
        out.size = m->get<uint64_t>();
    }
    if (auto m = member.find("time"); m != member.end()) {
        // The parser keeps non-negative numbers as unsigned.
        if (m->is_number_unsigned()) {
            const uint64_t value = m->get<uint64_t>();
            if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
            out.time = static_cast<int64_t>(value);
        } else if (m->is_number_integer()) {
            out.time = m->get<int64_t>();
        } else {
            return false;
        }
    }
    if (auto m = member.find("file"); m != member.end()) {
        if (!m->is_string()) return false;
        out.file = m->get<std::string>();
    }
    if (auto m = member.find("name"); m != member.end()) {
        if (!m->is_string()) return false;
        out.name = m->get<std::string>();
    }
    if (auto m = member.find("ms"); m != member.end()) {
        if (!m->is_number_unsigned() || m->get<uint64_t>() > std::numeric_limits<uint32_t>::max()) return false;
        out.ms = static_cast<uint32_t>(m->get<uint64_t>());
    }
    entry = std::move(out);
    return true;
}

// Writes `bytes` to `file`, replacing it; on failure `reason` holds the system's message.
bool WriteBytes(const fs::path& file, const std::string& bytes, bool textMode, std::string& reason) {
    int code = 0;  // the first failure's errno; -1 when the library left none
    {
        errno = 0;
        std::ofstream out(file, textMode ? std::ios::out | std::ios::trunc
                                         : std::ios::out | std::ios::binary | std::ios::trunc);
        if (!out) {
            code = errno != 0 ? errno : -1;
        } else {
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.flush();
            if (!out) code = errno != 0 ? errno : -1;
            out.close();
            if (!out && code == 0) code = errno != 0 ? errno : -1;
        }
    }
    if (code == 0) return true;
    reason = code > 0 ? std::generic_category().message(code) : "the file could not be written whole";
    std::error_code ec;
    fs::remove(file, ec);
    return false;
}

// Whether a journal's "file" is a name the import gives a staged song: decimal digits and ".WMA".
bool IsStagedName(const std::string& name) {
    if (name.size() < 5 || name.size() > 24 || name.compare(name.size() - 4, 4, ".WMA") != 0) return false;
    return std::all_of(name.begin(), name.end() - 4, [](char c) { return c >= '0' && c <= '9'; });
}

json JournalEntry(uint64_t size, int64_t time, const fs::path& staged) {
    return json{{"size", size}, {"time", time}, {"file", PathUtf8(staged.filename())}};
}

// Puts back the songs that a run which ended abnormally left in the work folder: each goes where the
// cache on disk says its source's conversion lies, when that entry describes the very conversion (the
// same size and time). Before a run replaces the cache that is where the old import had it; after, the
// place the new one gave it. Returns how many were put back.
size_t PutBackStaged(const fs::path& music, const fs::path& staging, const json& cache) {
    std::string text;
    if (!ReadWholeFile(staging / kJournalName, text)) return 0;
    const json journal = json::parse(text, nullptr, false);
    if (!journal.is_object()) return 0;
    size_t back = 0;
    std::set<std::string> taken;
    for (const auto& item : journal.items()) {
        CacheEntry moved;
        CacheEntry entry;
        if (!FindCacheEntry(journal, item.key(), moved) || !IsStagedName(moved.file)) continue;
        if (!FindCacheEntry(cache, item.key(), entry) || entry.size != moved.size || entry.time != moved.time ||
            !IsSongFileName(entry.file) || !taken.insert(entry.file).second) {
            continue;
        }
        const fs::path from = staging / moved.file;
        const fs::path to = music / Utf8Path(entry.file);
        std::error_code ec;
        if (IsLink(from) || !fs::is_regular_file(from, ec) || IsLink(to.parent_path())) continue;
        fs::create_directories(to.parent_path(), ec);
        std::string ignored;
        if (MoveReplacing(from, to, ignored)) ++back;
    }
    return back;
}

// One song that ffprobe and ffmpeg work on.
struct Conversion {
    fs::path source;
    fs::path staged;
    ProbeResult probe;
    int exitCode = -1;
    std::string lastLine;  // ffmpeg's
    bool produced = false;
    std::string notStarted;  // the sentence when ffprobe or ffmpeg could not be started at all
};

// What a child printed, as far as telling "it never started" needs.
struct RunLines {
    size_t count = 0;
    std::string first;
    void See(const std::string& line) {
        if (count++ == 0) first = line;
    }
};

// The platform tells a child that never ran by -1 and one "cannot start ... (code: message)" line; a
// stopped child gives -1 too, but then the stop flag is set. Empty when the program ran.
std::string NotStarted(const std::string& program, int code, const RunLines& lines, const std::atomic<bool>* stop) {
    const bool stopped = stop != nullptr && stop->load();
    if (code != -1 || stopped || lines.count != 1 || !StartsWith(lines.first, "cannot start ")) return "";
    const std::string& line = lines.first;
    const size_t open = line.rfind(" (");
    if (open == std::string::npos || line.back() != ')') return "Could not start " + program;
    return "Could not start " + program + line.substr(open);
}

void Convert(Platform& platform, const MusicPrograms& programs, const fs::path& workDir,
             const std::atomic<bool>* stop, Conversion& c) {
    const std::string source = PathUtf8(c.source);
    RunLines probeLines;
    // Ogg and Opus keep their tags on the audio stream; a format tag, printed after the stream's, wins.
    // Streams other than audio are left out, so the caption of a cover picture never becomes a title.
    const int probeCode = platform.Run(
        {programs.ffprobe, "-v", "error", "-select_streams", "a", "-show_entries",
         "format=duration:format_tags=title,artist:stream_tags=title,artist", "-of", "default=noprint_wrappers=1",
         source},
        workDir, {},
        [&](const std::string& line) {
            probeLines.See(line);
            ReadProbeLine(line, c.probe);
        },
        stop);
    c.notStarted = NotStarted(programs.ffprobe, probeCode, probeLines, stop);
    if (!c.notStarted.empty()) return;
    RunLines convertLines;
    c.exitCode = platform.Run({programs.ffmpeg, "-nostdin", "-y", "-v", "error", "-i", source, "-vn", "-map_metadata",
                               "-1", "-ac", "2", "-ar", "44100", "-c:a", "wmav2", "-b:a", "160k", PathUtf8(c.staged)},
                              workDir, {},
                              [&](const std::string& line) {
                                  convertLines.See(line);
                                  c.lastLine = line;
                              },
                              stop);
    c.notStarted = NotStarted(programs.ffmpeg, c.exitCode, convertLines, stop);
    std::error_code ec;
    c.produced = fs::exists(c.staged, ec) && !ec;
}

// Converts the list on a few threads, in list order, while the import takes the results in the same
// order. With no threads each conversion runs when it is waited for, on the waiting thread.
class Converter {
public:
    Converter(std::vector<Conversion>& work, unsigned threads, std::function<void(Conversion&)> convert,
              const std::atomic<bool>& stop)
        : work_(work), convert_(std::move(convert)), stop_(stop), done_(work.size(), false) {
        // A thread that cannot be made leaves the work to the others, or, with none, to the waiter.
        try {
            for (unsigned t = 0; t < threads; ++t) threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
        }
    }
    ~Converter() { Finish(); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Returns once conversion k is done (or given up after a stop).
    void Wait(size_t k) {
        if (threads_.empty()) {
            if (!done_[k]) convert_(work_[k]);
            done_[k] = true;
            return;
        }
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return done_[k]; });
    }

    // Lets the running conversions end (a stop ends their programs), starts no more, joins the threads.
    void Finish() {
        closing_ = true;
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    void Work() {
        for (;;) {
            const size_t k = next_++;
            if (k >= work_.size()) return;
            if (!closing_ && !stop_) convert_(work_[k]);
            {
                std::lock_guard lock(mutex_);
                done_[k] = true;
            }
            finished_.notify_all();
        }
    }

    std::vector<Conversion>& work_;
    std::function<void(Conversion&)> convert_;
    const std::atomic<bool>& stop_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> closing_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<bool> done_;  // under mutex_ while threads run
    std::vector<std::thread> threads_;
};

// Where one song of the run stands.
struct SongRun {
    size_t soundtrack = 0;
    size_t index = 0;
    std::string key;
    uint64_t size = 0;
    int64_t time = 0;
    fs::path staged;
    bool kept = false;
    size_t conversion = 0;  // when not kept
};

struct KeptFileMove {
    fs::path staged;
    fs::path from;
};

}  // namespace

void ReadProbeLine(const std::string& line, ProbeResult& probe) {
    if (StartsWith(line, "duration=")) {
        double seconds = 0;
        const std::from_chars_result read = std::from_chars(line.data() + 9, line.data() + line.size(), seconds);
        probe.seconds = read.ec == std::errc() ? seconds : 0;  // "N/A" and the like
        return;
    }
    const std::string key = LowerAscii(line.substr(0, 11));
    if (StartsWith(key, "tag:title=")) {
        probe.title = line.substr(10);
    } else if (StartsWith(key, "tag:artist=")) {
        probe.artist = line.substr(11);
    }
}

uint32_t DurationMs(double seconds) {
    const double ms = seconds * 1000.0;
    // Outside the 64-bit range (and for NaN) the conversion would be undefined.
    if (!(ms >= -9223372036854775808.0 && ms < 9223372036854775808.0)) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(ms)));
}

std::string SongTitle(const ProbeResult& probe, const std::string& current) {
    if (probe.title.empty()) return current;
    return probe.artist.empty() ? probe.title : probe.artist + " / " + probe.title;
}

bool IsSongFileName(const std::string& file) {
    if (file.size() != 17 || file[4] != '/' || file.compare(13, 4, ".WMA") != 0) return false;
    for (size_t i = 0; i < 13; ++i) {
        if (i != 4 && !IsLowerHex(file[i])) return false;
    }
    // The folder is the soundtrack id, which the song id starts with.
    return file.compare(0, 4, file, 5, 4) == 0;
}

std::string DumpMusicCache(const json& cache) {
    return cache.dump(1, ' ', false, json::error_handler_t::replace);
}

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when none starts there.
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the first continuation byte, which rules out overlong forms,
    unsigned char high = 0xBF;  // surrogates and code points past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceAt(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string ValidUtf8(const std::string& text) {
    if (IsValidUtf8(text)) return text;
    std::string out;
    bool inBroken = false;  // one replacement for a run of bytes that are no UTF-8
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceAt(text, at);
        if (length == 0) {
            if (!inBroken) out += "\xEF\xBF\xBD";
            inBroken = true;
            ++at;
        } else {
            inBroken = false;
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::string MusicCacheKey(const std::string& path) {
    if (IsValidUtf8(path) && !StartsWith(path, "%")) return path;
    static const char kHex[] = "0123456789ABCDEF";
    std::string key = "%";
    for (size_t at = 0; at < path.size();) {
        const size_t length = path[at] == '%' ? 0 : Utf8SequenceAt(path, at);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(path[at]);
            key += '%';
            key += kHex[byte >> 4];
            key += kHex[byte & 15];
            ++at;
        } else {
            key.append(path, at, length);
            at += length;
        }
    }
    return key;
}

unsigned DefaultMusicJobs() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxJobs);
}

bool ImportMusicWith(Builder& builder, const MusicPrograms& programs, unsigned jobs, const fs::path& folderGiven,
                     std::string& summary, std::string& err) {
    const std::string folderText = PathUtf8(folderGiven);
    // The children run in the music folder: relative paths would point elsewhere there.
    const fs::path folder = Full(folderGiven);
    const fs::path music = Full(builder.MusicDbFolder());

    // Every sub-folder of the soundtrack folder is the import's and goes at the end.
    if (IsWithin(folder, music)) {
        err = "The music folder lies inside the game's own soundtrack folder, which every import empties: " +
              folderText + ". Choose a folder outside " + PathUtf8(music) + ".";
        return false;
    }
    if (Exists(music / kDbName) && !Exists(music / kCacheName)) {
        err = "The game's music folder holds soundtracks not made here (copied from an Xbox?): " + PathUtf8(music) +
              ". Move them away to use a folder of your own music.";
        return false;
    }

    // A launcher kept in the music folder has its converted songs there too: they are not the user's.
    std::vector<std::string> warnings;
    std::vector<Soundtrack> soundtracks = ScanMusicFolder(folder, warnings, {Full(builder.root), music});
    for (const std::string& warning : warnings) builder.Log("music: " + warning);
    size_t n = 0;
    for (const Soundtrack& soundtrack : soundtracks) n += soundtrack.songs.size();
    if (n == 0) {
        err = "No music found in " + folderText + " (MP3, FLAC, OGG, Opus, M4A, AAC, WAV, WMA or AIFF files)";
        return false;
    }

    json oldCache = json::object();
    if (std::string text; ReadWholeFile(music / kCacheName, text)) {
        oldCache = json::parse(text, nullptr, false);
        if (!oldCache.is_object()) oldCache = json::object();
    }

    // A run that ended abnormally may have left songs of the last import in the work folder.
    const fs::path staging = music / kStagingName;
    if (const size_t back = PutBackStaged(music, staging, oldCache); back > 0) {
        builder.Log("music: " + std::to_string(back) + " songs put back that an unfinished import had moved");
    }
    // Without a work folder every conversion would fail, and the run would then empty the soundtracks.
    std::error_code ec;
    if (std::string removeErr; !RemoveTree(staging, removeErr)) {
        err = "Could not clear " + PathUtf8(staging) + ": " + removeErr;
        return false;
    }
    fs::create_directories(staging, ec);
    if (ec || !fs::is_directory(staging, ec)) {
        err = "Could not create " + PathUtf8(staging) + ": " + ec.message();
        return false;
    }
    const fs::path journalFile = staging / kJournalName;
    auto writeJournal = [&](const json& journal, std::string& why) {
        std::string reason;
        if (WriteBytes(journalFile, journal.dump(), false, reason)) return true;
        why = "Could not write " + PathUtf8(journalFile) + ": " + reason;
        return false;
    };

    std::vector<KeptFileMove> keptMoves;
    // Puts every kept song back; the old song folders may be gone by then. A song that cannot be put back
    // stays in the work folder, from where the next run puts it back.
    auto undo = [&](const std::string& why) {
        bool allBack = true;
        for (const KeptFileMove& move : keptMoves) {
            std::error_code dirError;
            fs::create_directories(move.from.parent_path(), dirError);
            std::string ignored;
            if (!MoveReplacing(move.staged, move.from, ignored)) allBack = false;
        }
        std::string ignored;
        if (allBack) {
            RemoveTree(staging, ignored);
        } else {
            builder.Log("music: some songs of the last import could not be put back yet; the next import does it");
        }
        err = why;
        return false;
    };

    // First the songs the cache still holds are found, noted in the journal and moved into the work
    // folder; the rest are converted, several at a time when `jobs` allows, while the results are taken
    // in song order below.
    std::vector<SongRun> runs;
    runs.reserve(n);
    std::vector<fs::path> reusable(n);  // where a song's conversion lies, when it may be reused
    json journal = json::object();
    for (size_t s = 0; s < soundtracks.size(); ++s) {
        for (size_t i = 0; i < soundtracks[s].songs.size(); ++i) {
            if (builder.stop) return undo("cancelled");
            Song& song = soundtracks[s].songs[i];
            SongRun run;
            run.soundtrack = s;
            run.index = i;
            run.key = MusicCacheKey(PathUtf8(song.source));
            run.staged = staging / (std::to_string(runs.size()) + ".WMA");
            run.size = fs::file_size(song.source, ec);
            if (ec) run.size = std::numeric_limits<uint64_t>::max();
            if (!LastWriteTicks(song.source, run.time)) run.time = std::numeric_limits<int64_t>::min();

            CacheEntry entry;
            if (FindCacheEntry(oldCache, run.key, entry) && entry.size == run.size && entry.time == run.time &&
                IsSongFileName(entry.file)) {
                const fs::path placed = music / Utf8Path(entry.file);
                if (!IsLink(placed) && !IsLink(placed.parent_path()) && fs::is_regular_file(placed, ec)) {
                    song.title = entry.name.value_or(song.title);
                    song.ms = entry.ms;
                    reusable[runs.size()] = placed;
                    journal[run.key] = JournalEntry(run.size, run.time, run.staged);
                }
            }
            runs.push_back(std::move(run));
        }
    }
    // Noted before anything moves, so that whatever comes, every kept song finds its way back.
    if (std::string why; !writeJournal(journal, why)) return undo(why);
    bool moveFailed = false;
    for (size_t k = 0; k < runs.size(); ++k) {
        if (reusable[k].empty()) continue;
        if (builder.stop) return undo("cancelled");
        std::string moveErr;
        if (MoveReplacing(reusable[k], runs[k].staged, moveErr)) {
            keptMoves.push_back(KeptFileMove{runs[k].staged, reusable[k]});
            runs[k].kept = true;
        } else {
            journal.erase(runs[k].key);
            moveFailed = true;
        }
    }
    // A song that stayed is converted into its staged name, which must then not be taken for the kept one.
    if (std::string why; moveFailed && !writeJournal(journal, why)) return undo(why);

    std::vector<Conversion> conversions;
    for (SongRun& run : runs) {
        if (run.kept) continue;
        run.conversion = conversions.size();
        Conversion c;
        c.source = soundtracks[run.soundtrack].songs[run.index].source;
        c.staged = run.staged;
        conversions.push_back(std::move(c));
    }
    const unsigned threads = jobs > 1 ? static_cast<unsigned>(std::min<size_t>(jobs, conversions.size())) : 0;
    Platform& platform = *builder.platform;
    Converter converter(
        conversions, threads,
        [&](Conversion& c) { Convert(platform, programs, folder, &builder.stop, c); }, builder.stop);
    auto stopped = [&](const std::string& why) {
        converter.Finish();
        return undo(why);
    };

    std::vector<std::vector<Song>> placedSongs(soundtracks.size());
    std::vector<const SongRun*> staged;
    json cache = json::object();
    size_t kept = 0;
    size_t converted = 0;
    size_t failed = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const SongRun& run = runs[i];
        Song& song = soundtracks[run.soundtrack].songs[run.index];
        if (builder.stop) return stopped("cancelled");
        builder.Report("Converting your music",
                       std::to_string(i + 1) + " of " + std::to_string(n) + ": " + PathUtf8(song.source.filename()),
                       static_cast<double>(i) / static_cast<double>(n));
        if (run.kept) {
            ++kept;
        } else {
            converter.Wait(run.conversion);
            const Conversion& c = conversions[run.conversion];
            // Without its programs no song converts: the import ends with the last one's songs in place.
            if (!c.notStarted.empty()) return stopped(c.notStarted);
            song.ms = DurationMs(c.probe.seconds);
            song.title = SongTitle(c.probe, song.title);
            if (c.exitCode != 0 || !c.produced) {
                if (builder.stop) return stopped("cancelled");
                builder.Log("music: " + PathUtf8(song.source) + " could not be converted" +
                            (c.lastLine.empty() ? "" : ": " + c.lastLine));
                ++failed;
                continue;
            }
            ++converted;
        }
        // The cache keeps valid UTF-8 only; the database gets the same title, so a kept song reads as it did.
        song.title = ValidUtf8(song.title);
        staged.push_back(&run);
        cache[run.key] = json{{"size", run.size}, {"time", run.time}, {"file", ""}, {"name", song.title},
                              {"ms", song.ms}};
        placedSongs[run.soundtrack].push_back(song);
    }
    converter.Finish();

    for (size_t s = 0; s < soundtracks.size(); ++s) soundtracks[s].songs = std::move(placedSongs[s]);
    soundtracks.erase(std::remove_if(soundtracks.begin(), soundtracks.end(),
                                     [](const Soundtrack& soundtrack) { return soundtrack.songs.empty(); }),
                      soundtracks.end());

    std::vector<std::string> names;
    names.reserve(staged.size());
    for (size_t s = 0; s < soundtracks.size(); ++s) {
        for (size_t i = 0; i < soundtracks[s].songs.size(); ++i) {
            names.push_back(SongFileName(static_cast<uint32_t>(s + 1), static_cast<uint32_t>(i)));
            cache[staged[names.size() - 1]->key]["file"] = names.back();
        }
    }

    // From here on every staged song, converted ones too, is in the journal: once the new cache is in
    // place, a run that ends abnormally leaves them where it names them.
    journal = json::object();
    for (const SongRun* run : staged) journal[run->key] = JournalEntry(run->size, run->time, run->staged);
    if (std::string why; !writeJournal(journal, why)) return undo(why);

    // The database and the cache are written in full before the old songs go, so that a full disk ends
    // the run with nothing lost.
    const fs::path dbFile = music / kDbName;
    const fs::path cacheFile = music / kCacheName;
    const fs::path newDb = staging / kDbName;
    const fs::path newCache = staging / kCacheName;
    std::string reason;
    if (!WriteBytes(newDb, BuildSoundtrackDb(soundtracks), false, reason)) {
        return undo("Could not write " + PathUtf8(dbFile) + ": " + reason);
    }
    if (!WriteBytes(newCache, DumpMusicCache(cache), true, reason)) {
        return undo("Could not write " + PathUtf8(cacheFile) + ": " + reason);
    }

    // The old song folders give way; loose files in the soundtrack folder are not the import's.
    std::vector<fs::path> oldFolders;
    for (fs::directory_iterator it(music, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->path().filename() != kStagingName && it->is_directory(typeError)) oldFolders.push_back(it->path());
    }
    for (const fs::path& old : oldFolders) {
        std::string removeErr;
        if (!RemoveTree(old, removeErr)) builder.Log("music: could not remove " + PathUtf8(old) + ": " + removeErr);
    }

    // The new cache goes first: the old one would name places that the new songs are about to take, and
    // the launcher never leaves a database of its own without a cache beside it.
    if (!MoveReplacing(newCache, cacheFile, reason)) {
        return undo("Could not write " + PathUtf8(cacheFile) + ": " + reason);
    }
    bool cacheChanged = false;
    for (size_t j = 0; j < staged.size(); ++j) {
        const fs::path target = music / Utf8Path(names[j]);
        std::string moveErr;
        bool placed = false;
        // An old song folder that is a link and could not be removed would lead the song elsewhere.
        if (IsLink(target.parent_path())) {
            moveErr = "the folder is a link that could not be removed";
        } else {
            fs::create_directories(target.parent_path(), ec);
            placed = MoveReplacing(staged[j]->staged, target, moveErr);
        }
        if (!placed) {
            builder.Log("music: could not place " + PathUtf8(target) + ": " + moveErr);
            // Whatever lies there is not this song: the next import converts it again.
            cache.erase(staged[j]->key);
            cacheChanged = true;
        }
    }
    if (cacheChanged && (!WriteBytes(newCache, DumpMusicCache(cache), true, reason) ||
                         !MoveReplacing(newCache, cacheFile, reason))) {
        builder.Log("music: could not write " + PathUtf8(cacheFile) + ": " + reason);
    }
    if (!MoveReplacing(newDb, dbFile, reason)) {
        std::string ignored;
        RemoveTree(staging, ignored);
        err = "Could not write " + PathUtf8(dbFile) + ": " + reason;
        return false;
    }
    if (std::string ignored; !RemoveTree(staging, ignored)) {
        builder.Log("music: could not remove " + PathUtf8(staging) + ": " + ignored);
    }
    builder.SetSetting("music", folderText);

    summary = std::to_string(staged.size()) + " songs in " + std::to_string(soundtracks.size()) + " soundtracks";
    if (failed > 0) summary += " (" + std::to_string(failed) + " could not be converted: see launcher.log)";
    builder.Log("music: " + summary + ", " + std::to_string(converted) + " converted, " + std::to_string(kept) +
                " kept from last time, from " + folderText);
    builder.Report("Ready", "", 1.0);
    return true;
}

fs::path Builder::LoadMusicFolder() const {
    return Utf8Path(ReadStringKey(root / "launcher.json", "music"));
}

fs::path Builder::MusicDbFolder() const {
    return PlayDir() / "hdd" / "E" / "TDATA" / "FFFE0000" / "MUSIC";
}

bool Builder::ImportMusic(const fs::path& folder, std::string& summary, std::string& err) {
    stop = false;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        err = "The music folder is not there: " + PathUtf8(folder);
        return false;
    }
    MusicPrograms programs;
    const std::string suffix = platform->ExeSuffix();
    if (!suffix.empty()) {
        if (!LookUpTools(toolchain, err, false)) return false;
        auto tool = std::find_if(toolchain.tools.begin(), toolchain.tools.end(),
                                 [](const Tool& t) { return t.id == "ffmpeg"; });
        if (tool == toolchain.tools.end()) {
            err = "toolchain.json lists no ffmpeg, which converts the music";
            return false;
        }
        if (!InstallTool(*tool, err)) return false;
        const fs::path bin = ToolDir("ffmpeg") / "bin";
        programs.ffmpeg = PathUtf8(bin / Utf8Path("ffmpeg" + suffix));
        programs.ffprobe = PathUtf8(bin / Utf8Path("ffprobe" + suffix));
    }
    return ImportMusicWith(*this, programs, DefaultMusicJobs(), folder, summary, err);
}

}  // namespace launcher
