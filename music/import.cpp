#include "music/import.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
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

// Writes a file whole through a temporary beside it, so a full disk never leaves it cut short.
bool WriteWhole(const fs::path& file, const std::string& bytes, bool textMode, std::string& err) {
    fs::path temporary = file;
    temporary += ".new";
    std::error_code ec;
    {
        std::ofstream out(temporary, textMode ? std::ios::out | std::ios::trunc
                                              : std::ios::out | std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            err = "Could not write " + PathUtf8(file);
            return false;
        }
    }
    std::string moveErr;
    if (!MoveReplacing(temporary, file, moveErr)) {
        fs::remove(temporary, ec);
        err = "Could not write " + PathUtf8(file) + ": " + moveErr;
        return false;
    }
    return true;
}

// One song that ffprobe and ffmpeg work on.
struct Conversion {
    fs::path source;
    fs::path staged;
    ProbeResult probe;
    int exitCode = -1;
    std::string lastLine;  // ffmpeg's
    bool produced = false;
};

void Convert(Platform& platform, const MusicPrograms& programs, const fs::path& workDir,
             const std::atomic<bool>* stop, Conversion& c) {
    const std::string source = PathUtf8(c.source);
    platform.Run({programs.ffprobe, "-v", "error", "-show_entries", "format=duration:format_tags=title,artist", "-of",
                  "default=noprint_wrappers=1", source},
                 workDir, {}, [&c](const std::string& line) { ReadProbeLine(line, c.probe); }, stop);
    c.exitCode = platform.Run({programs.ffmpeg, "-nostdin", "-y", "-v", "error", "-i", source, "-vn", "-map_metadata",
                               "-1", "-ac", "2", "-ar", "44100", "-c:a", "wmav2", "-b:a", "160k", PathUtf8(c.staged)},
                              workDir, {}, [&c](const std::string& line) { c.lastLine = line; }, stop);
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

    std::vector<std::string> warnings;
    std::vector<Soundtrack> soundtracks = ScanMusicFolder(folder, warnings);
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

    std::vector<KeptFileMove> keptMoves;
    auto undoStaging = [&] {
        // The old song folders are still there: they go only once every song is done.
        for (const KeptFileMove& move : keptMoves) {
            std::string ignored;
            MoveReplacing(move.staged, move.from, ignored);
        }
        std::string ignored;
        RemoveTree(staging, ignored);
        err = "cancelled";
        return false;
    };

    // First the songs the cache still holds move into the work folder; the rest are converted, several
    // at a time when `jobs` allows, while the results are taken in song order below.
    std::vector<SongRun> runs;
    runs.reserve(n);
    std::vector<Conversion> conversions;
    for (size_t s = 0; s < soundtracks.size(); ++s) {
        for (size_t i = 0; i < soundtracks[s].songs.size(); ++i) {
            if (builder.stop) return undoStaging();
            Song& song = soundtracks[s].songs[i];
            SongRun run;
            run.soundtrack = s;
            run.index = i;
            run.key = PathUtf8(song.source);
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
                    std::string moveErr;
                    if (MoveReplacing(placed, run.staged, moveErr)) {
                        keptMoves.push_back(KeptFileMove{run.staged, placed});
                        run.kept = true;
                    }
                }
            }
            if (!run.kept) {
                run.conversion = conversions.size();
                conversions.push_back(Conversion{song.source, run.staged, {}, -1, {}, false});
            }
            runs.push_back(std::move(run));
        }
    }

    const unsigned threads = jobs > 1 ? static_cast<unsigned>(std::min<size_t>(jobs, conversions.size())) : 0;
    Platform& platform = *builder.platform;
    Converter converter(
        conversions, threads,
        [&](Conversion& c) { Convert(platform, programs, folder, &builder.stop, c); }, builder.stop);
    auto stopped = [&] {
        converter.Finish();
        return undoStaging();
    };

    std::vector<std::vector<Song>> placedSongs(soundtracks.size());
    std::vector<fs::path> staged;
    std::vector<std::string> stagedKeys;
    json cache = json::object();
    size_t kept = 0;
    size_t converted = 0;
    size_t failed = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const SongRun& run = runs[i];
        Song& song = soundtracks[run.soundtrack].songs[run.index];
        if (builder.stop) return stopped();
        builder.Report("Converting your music",
                       std::to_string(i + 1) + " of " + std::to_string(n) + ": " + PathUtf8(song.source.filename()),
                       static_cast<double>(i) / static_cast<double>(n));
        if (run.kept) {
            ++kept;
        } else {
            converter.Wait(run.conversion);
            const Conversion& c = conversions[run.conversion];
            song.ms = DurationMs(c.probe.seconds);
            song.title = SongTitle(c.probe, song.title);
            if (c.exitCode != 0 || !c.produced) {
                if (builder.stop) return stopped();
                builder.Log("music: " + run.key + " could not be converted" +
                            (c.lastLine.empty() ? "" : ": " + c.lastLine));
                ++failed;
                continue;
            }
            ++converted;
        }
        staged.push_back(run.staged);
        stagedKeys.push_back(run.key);
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
            cache[stagedKeys[names.size() - 1]]["file"] = names.back();
        }
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
    for (size_t j = 0; j < staged.size(); ++j) {
        const fs::path target = music / Utf8Path(names[j]);
        std::string moveErr;
        bool placed = false;
        // An old song folder that is a link and could not be removed would lead the song elsewhere.
        if (IsLink(target.parent_path())) {
            moveErr = "the folder is a link that could not be removed";
        } else {
            fs::create_directories(target.parent_path(), ec);
            placed = MoveReplacing(staged[j], target, moveErr);
        }
        if (!placed) builder.Log("music: could not place " + PathUtf8(target) + ": " + moveErr);
    }
    if (std::string ignored; !RemoveTree(staging, ignored)) {
        builder.Log("music: could not remove " + PathUtf8(staging) + ": " + ignored);
    }

    // The songs have their new numbers now: a database or cache that could not be rewritten would
    // describe the old ones, so neither is left behind, and the next import starts afresh.
    std::string writeErr;
    if (!WriteWhole(music / kDbName, BuildSoundtrackDb(soundtracks), false, writeErr) ||
        !WriteWhole(music / kCacheName, DumpMusicCache(cache), true, writeErr)) {
        fs::remove(music / kDbName, ec);
        fs::remove(music / kCacheName, ec);
        err = writeErr;
        return false;
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
