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
#include <utility>
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
#include "platform/plain_file.h"

namespace launcher {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

namespace {

constexpr char kCacheName[] = "launcher-music.json";
constexpr char kDbName[] = "ST.DB";
constexpr char kStagingName[] = ".staging";
// In the work folder: which source each staged song was converted from, and how far the run got (see
// Journal). A run that ends abnormally leaves it, and the next start finishes or undoes the run by it.
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

// The work folder's journal: which source each staged song was converted from, in the cache's form with
// the staged name as "file", and whether the run got past the point where the old songs give way
// ("placing"): from there on it can only be finished, before that only undone.
struct Journal {
    json songs = json::object();
    bool placing = false;
};

json JournalJson(const Journal& journal) {
    return json{{"placing", journal.placing}, {"songs", journal.songs}};
}

// False when there is no journal or it cannot be read. A journal of one object of songs alone (an older
// launcher's) is one that never got to placing.
bool ReadJournal(const fs::path& file, Journal& journal) {
    std::string text;
    if (!ReadWholeFile(file, text)) return false;
    json parsed = json::parse(text, nullptr, false);
    if (!parsed.is_object()) return false;
    const auto songs = parsed.find("songs");
    if (songs == parsed.end()) {
        journal.songs = std::move(parsed);
        journal.placing = false;
        return true;
    }
    const auto placing = parsed.find("placing");
    if (!songs->is_object() || placing == parsed.end() || !placing->is_boolean()) return false;
    journal.songs = *songs;
    journal.placing = placing->get<bool>();
    return true;
}

json ReadCache(const fs::path& file) {
    std::string text;
    if (!ReadWholeFile(file, text)) return json::object();
    json cache = json::parse(text, nullptr, false);
    return cache.is_object() ? cache : json::object();
}

// A staged song of the journal that still waits in the work folder, and the place the cache names for the
// very conversion (the same size and time). Only names of the import's own forms are taken, each place
// once, so nothing outside the soundtrack folder can be touched by a damaged file.
struct WaitingSong {
    std::string key;
    fs::path staged;
    fs::path place;
    std::string file;  // the place, as the cache names it
};

std::vector<WaitingSong> WaitingSongs(const fs::path& music, const fs::path& staging, const json& songs,
                                      const json& cache) {
    std::vector<WaitingSong> out;
    std::set<std::string> taken;
    for (const auto& item : songs.items()) {
        CacheEntry moved;
        CacheEntry entry;
        if (!FindCacheEntry(songs, item.key(), moved) || !IsStagedName(moved.file)) continue;
        const fs::path staged = staging / moved.file;
        std::error_code ec;
        if (IsLink(staged) || !fs::is_regular_file(staged, ec)) continue;
        if (!FindCacheEntry(cache, item.key(), entry) || entry.size != moved.size || entry.time != moved.time ||
            !IsSongFileName(entry.file) || !taken.insert(entry.file).second) {
            continue;
        }
        out.push_back(WaitingSong{item.key(), staged, music / Utf8Path(entry.file), entry.file});
    }
    return out;
}

// Moves a song into its place, whose folder is made when missing; a file already there is replaced.
bool PlaceSong(const fs::path& staged, const fs::path& place, std::string& err) {
    // A song folder that is a link (one that could not be removed) would lead the song elsewhere.
    if (IsLink(place.parent_path())) {
        err = "the folder is a link that could not be removed";
        return false;
    }
    std::error_code ec;
    fs::create_directories(place.parent_path(), ec);
    return MoveReplacing(staged, place, err);
}

// Undoes a run that did not get to placing: its kept songs go back where the cache on disk, still the old
// one, names them. A place that is taken keeps what it holds: that song was never moved away. Gives how
// many were put back; `failed` counts those that could not be.
size_t PutBackKept(const fs::path& music, const fs::path& staging, const json& songs, size_t& failed) {
    size_t back = 0;
    failed = 0;
    for (const WaitingSong& song : WaitingSongs(music, staging, songs, ReadCache(music / kCacheName))) {
        if (EntryExists(song.place)) continue;
        std::string ignored;
        if (PlaceSong(song.staged, song.place, ignored)) {
            ++back;
        } else {
            ++failed;
        }
    }
    return back;
}

// The steps of a run past the point where the old songs give way: the old song folders go, the new cache,
// the songs and the new database take their places, and the work folder goes. What the work folder still
// holds tells which steps are done, so a run cut short anywhere here is finished the same way from its
// journal. False when the cache or the database could not be put in place; the work folder then stays for
// the next try. `placed` counts the songs moved.
bool FinishPlacing(Builder& builder, const fs::path& music, const fs::path& staging, const json& songs,
                   size_t& placed, std::string& err) {
    placed = 0;
    const fs::path cacheFile = music / kCacheName;
    const fs::path dbFile = music / kDbName;
    const fs::path newCache = staging / kCacheName;
    const fs::path newDb = staging / kDbName;
    std::string reason;
    // While the new cache waits, no song is placed yet, so every song folder is one of the old import's.
    // Loose files in the soundtrack folder are not the import's.
    if (EntryExists(newCache)) {
        std::vector<fs::path> oldFolders;
        std::error_code ec;
        for (fs::directory_iterator it(music, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (it->path().filename() != kStagingName && it->is_directory(typeError)) oldFolders.push_back(it->path());
        }
        for (const fs::path& old : oldFolders) {
            std::string removeErr;
            if (!RemoveTree(old, removeErr)) {
                builder.Log("music: could not remove " + PathUtf8(old) + ": " + removeErr);
            }
        }
        // The new cache goes first: the old one would name places that the new songs are about to take,
        // and the launcher never leaves a database of its own without a cache beside it.
        if (!MoveReplacing(newCache, cacheFile, reason)) {
            err = "Could not write " + PathUtf8(cacheFile) + ": " + reason;
            return false;
        }
    }
    json cache = ReadCache(cacheFile);
    bool cacheChanged = false;
    for (const WaitingSong& song : WaitingSongs(music, staging, songs, cache)) {
        std::string placeErr;
        if (PlaceSong(song.staged, song.place, placeErr)) {
            ++placed;
            continue;
        }
        builder.Log("music: could not place " + PathUtf8(song.place) + ": " + placeErr);
        // Whatever lies there is not this song: the next import converts it again.
        cache.erase(song.key);
        cacheChanged = true;
    }
    // Not under the new cache's name in the work folder, which says that no song is placed yet.
    if (cacheChanged) {
        const fs::path corrected = staging / (std::string(kCacheName) + ".placed");
        if (!WriteBytes(corrected, DumpMusicCache(cache), true, reason) ||
            !MoveReplacing(corrected, cacheFile, reason)) {
            builder.Log("music: could not write " + PathUtf8(cacheFile) + ": " + reason);
        }
    }
    if (EntryExists(newDb) && !MoveReplacing(newDb, dbFile, reason)) {
        err = "Could not write " + PathUtf8(dbFile) + ": " + reason;
        builder.Log("music: the new " + std::string(kDbName) + " waits in " + PathUtf8(staging) +
                    "; the next start of the launcher puts it in place");
        return false;
    }
    if (std::string removeErr; !RemoveTree(staging, removeErr)) {
        builder.Log("music: could not remove " + PathUtf8(staging) + ": " + removeErr);
    }
    return true;
}

// Whether the work folder holds a song file.
bool HoldsSongs(const fs::path& staging) {
    std::error_code ec;
    for (fs::directory_iterator it(staging, ec), end; !ec && it != end; it.increment(ec)) {
        if (IsStagedName(PathUtf8(it->path().filename()))) return true;
    }
    return false;
}

// Whether every song the cache on disk names lies in its place: then nothing of the last import waits
// elsewhere. An unreadable cache names nothing for certain, so it counts as not whole.
bool CacheSongsInPlace(const fs::path& music) {
    std::string text;
    if (!ReadWholeFile(music / kCacheName, text)) return !Exists(music / kDbName);
    const json cache = json::parse(text, nullptr, false);
    if (!cache.is_object()) return false;
    for (const auto& item : cache.items()) {
        CacheEntry entry;
        if (FindCacheEntry(cache, item.key(), entry) && IsSongFileName(entry.file) &&
            !EntryExists(music / Utf8Path(entry.file))) {
            return false;
        }
    }
    return true;
}

// One song that ffprobe and ffmpeg work on.
struct Conversion {
    fs::path source;
    fs::path staged;
    ProbeResult probe;
    int probeCode = -1;
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
    std::vector<std::string> answer;
    // Ogg and Opus keep their tags on the audio stream; the format's win where both are there. Streams
    // other than audio are left out, so the caption of a cover picture never becomes a title. JSON holds
    // each value whole, whatever lines a tag's text has.
    c.probeCode = platform.Run(
        {programs.ffprobe, "-v", "error", "-select_streams", "a", "-show_entries",
         "format=duration:format_tags=title,artist:stream_tags=title,artist", "-of", "json", source},
        workDir, {},
        [&](const std::string& line) {
            probeLines.See(line);
            answer.push_back(line);
        },
        stop);
    c.probe = ReadProbeAnswer(answer);
    c.notStarted = NotStarted(programs.ffprobe, c.probeCode, probeLines, stop);
    if (!c.notStarted.empty() || IsLoaderFailure(c.probeCode)) return;
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

// What a loader status says, for a program that printed nothing about it.
std::string LoaderFailureText(int code) {
    switch (static_cast<uint32_t>(code)) {
        case 126: return "it cannot be executed (exit code 126)";
        case 127: return "a library or program it needs is missing (exit code 127)";
        case 0xC0000135u: return "a DLL it needs is missing (0xC0000135)";
        case 0xC000007Bu: return "a DLL it needs is not made for this system (0xC000007B)";
        case 0xC0000139u: return "a DLL it needs lacks a function it uses (0xC0000139)";
        case 0xC0000142u: return "a DLL it needs could not start (0xC0000142)";
        default: return "it ended with exit code " + std::to_string(code);
    }
}

// Tells a program that starts but cannot run, from its results in song order: a loader's exit code, or
// the very same failure (exit code and last line) for the first songs of the run. A song's own fault
// names the song, so its line is not another song's.
class RunCheck {
public:
    explicit RunCheck(std::string program) : program_(std::move(program)) {}

    // The sentence that ends the import, or "".
    std::string See(bool failed, int code, const std::string& lastLine) {
        if (failed && IsLoaderFailure(code)) return Sentence(code, lastLine);
        if (!open_) return "";
        if (!failed || lastLine.empty() || (same_ > 0 && (code != code_ || lastLine != line_))) {
            open_ = false;
            return "";
        }
        code_ = code;
        line_ = lastLine;
        return ++same_ >= kSameFailures ? Sentence(code, lastLine) : "";
    }

private:
    static constexpr size_t kSameFailures = 3;

    std::string Sentence(int code, const std::string& lastLine) const {
        return "Could not run " + program_ + ": " + (lastLine.empty() ? LoaderFailureText(code) : lastLine);
    }

    std::string program_;
    bool open_ = true;  // no song of the run has told otherwise yet
    size_t same_ = 0;
    int code_ = 0;
    std::string line_;
};

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

namespace {

// The members "title" and "artist" of a tags object, keys in any case; a later one replaces the value.
void ReadTags(const ordered_json& holder, ProbeResult& probe) {
    const auto tags = holder.find("tags");
    if (tags == holder.end() || !tags->is_object()) return;
    for (const auto& [key, value] : tags->items()) {
        if (!value.is_string()) continue;
        const std::string name = LowerAscii(key);
        if (name == "title") probe.title = value.get<std::string>();
        if (name == "artist") probe.artist = value.get<std::string>();
    }
}

}  // namespace

ProbeResult ReadProbeAnswer(const std::vector<std::string>& lines) {
    ProbeResult probe;
    // ffprobe's JSON writer gives the object's braces lines of their own; its errors come as lines around it.
    size_t begin = lines.size();
    size_t end = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (begin == lines.size() && lines[i] == "{") begin = i;
        if (begin != lines.size() && lines[i] == "}") end = i;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if ((i < begin || i > end || end == lines.size()) && !lines[i].empty()) probe.message = lines[i];
    }
    if (end == lines.size()) return probe;
    std::string text;
    for (size_t i = begin; i <= end; ++i) text += lines[i] + "\n";
    // A tag that is no UTF-8 must not cost the song its length.
    const ordered_json answer = ordered_json::parse(ValidUtf8(text), nullptr, false);
    if (!answer.is_object()) return probe;
    if (const auto streams = answer.find("streams"); streams != answer.end() && streams->is_array()) {
        for (const ordered_json& stream : *streams) {
            if (stream.is_object()) ReadTags(stream, probe);
        }
    }
    const auto format = answer.find("format");
    if (format == answer.end() || !format->is_object()) return probe;
    ReadTags(*format, probe);
    if (const auto duration = format->find("duration"); duration != format->end()) {
        if (duration->is_number()) {
            probe.seconds = duration->get<double>();
        } else if (duration->is_string()) {
            const std::string value = duration->get<std::string>();
            double seconds = 0;
            const std::from_chars_result read = std::from_chars(value.data(), value.data() + value.size(), seconds);
            probe.seconds = read.ec == std::errc() ? seconds : 0;  // "N/A" and the like
        }
    }
    return probe;
}

bool IsLoaderFailure(int exitCode) {
    switch (static_cast<uint32_t>(exitCode)) {
        case 126:
        case 127:
        case 0xC0000135u:  // STATUS_DLL_NOT_FOUND
        case 0xC000007Bu:  // STATUS_INVALID_IMAGE_FORMAT
        case 0xC0000139u:  // STATUS_ENTRYPOINT_NOT_FOUND
        case 0xC0000142u:  // STATUS_DLL_INIT_FAILED
            return true;
        default:
            return false;
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

bool RecoverMusicImport(Builder& builder, std::string& err) {
    const fs::path music = Full(builder.MusicDbFolder());
    const fs::path staging = music / kStagingName;
    if (!EntryExists(staging)) return true;
    const fs::path journalFile = staging / kJournalName;
    Journal journal;
    if (ReadJournal(journalFile, journal)) {
        if (journal.placing) {
            size_t placed = 0;
            const bool done = FinishPlacing(builder, music, staging, journal.songs, placed, err);
            if (done) {
                builder.Log("music: the import cut short last time is finished: " + std::to_string(placed) +
                            " songs placed");
            }
            return done;
        }
        size_t failed = 0;
        if (const size_t back = PutBackKept(music, staging, journal.songs, failed); back > 0) {
            builder.Log("music: " + std::to_string(back) + " songs put back that an unfinished import had moved");
        }
        if (failed > 0) {
            err = "Could not put back " + std::to_string(failed) + " songs that an unfinished import moved into " +
                  PathUtf8(staging) + "; the next start of the launcher tries again";
            return false;
        }
    } else if (HoldsSongs(staging) && !CacheSongsInPlace(music)) {
        // Songs that the last import took out of their places may wait here, and nothing tells which.
        err = "The last import was cut short and left songs in " + PathUtf8(staging) + " without " + kJournalName +
              ", which says where they belong. Move that folder out of " + PathUtf8(music) +
              " (its songs will be converted again), then import again.";
        return false;
    }
    std::string removeErr;
    if (!RemoveTree(staging, removeErr)) {
        err = "Could not clear " + PathUtf8(staging) + ": " + removeErr;
        return false;
    }
    return true;
}

bool ImportMusicWith(Builder& builder, const MusicPrograms& programs, unsigned jobs, const fs::path& folderGiven,
                     std::string& summary, std::string& err) {
    const std::string folderText = PathUtf8(folderGiven);
    // The children run in the music folder: relative paths would point elsewhere there.
    const fs::path folder = Full(folderGiven);
    const fs::path music = Full(builder.MusicDbFolder());

    // An import cut short first: until it is finished or undone, the soundtracks are neither old nor new.
    if (!RecoverMusicImport(builder, err)) return false;

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
    std::vector<Soundtrack> soundtracks =
        ScanMusicFolder(folder, warnings, {Full(builder.root), music}, &builder.stop);
    if (builder.stop) {
        err = "cancelled";
        return false;
    }
    for (const std::string& warning : warnings) builder.Log("music: " + warning);
    size_t n = 0;
    for (const Soundtrack& soundtrack : soundtracks) n += soundtrack.songs.size();
    if (n == 0) {
        err = "No music found in " + folderText + " (MP3, FLAC, OGG, Opus, M4A, AAC, WAV, WMA or AIFF files)";
        return false;
    }

    const json oldCache = ReadCache(music / kCacheName);

    // Without a work folder every conversion would fail, and the run would then empty the soundtracks.
    const fs::path staging = music / kStagingName;
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
    auto writeJournal = [&](const Journal& journal, std::string& why) {
        std::string reason;
        // A run killed while writing leaves the journal as it was.
        if (ReplaceFileWhole(journalFile, JournalJson(journal).dump(), ".new", reason)) return true;
        why = "Could not write " + PathUtf8(journalFile) + ": " + reason;
        return false;
    };

    std::vector<KeptFileMove> keptMoves;
    // Puts every kept song back; the old song folders may be gone by then. A song that cannot be put back
    // stays in the work folder, from where the next start puts it back.
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
            builder.Log("music: some songs of the last import could not be put back yet; the next start does it");
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
    Journal journal;
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
                    journal.songs[run.key] = JournalEntry(run.size, run.time, run.staged);
                }
            }
            runs.push_back(std::move(run));
        }
    }
    // Noted before anything moves, so that whatever comes, every kept song finds its way back. A song whose
    // move fails stays noted: its place is then taken, which keeps it from being put back over.
    if (std::string why; !writeJournal(journal, why)) return undo(why);
    for (size_t k = 0; k < runs.size(); ++k) {
        if (reusable[k].empty()) continue;
        if (builder.stop) return undo("cancelled");
        std::string moveErr;
        if (MoveReplacing(reusable[k], runs[k].staged, moveErr)) {
            keptMoves.push_back(KeptFileMove{runs[k].staged, reusable[k]});
            runs[k].kept = true;
        }
    }

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
    RunCheck probeCheck(programs.ffprobe);
    RunCheck convertCheck(programs.ffmpeg);
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
            const bool ok = c.exitCode == 0 && c.produced;
            if (!ok && builder.stop) return stopped("cancelled");
            if (std::string why = probeCheck.See(c.probeCode != 0, c.probeCode, c.probe.message); !why.empty()) {
                return stopped(why);
            }
            if (std::string why = convertCheck.See(!ok, c.exitCode, c.lastLine); !why.empty()) return stopped(why);
            song.ms = DurationMs(c.probe.seconds);
            song.title = SongTitle(c.probe, song.title);
            if (!ok) {
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

    size_t placedCount = 0;
    for (size_t s = 0; s < soundtracks.size(); ++s) {
        for (size_t i = 0; i < soundtracks[s].songs.size(); ++i) {
            cache[staged[placedCount++]->key]["file"] =
                SongFileName(static_cast<uint32_t>(s + 1), static_cast<uint32_t>(i));
        }
    }

    // The database and the cache are written in full before the old songs go, so that a full disk ends
    // the run with nothing lost.
    const fs::path dbFile = music / kDbName;
    const fs::path cacheFile = music / kCacheName;
    std::string reason;
    if (!WriteBytes(staging / kDbName, BuildSoundtrackDb(soundtracks), false, reason)) {
        return undo("Could not write " + PathUtf8(dbFile) + ": " + reason);
    }
    if (!WriteBytes(staging / kCacheName, DumpMusicCache(cache), true, reason)) {
        return undo("Could not write " + PathUtf8(cacheFile) + ": " + reason);
    }
    // The point of no return: from here on the journal names every staged song, converted ones too, and a
    // run cut short is finished from it.
    journal.songs = json::object();
    for (const SongRun* run : staged) journal.songs[run->key] = JournalEntry(run->size, run->time, run->staged);
    journal.placing = true;
    if (std::string why; !writeJournal(journal, why)) return undo(why);
    if (size_t placed = 0; !FinishPlacing(builder, music, staging, journal.songs, placed, err)) return false;
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
