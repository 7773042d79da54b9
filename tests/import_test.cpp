// The music import: on Linux with Debian's real ffmpeg and ffprobe on songs that ffmpeg itself makes;
// on both targets with the stand-ins from tests/programs (ffmpeg.exe and ffprobe.exe under Wine), which
// note their command lines and show which song landed where. The database is read back by a reader
// written from its layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <limits>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "app/app.h"
#include "app/startup.h"
#include "build/builder.h"
#include "game/game_definition.h"
#include "music/import.h"
#include "music/soundtrack_db.h"
#include "platform/file_id.h"
#include "platform/file_ops.h"
#include "platform/file_time.h"
#include "platform/http.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "support/http_server.h"
#include "support/git_repo.h"
#include "support/links.h"
#include "support/pinned.h"
#include "support/soundtrack_db_reader.h"
#include "support/spawn.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kNotThere = "The music folder is not there: ";
constexpr const char* kNoMusicSuffix = " (MP3, FLAC, OGG, Opus, M4A, AAC, WAV, WMA or AIFF files)";

GameDefinition BuiltinGame() {
    GameDefinition game;
    std::string err;
    EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    return game;
}

// Every file below `folder` by its relative name ("/" between parts) with its bytes; links show as
// "link" and are not entered.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    std::function<void(const fs::path&, const std::string&)> walk = [&](const fs::path& at, const std::string& rel) {
        std::error_code ec;
        for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = rel + PathUtf8(it->path().filename());
            if (IsLink(it->path())) {
                out[name] = "link";
            } else if (it->is_directory()) {
                out[name + "/"] = "";
                walk(it->path(), name + "/");
            } else {
                out[name] = test::ReadFile(it->path());
            }
        }
    };
    walk(folder, "");
    return out;
}

// The source path of a cache key: the key itself, or for a name that is not UTF-8 the key after its "%"
// with each "%XX" read back as a byte.
fs::path SourceOfKey(const std::string& key) {
    if (key.empty() || key[0] != '%') return Utf8Path(key);
    std::string bytes;
    for (size_t at = 1; at < key.size(); ++at) {
        if (key[at] == '%' && at + 2 < key.size()) {
            bytes += static_cast<char>(std::stoi(key.substr(at + 1, 2), nullptr, 16));
            at += 2;
        } else {
            bytes += key[at];
        }
    }
    return Utf8Path(bytes);
}

// A soundtrack as the database should describe it.
struct Expected {
    std::string name;
    std::vector<std::string> titles;
};

// Runs the import on a data folder of its own and keeps what it logged and reported.
struct ImportRun {
    explicit ImportRun(const fs::path& root) : builder(BuiltinGame(), root, nullptr, &platform) {
        builder.logSink = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            log.push_back(line);
        };
        builder.statusSink = [this](const Status& status) {
            {
                std::lock_guard lock(mutex);
                reports.push_back(status);
            }
            if (onStatus) onStatus(status);
        };
    }

    bool Import(const fs::path& folder, const MusicPrograms& programs, unsigned jobs) {
        log.clear();
        reports.clear();
        summary.clear();
        err.clear();
        builder.stop = false;
        return ImportMusicWith(builder, programs, jobs, folder, summary, err);
    }

    fs::path Music() const { return builder.MusicDbFolder(); }

    // The lines of the music import, without the time.
    std::vector<std::string> MusicLines() const {
        std::vector<std::string> out;
        for (const std::string& line : log) {
            if (line.rfind("music: ", 0) == 0) out.push_back(line);
        }
        return out;
    }

    std::string LastLine() const { return log.empty() ? "" : log.back(); }

    // The database read back, compared with what is expected; every song's file is where the game looks
    // for it, and no other file lies in the song folders.
    std::vector<test::DbSoundtrack> CheckDatabase(const std::vector<Expected>& expected) {
        std::vector<test::DbSoundtrack> db;
        std::string readErr;
        EXPECT_TRUE(test::ReadSoundtrackDb(test::ReadFile(Music() / "ST.DB"), db, readErr)) << readErr;
        EXPECT_EQ(db.size(), expected.size());
        std::map<std::string, std::string> songFiles;
        for (const auto& [name, bytes] : Snapshot(Music())) {
            if (name.find('/') != std::string::npos && name.back() != '/') songFiles[name] = bytes;
        }
        size_t songs = 0;
        for (size_t s = 0; s < db.size() && s < expected.size(); ++s) {
            EXPECT_EQ(db[s].name, expected[s].name);
            std::vector<std::string> titles;
            for (const test::DbSong& song : db[s].songs) {
                titles.push_back(song.title);
                const fs::path file = test::DbSongFile(song.id);
                EXPECT_TRUE(fs::is_regular_file(Music() / file)) << PathUtf8(file);
                EXPECT_EQ(songFiles.count(PathUtf8(file.parent_path()) + "/" + PathUtf8(file.filename())), 1u);
                ++songs;
            }
            EXPECT_EQ(titles, expected[s].titles);
        }
        EXPECT_EQ(songFiles.size(), songs) << "files in the song folders that the database does not name";
        EXPECT_FALSE(EntryExists(Music() / ".staging"));
        return db;
    }

    // The cache read back: its layout, and for each song of the database the entry that names its file.
    json CheckCache(const std::vector<test::DbSoundtrack>& db) {
        const std::string text = test::ReadFile(Music() / "launcher-music.json");
#ifdef _WIN32
        const std::string lineEnd = "\r\n";  // written as text
#else
        const std::string lineEnd = "\n";
#endif
        std::string flat;  // with plain line ends
        for (size_t at = 0; at < text.size(); ++at) {
            if (text.compare(at, lineEnd.size(), lineEnd) == 0) {
                flat += '\n';
                at += lineEnd.size() - 1;
            } else {
                EXPECT_NE(text[at], '\n') << "a line end that is not the system's";
                flat += text[at];
            }
        }
        const json cache = json::parse(flat, nullptr, false);
        EXPECT_TRUE(cache.is_object());
        if (!cache.is_object()) return cache;
        // One space per level, members by key, UTF-8 unescaped, no line end at the end.
        EXPECT_EQ(flat, cache.dump(1));
        size_t entries = 0;
        for (const test::DbSoundtrack& soundtrack : db) {
            for (const test::DbSong& song : soundtrack.songs) {
                const fs::path file = test::DbSongFile(song.id);
                const std::string name = PathUtf8(file.parent_path()) + "/" + PathUtf8(file.filename());
                int found = 0;
                for (const auto& [key, entry] : cache.items()) {
                    if (entry.value("file", "") != name) continue;
                    ++found;
                    EXPECT_EQ(entry.size(), 5u);
                    EXPECT_EQ(entry.value("name", ""), song.title);
                    EXPECT_EQ(entry.value("ms", 0u), song.ms);
                    EXPECT_TRUE(entry.contains("time") && entry.at("time").is_number_integer());
                    std::error_code ec;
                    EXPECT_EQ(entry.value("size", uint64_t{0}), fs::file_size(SourceOfKey(key), ec)) << key;
                }
                EXPECT_EQ(found, 1) << name;
                ++entries;
            }
        }
        EXPECT_EQ(cache.size(), entries);
        return cache;
    }

    test::TestPlatform platform;
    Builder builder;
    std::mutex mutex;
    std::vector<std::string> log;
    std::vector<Status> reports;
    std::function<void(const Status&)> onStatus;
    std::string summary;
    std::string err;
};

// ---- The pieces ----------------------------------------------------------------------------------

// The lines ffprobe prints for a JSON answer of `format` (its members as JSON text) and `streams`,
// with error lines before it.
std::vector<std::string> AnswerLines(const std::string& format, const std::vector<std::string>& streams = {},
                                     const std::vector<std::string>& errors = {}) {
    std::string text = "{\n    \"streams\": [\n";
    for (size_t i = 0; i < streams.size(); ++i) {
        text += std::string(i == 0 ? "" : ",\n") + "        {\n            \"tags\": {\n" + streams[i] +
                "\n            }\n        }";
    }
    text += "\n    ],\n    \"format\": {\n" + format + "\n    }\n}";
    std::vector<std::string> lines = errors;
    for (size_t at = 0; at <= text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

TEST(ProbeAnswer, DurationTitleAndArtist) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        double seconds;
        const char* title;
        const char* artist;
        const char* message;
    } cases[] = {
        {"all three", AnswerLines(R"("duration": "12.5", "tags": {"title": "Song", "artist": "Band"})"), 12.5, "Song",
         "Band", ""},
        {"keys in any case, values as they are",
         AnswerLines(R"("tags": {"TITLE": "Mixed Case", "Artist": "ÄRTIST"})"), 0, "Mixed Case", "ÄRTIST", ""},
        {"N/A", AnswerLines(R"("duration": "N/A")"), 0, "", "", ""},
        {"a number as far as it reads", AnswerLines(R"("duration": "3.25s")"), 3.25, "", "", ""},
        {"a JSON number", AnswerLines(R"("duration": 7.5)"), 7.5, "", "", ""},
        {"no duration", AnswerLines(R"("tags": {"title": "x"})"), 0, "x", "", ""},
        {"the stream's tags, the format's winning",
         AnswerLines(R"("tags": {"title": "Format"})", {R"("title": "Stream", "artist": "Band")"}), 0, "Format",
         "Band", ""},
        {"a later stream's tags replace",
         AnswerLines(R"("duration": "1")", {R"("title": "One")", R"("title": "Two")"}), 1, "Two", "", ""},
        {"a later key of another case replaces", AnswerLines(R"("tags": {"tItle": "First", "title": "Second"})"), 0,
         "Second", "", ""},
        {"an empty value", AnswerLines(R"("tags": {"title": ""})", {R"("title": "x")"}), 0, "", "", ""},
        {"other tags and members", AnswerLines(R"("size": "9", "tags": {"album": "x", "titles": "z", "title": 5})"),
         0, "", "", ""},
        // A tag's text holds lines of the line writer's form: they stay in the title.
        {"line breaks and key=value text in a tag",
         AnswerLines(R"("duration": "1.000000", "tags": {"title": "A\nduration=98765\nTAG:artist=X"})"), 1,
         "A\nduration=98765\nTAG:artist=X", "", ""},
        {"a tag that is not UTF-8", AnswerLines("\"duration\": \"2\", \"tags\": {\"title\": \"caf\xE9\"}"), 2,
         "caf\xEF\xBF\xBD", "", ""},
        {"error lines before an empty answer",
         {"[mp3 @ 0x55] Failed to read frame size: Could not seek to 1031.", "/m/b.mp3: Invalid argument", "{", "",
          "}"},
         0, "", "", "/m/b.mp3: Invalid argument"},
        {"a loader's message and no answer",
         {"ffprobe: error while loading shared libraries: libavdevice.so.59: cannot open shared object file"}, 0, "",
         "", "ffprobe: error while loading shared libraries: libavdevice.so.59: cannot open shared object file"},
        {"an answer cut short", {"{", "    \"format\": {", "        \"duration\": \"5\""}, 0, "", "",
         "        \"duration\": \"5\""},
        {"no JSON between the braces", {"{", "duration=5", "}"}, 0, "", "", ""},
        {"nothing", {}, 0, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProbeResult probe = ReadProbeAnswer(c.lines);
        EXPECT_EQ(probe.seconds, c.seconds);
        EXPECT_EQ(probe.title, c.title);
        EXPECT_EQ(probe.artist, c.artist);
        EXPECT_EQ(probe.message, c.message);
    }
}

TEST(ProbeAnswer, LengthAndTitleOfTheSong) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        uint32_t ms;
    } lengths[] = {
        {0, 0},          {2.0375, 2037},   {0.0009, 0},  {180.999, 180999},
        {5000000, 705032704},  // 5e9 ms keeps its low 32 bits
        {-1.5, 4294965796u},   // -1500 as 32 bits
        {nan, 0},        {inf, 0},         {-inf, 0},    {1e300, 0},
    };
    for (const Case& c : lengths) EXPECT_EQ(DurationMs(c.seconds), c.ms) << c.seconds;

    struct TitleCase {
        const char* title;
        const char* artist;
        const char* result;
    } titles[] = {
        {"Song", "Band", "Band / Song"},
        {"Song", "", "Song"},
        {"", "Band", "stem"},  // an artist alone leaves the file's stem
        {"", "", "stem"},
    };
    for (const TitleCase& c : titles) {
        ProbeResult probe;
        probe.title = c.title;
        probe.artist = c.artist;
        EXPECT_EQ(SongTitle(probe, "stem"), c.result);
    }
}

TEST(ProbeAnswer, ExitCodesOfAProgramThatCannotRun) {
    struct Case {
        int64_t code;
        bool loader;
    } cases[] = {
        {127, true},         {126, true},         {0xC0000135, true}, {0xC000007B, true}, {0xC0000139, true},
        {0xC0000142, true},  {0, false},          {1, false},         {-1, false},        {139, false},
        {255, false},        {0xC0000005, false},  // a crash is a song's failure
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLoaderFailure(static_cast<int>(static_cast<uint32_t>(c.code))), c.loader) << std::hex << c.code;
    }
}

TEST(MusicCache, SongFileNamesThatMayBeMoved) {
    struct Case {
        const char* file;
        bool ok;
    } cases[] = {
        {"0001/00010000.WMA", true},
        {"0064/006401f7.WMA", true},
        {"000a/000a001f.WMA", true},
        {"", false},
        {"0001/00010000.wma", false},
        {"0001/00010000.WMA/", false},
        {"0001\\00010000.WMA", false},
        {"000A/000A001F.WMA", false},
        {"0002/00010000.WMA", false},  // not the soundtrack's own folder
        {"../../00010000.WMA", false},
        {"0001/../00010000", false},
        {"/001/00010000.WMA", false},
        {"C:/1/00010000.WMA", false},
        {".staging/0.WMA", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsSongFileName(c.file), c.ok) << c.file;
}

TEST(MusicCache, TextLayout) {
    json cache = json::object();
    cache["/m/b.mp3"] = json{{"size", uint64_t{3}}, {"time", int64_t{-1}}, {"file", "0001/00010001.WMA"},
                             {"name", "\xC3\x9C"}, {"ms", uint32_t{5}}};
    cache["/m/a.mp3"] = json{{"size", std::numeric_limits<uint64_t>::max()},
                             {"time", std::numeric_limits<int64_t>::min()}, {"file", "0001/00010000.WMA"},
                             {"name", "a"}, {"ms", uint32_t{0}}};
    EXPECT_EQ(DumpMusicCache(cache),
              "{\n"
              " \"/m/a.mp3\": {\n"
              "  \"file\": \"0001/00010000.WMA\",\n"
              "  \"ms\": 0,\n"
              "  \"name\": \"a\",\n"
              "  \"size\": 18446744073709551615,\n"
              "  \"time\": -9223372036854775808\n"
              " },\n"
              " \"/m/b.mp3\": {\n"
              "  \"file\": \"0001/00010001.WMA\",\n"
              "  \"ms\": 5,\n"
              "  \"name\": \"\xC3\x9C\",\n"
              "  \"size\": 3,\n"
              "  \"time\": -1\n"
              " }\n"
              "}");
    EXPECT_EQ(DumpMusicCache(json::object()), "{}");

    // Names on Linux need not be UTF-8, nor tags anywhere: the cache is written all the same.
    json odd = json::object();
    odd["/m/\xFF.mp3"] = json{{"name", "bad \xC3"}};
    const std::string text = DumpMusicCache(odd);
    EXPECT_NE(text.find("/m/\xEF\xBF\xBD.mp3"), std::string::npos);
    EXPECT_TRUE(json::parse(text, nullptr, false).is_object());
}

TEST(MusicCache, NamesThatAreNotUtf8KeepTheirKey) {
    struct Case {
        std::string path;
        std::string key;
    } cases[] = {
        {"/m/Rock/song.mp3", "/m/Rock/song.mp3"},
        {"/m/\xC3\xA7" "a va \xF0\x9F\x8E\xB5.opus", "/m/\xC3\xA7" "a va \xF0\x9F\x8E\xB5.opus"},
        {"/m/100%.mp3", "/m/100%.mp3"},
        {"/m/caf\xE9.mp3", "%/m/caf%E9.mp3"},  // Latin-1
        {"/m/50% caf\xE9.mp3", "%/m/50%25 caf%E9.mp3"},
        {"%caf\xC3\xA9", "%%25caf\xC3\xA9"},  // valid, but would read as an escaped key
        {"/m/\xC0\xAF.mp3", "%/m/%C0%AF.mp3"},          // an overlong "/"
        {"/m/\xED\xA0\x80.mp3", "%/m/%ED%A0%80.mp3"},   // a surrogate
        {"/m/\xF4\x90\x80\x80", "%/m/%F4%90%80%80"},  // past U+10FFFF
        {"/m/\xE2\x82", "%/m/%E2%82"},                // cut short
    };
    std::set<std::string> keys;
    for (const Case& c : cases) {
        EXPECT_EQ(MusicCacheKey(c.path), c.key) << c.path;
        keys.insert(c.key);
        // The key survives the cache file unchanged.
        json cache = json::object();
        cache[MusicCacheKey(c.path)] = json::object();
        EXPECT_TRUE(json::parse(DumpMusicCache(cache), nullptr, false).contains(c.key)) << c.path;
    }
    EXPECT_EQ(keys.size(), std::size(cases));

    struct TitleCase {
        std::string text;
        std::string valid;
    } titles[] = {
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},
        {"caf\xE9", "caf\xEF\xBF\xBD"},
        {"\xFF\xFE x \xC0", "\xEF\xBF\xBD x \xEF\xBF\xBD"},  // one replacement for each run of bad bytes
        {"a\xE2\x82", "a\xEF\xBF\xBD"},
        {"\xED\xB2\x80", "\xEF\xBF\xBD"},
    };
    for (const TitleCase& c : titles) {
        EXPECT_EQ(IsValidUtf8(c.text), c.text == c.valid) << c.text;
        EXPECT_EQ(ValidUtf8(c.text), c.valid) << c.text;
    }
}

TEST(MusicSetting, LoadMusicFolder) {
    struct Case {
        const char* name;
        const char* file;  // nullptr: no launcher.json
        std::string folder;
    } cases[] = {
        {"no settings file", nullptr, ""},
        {"not JSON", "{ music", ""},
        {"an array", "[\"music\"]", ""},
        {"not a string", "{\"music\": 5}", ""},
        {"no music", "{\"game\": \"x\"}", ""},
        {"a folder", "{\"game\": \"x\", \"music\": \"M\xC3\xBCsic/Rock\"}", "M\xC3\xBCsic/Rock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::TestPlatform platform;
        Builder builder(BuiltinGame(), dir / "data", nullptr, &platform);
        if (c.file) test::WriteFile(dir / "data" / "launcher.json", c.file);
        EXPECT_EQ(builder.LoadMusicFolder(), Utf8Path(c.folder));
    }
    test::TempDir dir;
    test::TestPlatform platform;
    Builder builder(BuiltinGame(), dir / "data", nullptr, &platform);
    EXPECT_EQ(builder.MusicDbFolder(), dir / "data" / "play" / "hdd" / "E" / "TDATA" / "FFFE0000" / "MUSIC");
}

// ---- With the stand-ins, on both targets ---------------------------------------------------------

MusicPrograms StandIns() {
    MusicPrograms programs;
    programs.ffmpeg = PathUtf8(test::TestProgram("ffmpeg"));
    programs.ffprobe = PathUtf8(test::TestProgram("ffprobe"));
    return programs;
}

// What a stand-in noted about its last call for `source`: the working folder, then the arguments.
std::vector<std::string> StandInCall(const fs::path& source, const char* tool) {
    fs::path record = source;
    record += std::string(".") + tool + ".args";
    std::vector<std::string> lines;
    std::string text = test::ReadFile(record);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') line = line.substr(1, line.size() - 2);
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

bool SameFolder(const std::string& a, const fs::path& b) {
    FileId idA, idB;
    return IdentifyFile(Utf8Path(a), idA) && IdentifyFile(b, idB) && idA == idB;
}

TEST(MusicImportStandIn, RunsBothProgramsInTheMusicFolder) {
    test::TempDir dir;
    const fs::path folder = dir / Utf8Path("M\xC3\xBC sic");
    const fs::path source = folder / Utf8Path("D\xC3\xAFsc") / Utf8Path("s\xC3\xB3ng one.mp3");
    test::WriteFile(source, "duration=1.5\nTAG:title=One\n");
    ImportRun run(dir / "data");
    const MusicPrograms programs = StandIns();
    ASSERT_TRUE(run.Import(folder, programs, 1)) << run.err;

    const std::string sourceText = PathUtf8(source);
    const std::vector<std::string> probe = StandInCall(source, "ffprobe");
    ASSERT_FALSE(probe.empty());
    EXPECT_TRUE(SameFolder(probe[0].substr(4), folder)) << probe[0];
    EXPECT_EQ(std::vector<std::string>(probe.begin() + 1, probe.end()),
              (std::vector<std::string>{programs.ffprobe, "-v", "error", "-select_streams", "a", "-show_entries",
                                        "format=duration:format_tags=title,artist:stream_tags=title,artist", "-of",
                                        "json", sourceText}));
    const std::vector<std::string> convert = StandInCall(source, "ffmpeg");
    ASSERT_FALSE(convert.empty());
    EXPECT_TRUE(SameFolder(convert[0].substr(4), folder)) << convert[0];
    EXPECT_EQ(std::vector<std::string>(convert.begin() + 1, convert.end()),
              (std::vector<std::string>{programs.ffmpeg, "-nostdin", "-y", "-v", "error", "-i", sourceText, "-vn",
                                        "-map_metadata", "-1", "-ac", "2", "-ar", "44100", "-c:a", "wmav2", "-b:a",
                                        "160k", PathUtf8(run.Music() / ".staging" / "0.WMA")}));

    EXPECT_EQ(run.summary, "1 songs in 1 soundtracks");
    EXPECT_EQ(test::ReadFile(run.Music() / "0001" / "00010000.WMA"), "converted:duration=1.5\nTAG:title=One\n");
    EXPECT_EQ(run.builder.LoadMusicFolder(), folder);
    run.CheckCache(run.CheckDatabase({{"D\xC3\xAFsc", {"One"}}}));
}

// Ogg and Opus files keep their tags on the audio stream; a format tag wins where both are there, and the
// caption of a cover picture is no title.
TEST(MusicImportStandIn, TitlesComeFromTheFormatOrElseTheAudioStream) {
    test::TempDir dir;
    const fs::path folder = dir / "Music";
    test::WriteFile(folder / "1.ogg", "duration=1\n!stream TAG:title=Ay\n!stream TAG:ARTIST=Artist A\n");
    test::WriteFile(folder / "2.opus",
                    "duration=1\n!stream TAG:title=Stream\n!stream TAG:artist=Band\nTAG:title=Format\n");
    test::WriteFile(folder / "3.mp3", "duration=1\n!cover TAG:title=Album cover\n");
    test::WriteFile(folder / "4.mp3",
                    "duration=1\nTAG:title=Song\nTAG:artist=Artist\n!cover TAG:title=Album cover\n");
    // A title whose lines read like the probe's own: it sets neither the length nor the artist.
    test::WriteFile(folder / "5.mp3", "duration=1.5\nTAG:title=A\\nduration=98765\\nTAG:artist=X\n");
    ImportRun run(dir / "data");
    ASSERT_TRUE(run.Import(folder, StandIns(), 2)) << run.err;
    const std::vector<test::DbSoundtrack> db = run.CheckDatabase(
        {{"Music", {"Artist A / Ay", "Band / Format", "3", "Artist / Song", "A\nduration=98765\nTAG:artist=X"}}});
    run.CheckCache(db);
    ASSERT_EQ(db.size(), 1u);
    EXPECT_EQ(db[0].songs[4].ms, 1500u);
}

// Windows's executable suffix on every target, so the import installs its programs as the toolchain tool
// "ffmpeg" and runs them from there (on Linux the stand-ins under Windows names).
class WindowsNamesPlatform : public test::TestPlatform {
public:
    std::string ExeSuffix() const override { return ".exe"; }
};

// The import through the tool installation: the toolchain description and the tool's archive come from
// the loopback server.
struct MusicToolTest : ::testing::Test {
    MusicToolTest() {
        game = BuiltinGame();
        game.toolchain = server.Url("/toolchain.json");
        builder = std::make_unique<Builder>(game, dir / "data", http.get(), &platform);
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
        builder->statusSink = [this](const Status& status) { reports.push_back(status); };
        const fs::path zip = dir / "ffmpeg-7.1-win64.zip";
        using test::ZipEntry;
        test::WriteZipOrFail(zip, {ZipEntry::Program("ffmpeg-7.1-win64/bin/ffmpeg.exe", test::TestProgram("ffmpeg")),
                                   ZipEntry::Program("ffmpeg-7.1-win64/bin/ffprobe.exe", test::TestProgram("ffprobe")),
                                   ZipEntry("ffmpeg-7.1-win64/doc/readme.txt", "not kept")});
        test::Route route;
        route.file = zip;
        server.Serve("/files/ffmpeg-7.1-win64.zip", route);
        ffmpegTool = json{{"id", "ffmpeg"}, {"title", "FFmpeg 7.1"}, {"kind", "zip"},
                          {"url", server.Url("/files/ffmpeg-7.1-win64.zip")}, {"sha256", Sha256File(zip)},
                          {"size", fs::file_size(zip)}, {"strip", 1}, {"keep", json::array({"bin/"})}};
        test::WriteFile(folder / "Disc" / "1.mp3", "duration=1\nTAG:title=One\n");
        test::WriteFile(folder / "Disc" / "2.mp3", "duration=2\n");
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    test::TempDir dir;
    fs::path folder = dir / Utf8Path("M\xC3\xBCsic");
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    WindowsNamesPlatform platform;
    GameDefinition game;
    std::unique_ptr<Builder> builder;
    json ffmpegTool;
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::string summary;
    std::string err;
};

TEST_F(MusicToolTest, InstallsFfmpegOnceAndConvertsWithIt) {
    server.ServeJson("/toolchain.json", json{{"tools", json::array({ffmpegTool})}}.dump());
    ASSERT_TRUE(builder->ImportMusic(folder, summary, err)) << err;
    EXPECT_EQ(summary, "2 songs in 1 soundtracks");
    const fs::path bin = builder->ToolDir("ffmpeg") / "bin";
    const std::vector<std::string> convert = StandInCall(folder / "Disc" / "1.mp3", "ffmpeg");
    const std::vector<std::string> probe = StandInCall(folder / "Disc" / "1.mp3", "ffprobe");
    ASSERT_GE(convert.size(), 2u);
    ASSERT_GE(probe.size(), 2u);
    EXPECT_EQ(convert[1], PathUtf8(bin / "ffmpeg.exe"));
    EXPECT_EQ(probe[1], PathUtf8(bin / "ffprobe.exe"));
    EXPECT_EQ(test::FilesBelow(builder->ToolDir("ffmpeg")),
              (std::vector<std::string>{".launcher-stamp", "bin/ffmpeg.exe", "bin/ffprobe.exe"}));
    const std::string ready = "FFmpeg 7.1 ready in " + PathUtf8(builder->ToolDir("ffmpeg"));
    EXPECT_NE(std::find(logged.begin(), logged.end(), ready), logged.end());
    EXPECT_EQ(test::ReadFile(builder->MusicDbFolder() / "0001" / "00010001.WMA"), "converted:duration=2\n");

    // Installed once: the next import fetches the description again, not the tool.
    ASSERT_TRUE(builder->ImportMusic(folder, summary, err)) << err;
    EXPECT_EQ(server.Requests("/files/ffmpeg-7.1-win64.zip").size(), 1u);
    EXPECT_EQ(server.Requests("/toolchain.json").size(), 2u);
    EXPECT_NE(logged.back().find(", 0 converted, 2 kept from last time"), std::string::npos) << logged.back();

    // A newer last-write time alone, the size unchanged, has that song converted again.
    const fs::path touched = folder / "Disc" / "2.mp3";
    fs::last_write_time(touched, fs::last_write_time(touched) + std::chrono::seconds(5));
    fs::remove(folder / "Disc" / "1.mp3.ffmpeg.args");
    ASSERT_TRUE(builder->ImportMusic(folder, summary, err)) << err;
    EXPECT_NE(logged.back().find(", 1 converted, 1 kept from last time"), std::string::npos) << logged.back();
    EXPECT_FALSE(fs::exists(folder / "Disc" / "1.mp3.ffmpeg.args"));
    EXPECT_EQ(test::ReadFile(builder->MusicDbFolder() / "0001" / "00010000.WMA"),
              "converted:duration=1\nTAG:title=One\n");
}

TEST_F(MusicToolTest, WithoutItsToolNothingIsTouched) {
    struct Case {
        const char* name;
        bool listed;
        int zipStatus;  // 0: served
        std::string err;
    } cases[] = {
        {"no ffmpeg in the description", false, 0, "toolchain.json lists no ffmpeg, which converts the music"},
        {"the archive is not there", true, 404, "Could not download ffmpeg-7.1-win64.zip: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(builder->MusicDbFolder() / "readme.txt", "mine");
        json other = ffmpegTool;
        other["id"] = "ninja";
        server.ServeJson("/toolchain.json", json{{"tools", json::array({c.listed ? ffmpegTool : other})}}.dump());
        if (c.zipStatus != 0) {
            test::Route missing;
            missing.status = c.zipStatus;
            server.Serve("/files/ffmpeg-7.1-win64.zip", missing);
        }
        const auto before = Snapshot(builder->MusicDbFolder());
        EXPECT_FALSE(builder->ImportMusic(folder, summary, err));
        EXPECT_EQ(err.substr(0, c.err.size()), c.err) << err;
        EXPECT_EQ(Snapshot(builder->MusicDbFolder()), before);
        EXPECT_FALSE(fs::exists(folder / "Disc" / "1.mp3.ffprobe.args"));
    }
}

// A tool folder that lacks a program (a damaged or half-deleted download): the import ends with the
// sentence naming it, and the soundtracks of the last import stay as they were.
TEST_F(MusicToolTest, AProgramThatCannotStartEndsTheImportAndKeepsTheSoundtracks) {
    server.ServeJson("/toolchain.json", json{{"tools", json::array({ffmpegTool})}}.dump());
    ASSERT_TRUE(builder->ImportMusic(folder, summary, err)) << err;
    const fs::path touched = folder / "Disc" / "2.mp3";
    const fs::path bin = builder->ToolDir("ffmpeg") / "bin";
    for (const char* program : {"ffmpeg", "ffprobe"}) {
        SCOPED_TRACE(program);
        fs::last_write_time(touched, fs::last_write_time(touched) + std::chrono::seconds(5));
        const auto before = Snapshot(builder->MusicDbFolder());
        const fs::path exe = bin / (std::string(program) + ".exe");
        fs::rename(exe, dir / "aside.exe");
        summary.clear();
        EXPECT_FALSE(builder->ImportMusic(folder, summary, err));
        fs::rename(dir / "aside.exe", exe);
        const std::string sentence = "Could not start " + PathUtf8(exe) + " (";
        EXPECT_EQ(err.substr(0, sentence.size()), sentence) << err;
        EXPECT_EQ(err.back(), ')') << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        EXPECT_EQ(Snapshot(builder->MusicDbFolder()), before);
        EXPECT_TRUE(summary.empty());
    }
    // With the program back, only the touched song is converted.
    ASSERT_TRUE(builder->ImportMusic(folder, summary, err)) << err;
    EXPECT_NE(logged.back().find(", 1 converted, 1 kept from last time"), std::string::npos) << logged.back();
}

// A program that starts but cannot run (its libraries or DLLs missing, or the same failure for every song
// from the first): the import ends as with one that cannot start, with what the program said, and the
// soundtracks of the last import stay as they were.
TEST(MusicImportStandIn, AProgramThatCannotRunEndsTheImportAndKeepsTheSoundtracks) {
    struct Case {
        const char* name;
        const char* program;
        const char* broken;  // the first line the exit code, then what the program prints
        const char* said;    // what the sentence ends with
        bool windows;        // a Windows loader's status, which a POSIX exit code cannot hold
    } cases[] = {
        {"ffmpeg without its libraries", "ffmpeg",
         "127\nffmpeg: error while loading shared libraries: libavdevice.so.59: cannot open shared object file: "
         "No such file or directory",
         "ffmpeg: error while loading shared libraries: libavdevice.so.59: cannot open shared object file: "
         "No such file or directory",
         false},
        {"ffprobe that cannot be executed", "ffprobe", "126\nsh: 1: ffprobe: Permission denied",
         "sh: 1: ffprobe: Permission denied", false},
        {"ffmpeg failing alike for the first songs", "ffmpeg", "1\nUnknown encoder 'wmav2'", "Unknown encoder 'wmav2'",
         false},
        {"ffmpeg without its DLLs, saying nothing", "ffmpeg", "0xC0000135", "a DLL it needs is missing (0xC0000135)",
         true},
        {"ffprobe with a DLL of the wrong kind", "ffprobe", "0xC000007B\n",
         "a DLL it needs is not made for this system (0xC000007B)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
#ifndef _WIN32
        if (c.windows) continue;  // an exit code on POSIX has 8 bits
#endif
        test::TempDir dir;
        // Copies of the stand-ins, so that the file that breaks one is this test's alone.
        MusicPrograms programs;
        for (const char* name : {"ffmpeg", "ffprobe"}) {
            const fs::path copy = dir / "bin" / test::TestProgram(name).filename();
            fs::create_directories(copy.parent_path());
            fs::copy_file(test::TestProgram(name), copy);
            (name == std::string("ffmpeg") ? programs.ffmpeg : programs.ffprobe) = PathUtf8(copy);
        }
        const fs::path folder = dir / "Music";
        for (int k = 1; k <= 4; ++k) {
            test::WriteFile(folder / "Disc" / (std::to_string(k) + ".mp3"), "duration=1\n#" + std::to_string(k) + "\n");
        }
        ImportRun run(dir / "data");
        ASSERT_TRUE(run.Import(folder, programs, 2)) << run.err;
        // Three songs changed since: to be converted, the fourth kept.
        for (int k = 2; k <= 4; ++k) {
            const fs::path song = folder / "Disc" / (std::to_string(k) + ".mp3");
            fs::last_write_time(song, fs::last_write_time(song) + std::chrono::seconds(5));
        }
        const auto before = Snapshot(run.Music());
        const fs::path exe = Utf8Path(c.program == std::string("ffmpeg") ? programs.ffmpeg : programs.ffprobe);
        fs::path brokenFile = exe.parent_path() / c.program;
        brokenFile += ".broken";
        test::WriteFile(brokenFile, c.broken);
        EXPECT_FALSE(run.Import(folder, programs, 2));
        EXPECT_EQ(run.err, "Could not run " + PathUtf8(exe) + ": " + c.said);
        EXPECT_EQ(Snapshot(run.Music()), before);
        EXPECT_TRUE(run.summary.empty());

        // Once the program can run, only the changed songs are converted.
        fs::remove(brokenFile);
        ASSERT_TRUE(run.Import(folder, programs, 2)) << run.err;
        EXPECT_NE(run.LastLine().find(", 3 converted, 1 kept from last time"), std::string::npos) << run.LastLine();
        run.CheckCache(run.CheckDatabase({{"Disc", {"1", "2", "3", "4"}}}));
    }
}

// Songs for the stand-ins: the lines ffprobe prints, and what ffmpeg is to do.
void WriteStandInSongs(const fs::path& folder) {
    test::WriteFile(folder / "A" / "1.mp3", "duration=2.5\nTAG:title=One\nTAG:artist=Band\n");
    test::WriteFile(folder / "A" / "2.mp3", "duration=1\n!fail Invalid data found when processing input\n");
    test::WriteFile(folder / "A" / "3.mp3", "duration=N/A\nTAG:ARTIST=Solo\n");
    test::WriteFile(folder / "B" / "1.mp3", "duration=4\n!quiet-fail\n");
    test::WriteFile(folder / "B" / "2.mp3", "duration=3\n!no-output\n");
    test::WriteFile(folder / "C" / "1.wav", "tag:Title=First\nTAG:title=Second\nduration=0.0015\n");
    test::WriteFile(folder / "C" / "2.wav", "");
    test::WriteFile(folder / "C" / "notes.txt", "not a song");
}

TEST(MusicImportStandIn, FailedSongsDropOutAndTheOthersCloseUp) {
    test::TempDir dir;
    const fs::path folder = dir / "Music";
    WriteStandInSongs(folder);
    const std::string failedText = " (3 could not be converted: see launcher.log)";
    std::map<std::string, std::string> firstResult;
    std::vector<std::string> firstLines;
    for (unsigned jobs : {1u, 3u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        ImportRun run(dir / ("data" + std::to_string(jobs)));
        // A file of the user's beside the database, an old song folder, and a work folder left by a run
        // that ended abnormally.
        test::WriteFile(run.Music() / "readme.txt", "mine");
        test::WriteFile(run.Music() / "0007" / "00070000.WMA", "old");
        test::WriteFile(run.Music() / ".staging" / "3.WMA", "left over");
        ASSERT_TRUE(run.Import(folder, StandIns(), jobs)) << run.err;

        EXPECT_EQ(run.summary, "4 songs in 2 soundtracks" + failedText);
        EXPECT_EQ(run.MusicLines(),
                  (std::vector<std::string>{
                      "music: " + PathUtf8(folder / "A" / "2.mp3") +
                          " could not be converted: Invalid data found when processing input",
                      "music: " + PathUtf8(folder / "B" / "1.mp3") + " could not be converted",
                      "music: " + PathUtf8(folder / "B" / "2.mp3") + " could not be converted",
                      "music: 4 songs in 2 soundtracks" + failedText +
                          ", 4 converted, 0 kept from last time, from " + PathUtf8(folder),
                  }));
        const std::vector<test::DbSoundtrack> db =
            run.CheckDatabase({{"A", {"Band / One", "3"}}, {"C", {"Second", "2"}}});
        ASSERT_EQ(db.size(), 2u);
        EXPECT_EQ(db[0].songs[0].ms, 2500u);
        EXPECT_EQ(db[0].songs[1].ms, 0u);  // N/A
        EXPECT_EQ(db[1].songs[0].ms, 1u);
        EXPECT_EQ(db[1].songs[1].ms, 0u);  // no duration line
        run.CheckCache(db);
        const fs::path music = run.Music();
        // Each placed file holds the song it was converted from.
        const std::pair<const char*, fs::path> placed[] = {
            {"0001/00010000.WMA", folder / "A" / "1.mp3"},
            {"0001/00010001.WMA", folder / "A" / "3.mp3"},
            {"0002/00020000.WMA", folder / "C" / "1.wav"},
            {"0002/00020001.WMA", folder / "C" / "2.wav"},
        };
        for (const auto& [name, source] : placed) {
            EXPECT_EQ(test::ReadFile(music / name), "converted:" + test::ReadFile(source)) << name;
        }
        EXPECT_EQ(test::ReadFile(music / "readme.txt"), "mine");
        EXPECT_FALSE(EntryExists(music / "0007"));

        // Every song is reported in order, then the end.
        ASSERT_EQ(run.reports.size(), 8u);
        const char* names[] = {"1.mp3", "2.mp3", "3.mp3", "1.mp3", "2.mp3", "1.wav", "2.wav"};
        for (size_t i = 0; i < 7; ++i) {
            EXPECT_EQ(run.reports[i].title, "Converting your music");
            EXPECT_EQ(run.reports[i].detail, std::to_string(i + 1) + " of 7: " + names[i]);
            EXPECT_DOUBLE_EQ(run.reports[i].progress, static_cast<double>(i) / 7);
        }
        EXPECT_EQ(run.reports[7].title, "Ready");
        EXPECT_EQ(run.reports[7].progress, 1.0);

        // However many at once, the outcome is the same.
        if (firstResult.empty()) {
            firstResult = Snapshot(music);
            firstLines = run.MusicLines();
        } else {
            EXPECT_EQ(Snapshot(music), firstResult);
            EXPECT_EQ(run.MusicLines(), firstLines);
        }
    }
}

// The stop crosses threads: the interface's sets it while the worker and the conversion threads run.
TEST(MusicImportConcurrency, StopEndsTheRunningConversionsAndPutsTheKeptSongsBack) {
    for (unsigned jobs : {1u, 3u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        test::TempDir dir;
        const fs::path folder = dir / "Music";
        for (int k = 1; k <= 4; ++k) {
            test::WriteFile(folder / "S" / (std::to_string(k) + ".mp3"), "duration=1\n#" + std::to_string(k) + "\n");
        }
        ImportRun run(dir / "data");
        ASSERT_TRUE(run.Import(folder, StandIns(), jobs)) << run.err;
        const auto before = Snapshot(run.Music());

        // Song 3 now takes long to convert; song 4 changed too.
        test::WriteFile(folder / "S" / "3.mp3", "duration=1\n!sleep 30000\n");
        test::WriteFile(folder / "S" / "4.mp3", "duration=2\n#changed\n");
        std::thread stopper;
        run.onStatus = [&](const Status& status) {
            if (status.detail.rfind("3 of 4", 0) == 0 && !stopper.joinable()) {
                stopper = std::thread([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    run.builder.stop = true;
                });
            }
        };
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(run.Import(folder, StandIns(), jobs));
        const auto took = std::chrono::steady_clock::now() - start;
        if (stopper.joinable()) stopper.join();
        EXPECT_EQ(run.err, "cancelled");
        EXPECT_LT(took, std::chrono::seconds(15)) << "the sleeping conversion was not ended";
        EXPECT_EQ(Snapshot(run.Music()), before);
        EXPECT_FALSE(EntryExists(run.Music() / ".staging"));
        EXPECT_NE(run.LastLine().find("music: "), 0u) << "a stopped import logs no summary";
    }
}

// Folders that links share, two links on every level to the next down a ladder of 22: the import walks
// each folder once, and a stop set while it runs ends it at once.
TEST(MusicImportStandIn, ALadderOfSharedLinksIsWalkedOnceAndAStopEndsIt) {
    // Under Wine a host link made by a test leads through the drive's own link, so each level costs the host
    // two of the 40 links it follows in one path: 19 levels are as deep as such a ladder goes there.
    const int levels = test::RunningUnderWine() ? 19 : 22;
    test::TempDir dir;
    const fs::path folder = dir / "Music";
    std::vector<std::string> titles;
    for (int level = 1; level <= levels; ++level) {
        titles.push_back(std::to_string(level));
        test::WriteFile(dir / "levels" / titles.back() / (titles.back() + ".mp3"), "duration=1\n#" + titles.back());
    }
    for (int level = 1; level < levels; ++level) {
        for (const char* link : {"a", "b"}) {
            ASSERT_TRUE(test::MakeLink(dir / "levels" / std::to_string(level) / link,
                                       dir / "levels" / std::to_string(level + 1)));
        }
    }
    fs::create_directories(folder / "Ladder");
    for (const char* link : {"a", "b"}) ASSERT_TRUE(test::MakeLink(folder / "Ladder" / link, dir / "levels" / "1"));

    struct Case {
        const char* name;
        int stopAfterMs;  // 0: no stop
    } cases[] = {{"to its end", 0}, {"stopped after a second", 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImportRun run(dir / c.name);
        std::thread stopper;
        if (c.stopAfterMs > 0) {
            // The last song now takes long, so that the stop comes while the import runs.
            const std::string last = std::to_string(levels);
            test::WriteFile(dir / "levels" / last / (last + ".mp3"), "duration=1\n!sleep 30000\n");
            stopper = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfterMs));
                run.builder.stop = true;
            });
        }
        const auto start = std::chrono::steady_clock::now();
        const bool ok = run.Import(folder, StandIns(), 2);
        const auto took = std::chrono::steady_clock::now() - start;
        if (stopper.joinable()) stopper.join();
        if (c.stopAfterMs > 0) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(run.err, "cancelled");
            EXPECT_LT(took, std::chrono::milliseconds(c.stopAfterMs) + std::chrono::seconds(2));
            EXPECT_FALSE(EntryExists(run.Music() / ".staging"));
            EXPECT_FALSE(EntryExists(run.Music() / "ST.DB"));
        } else {
            ASSERT_TRUE(ok) << run.err;
            EXPECT_EQ(run.summary, std::to_string(levels) + " songs in 1 soundtracks");
            run.CheckCache(run.CheckDatabase({{"Ladder", titles}}));
        }
    }
}

TEST(MusicImportStandIn, OnlySongFilesOfTheImportAreTakenFromTheCache) {
    struct Case {
        const char* name;
        std::string file;    // the cache entry's "file"
        const char* placeAt;  // where a file lies in MUSIC for it, or nullptr
        bool linkedFolder;   // MUSIC/0001 is a link to the user's folder
        bool reused;
    } cases[] = {
        {"a song file of the import", "0001/00010000.WMA", "0001/00010000.WMA", false, true},
        {"climbing out of MUSIC", "../../../../../../../outside.WMA", nullptr, false, false},
        {"climbing out through a song folder", "0001/../../../../../../../../outside.WMA", nullptr, false, false},
        {"an absolute path", "", nullptr, false, false},  // filled in below
        {"a lower-case extension", "0001/00010000.wma", "0001/00010000.wma", false, false},
        {"another soundtrack's folder", "0002/00010000.WMA", "0002/00010000.WMA", false, false},
        {"a song folder that is a link", "0001/00010000.WMA", nullptr, true, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const fs::path folder = dir / "Music";
        const fs::path source = folder / "Disc" / "song.mp3";
        test::WriteFile(source, "duration=1\nTAG:title=Probed\n");
        test::WriteFile(dir / "outside.WMA", "the user's file");
        test::WriteFile(dir / "linked" / "00010000.WMA", "the user's song");
        if (c.file.empty()) c.file = PathUtf8(dir / "outside.WMA");

        ImportRun run(dir / "data");
        const fs::path music = run.Music();
        fs::create_directories(music);
        if (c.placeAt) test::WriteFile(music / c.placeAt, "kept song");
        if (c.linkedFolder) {
            ASSERT_TRUE(test::MakeLink(music / "0001", dir / "linked"));
        }
        int64_t time = 0;
        ASSERT_TRUE(LastWriteTicks(source, time));
        json cache = json::object();
        cache[PathUtf8(source)] = json{{"size", fs::file_size(source)}, {"time", time}, {"file", c.file},
                                       {"name", "Cached"}, {"ms", 5}};
        test::WriteFile(music / "launcher-music.json", cache.dump());
        test::WriteFile(music / "ST.DB", BuildSoundtrackDb({}));

        ASSERT_TRUE(run.Import(folder, StandIns(), 1)) << run.err;
        EXPECT_EQ(test::ReadFile(dir / "outside.WMA"), "the user's file");
        EXPECT_EQ(test::ReadFile(dir / "linked" / "00010000.WMA"), "the user's song");
        const std::string counts =
            c.reused ? ", 0 converted, 1 kept from last time" : ", 1 converted, 0 kept from last time";
        EXPECT_NE(run.LastLine().find(counts), std::string::npos) << run.LastLine();
        if (c.linkedFolder && test::RunningUnderWine()) {
            // Wine cannot delete a host link to a folder: the old song folder stays, and nothing is put
            // through it into the user's folder.
            EXPECT_TRUE(IsLink(music / "0001"));
            continue;
        }
        const std::vector<test::DbSoundtrack> db = run.CheckDatabase({{"Disc", {c.reused ? "Cached" : "Probed"}}});
        ASSERT_EQ(db.size(), 1u);
        EXPECT_EQ(db[0].songs[0].ms, c.reused ? 5u : 1000u);
        EXPECT_EQ(test::ReadFile(music / "0001" / "00010000.WMA"),
                  c.reused ? "kept song" : "converted:" + test::ReadFile(source));
        EXPECT_FALSE(IsLink(music / "0001"));
    }
}

TEST(MusicImportStandIn, RefusesBeforeTouchingAnything) {
    struct Case {
        const char* name;
        bool beforeTools;
        std::function<fs::path(const fs::path& dir, const fs::path& music)> prepare;  // gives the folder
        std::function<std::string(const fs::path& folder, const fs::path& music)> err;
    } cases[] = {
        {"no such folder", true,
         [](const fs::path& dir, const fs::path&) { return dir / "missing"; },
         [](const fs::path& folder, const fs::path&) { return kNotThere + PathUtf8(folder); }},
        {"a file, not a folder", true,
         [](const fs::path& dir, const fs::path&) {
             test::WriteFile(dir / "song.mp3", "duration=1\n");
             return dir / "song.mp3";
         },
         [](const fs::path& folder, const fs::path&) { return kNotThere + PathUtf8(folder); }},
        {"a database not made here", false,
         [](const fs::path& dir, const fs::path& music) {
             test::WriteFile(music / "ST.DB", "from an Xbox");
             test::WriteFile(music / "0001" / "00010000.WMA", "an Xbox song");
             test::WriteFile(dir / "Music" / "song.mp3", "duration=1\n");
             return dir / "Music";
         },
         [](const fs::path&, const fs::path& music) {
             return "The game's music folder holds soundtracks not made here (copied from an Xbox?): " +
                    PathUtf8(music) + ". Move them away to use a folder of your own music.";
         }},
        {"no audio files", false,
         [](const fs::path& dir, const fs::path&) {
             test::WriteFile(dir / "Music" / "notes.txt", "");
             test::WriteFile(dir / "Music" / "Sub" / "cover.jpg", "");
             return dir / "Music";
         },
         [](const fs::path& folder, const fs::path&) {
             return "No music found in " + PathUtf8(folder) + kNoMusicSuffix;
         }},
        {"a folder inside the soundtrack folder", false,
         [](const fs::path&, const fs::path& music) {
             test::WriteFile(music / "My songs" / "song.mp3", "duration=1\n");
             return music / "My songs";
         },
         [](const fs::path& folder, const fs::path& music) {
             return "The music folder lies inside the game's own soundtrack folder, which every import empties: " +
                    PathUtf8(folder) + ". Choose a folder outside " + PathUtf8(music) + ".";
         }},
        {"the soundtrack folder itself", false,
         [](const fs::path&, const fs::path& music) {
             test::WriteFile(music / "song.mp3", "duration=1\n");
             return music;
         },
         [](const fs::path& folder, const fs::path& music) {
             return "The music folder lies inside the game's own soundtrack folder, which every import empties: " +
                    PathUtf8(folder) + ". Choose a folder outside " + PathUtf8(music) + ".";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        ImportRun run(dir / "data");
        test::WriteFile(run.Music() / "readme.txt", "mine");
        const fs::path folder = c.prepare(dir.path(), run.Music());
        const auto before = Snapshot(dir.path());
        std::string summary;
        std::string err;
        // The folder is checked before the tools are looked up; the rest after them.
        const bool ok = c.beforeTools ? run.builder.ImportMusic(folder, summary, err)
                                      : ImportMusicWith(run.builder, StandIns(), 2, folder, summary, err);
        EXPECT_FALSE(ok);
        EXPECT_EQ(err, c.err(folder, run.Music()));
        EXPECT_EQ(Snapshot(dir.path()), before);
        EXPECT_TRUE(summary.empty());
    }
}

// ---- With Debian's ffmpeg and ffprobe (Linux) ----------------------------------------------------

// One song of the library that ffmpeg makes for these tests: two seconds of a sine.
struct LibrarySong {
    const char* path;    // relative, "/" between parts
    const char* made;    // the name ffmpeg writes (its format follows the extension), renamed to `path`
    int frequency;
    const char* title;   // nullptr: no tag
    const char* artist;
};

const LibrarySong kLibrary[] = {
    {"Intro.MP3", "intro.mp3", 440, "Opening", "\xC3\x9Cn\xC3\xAF" "code Band"},
    {"Rock/b.flac", "b.flac", 330, "Bee", "Artist B"},
    {"Rock/A.ogg", "a.ogg", 550, "Ay", "Artist A"},  // Ogg keeps its tags on the stream, not the file
    {"Rock/Live/encore.m4a", "encore.m4a", 660, "Encore", nullptr},
    {"Ambient/\xC3\xA7" "a va.opus", "cava.opus", 220, nullptr, nullptr},
    {"Ambient/wave.wav", "wave.wav", 880, "Wave", "W"},
    {"Ambient/tone.AIFF", "tone.aiff", 770, "Tone", nullptr},
};

// The soundtracks the library gives: the folder's own song, then the sub-folders by name ("ç" after
// ASCII), each song titled "artist / title", the title alone, or its stem.
const std::vector<Expected> kLibraryDb = {
    {"My Music \xE2\x99\xAA", {"\xC3\x9Cn\xC3\xAF" "code Band / Opening"}},
    {"Ambient", {"Tone", "W / Wave", "\xC3\xA7" "a va"}},
    {"Rock", {"Artist A / Ay", "Artist B / Bee", "Encore"}},
};

fs::path Relative(const char* path) {
    fs::path out;
    std::string text = path;
    for (size_t at = 0; at <= text.size();) {
        size_t slash = text.find('/', at);
        if (slash == std::string::npos) slash = text.size();
        out /= Utf8Path(text.substr(at, slash - at));
        at = slash + 1;
    }
    return out;
}

// Runs ffmpeg as the tests' own tool (not the import's), with the line it printed last.
bool RunFfmpeg(const std::vector<std::string>& args, std::string& last) {
    test::TestPlatform platform;
    std::vector<std::string> all = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    return platform.Run(all, {}, {}, [&](const std::string& line) { last = line; }, nullptr) == 0;
}

// Two seconds of a sine at `frequency`, as the file `made` (its format follows the extension), with tags.
std::vector<std::string> SineArgs(int frequency, const char* title, const char* artist, const fs::path& made) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", "sine=frequency=" + std::to_string(frequency) + ":duration=2",
                                     "-ac", "2"};
    if (title) args.insert(args.end(), {"-metadata", std::string("title=") + title});
    if (artist) args.insert(args.end(), {"-metadata", std::string("artist=") + artist});
    args.push_back(PathUtf8(made));
    return args;
}

// The library of kLibrary that ffmpeg makes, once per run of the test program (Linux).
struct RealLibrary {
    static const RealLibrary& Get() {
        static const RealLibrary library;
        return library;
    }

    bool found = false;  // ffmpeg and ffprobe are on the search path
    std::string err;     // what went wrong making it
    std::unique_ptr<test::TempDir> dir;

private:
    RealLibrary() {
#ifndef _WIN32
        test::TestPlatform platform;
        found = platform.Run({"ffmpeg", "-version"}, {}, {}, {}, nullptr) == 0 &&
                platform.Run({"ffprobe", "-version"}, {}, {}, {}, nullptr) == 0;
        if (!found) return;
        dir = std::make_unique<test::TempDir>();
        std::vector<std::thread> makers;
        std::mutex mutex;
        for (const LibrarySong& song : kLibrary) {
            makers.emplace_back([&, song] {
                const fs::path target = dir->path() / Relative(song.path);
                const fs::path made = target.parent_path() / song.made;
                fs::create_directories(target.parent_path());
                std::string last;
                const bool ok = RunFfmpeg(SineArgs(song.frequency, song.title, song.artist, made), last);
                std::error_code ec;
                fs::rename(made, target, ec);
                std::lock_guard lock(mutex);
                if (!ok || ec) err += std::string(song.path) + ": " + last + " " + ec.message() + "\n";
            });
        }
        for (std::thread& maker : makers) maker.join();
        test::WriteFile(dir->path() / "Rock" / "notes.txt", "not a song");
        test::WriteFile(dir->path() / "Ambient" / "broken.mp3", "this is no mp3 at all");
#endif
    }
};

// The same library for the stand-ins: each song the lines ffprobe would print (Ogg and Opus tags on the
// stream), and a broken song that ffmpeg cannot read.
void WriteStandInLibrary(const fs::path& folder) {
    for (const LibrarySong& song : kLibrary) {
        const std::string name = song.path;
        const bool stream = name.size() > 4 && (name.compare(name.size() - 4, 4, ".ogg") == 0 ||
                                                name.compare(name.size() - 5, 5, ".opus") == 0);
        const std::string tag = stream ? "!stream TAG:" : "TAG:";
        std::string text = "duration=2.0000\n# " + std::to_string(song.frequency) + " Hz\n";
        if (song.title) text += tag + "title=" + song.title + "\n";
        if (song.artist) text += tag + "artist=" + song.artist + "\n";
        test::WriteFile(folder / Relative(song.path), text);
    }
    test::WriteFile(folder / "Rock" / "notes.txt", "not a song");
    test::WriteFile(folder / "Ambient" / "broken.mp3", "!fail Invalid data found when processing input\n");
}

// What the library's first import reads in the summary: the broken song fails.
const std::string kLibrarySummary = "7 songs in 3 soundtracks (1 could not be converted: see launcher.log)";

// A test with the library in a music folder of its own and a data folder for the import.
class LibraryTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!HasFailure() || !run) return;
        for (const std::string& line : run->log) std::cerr << "log: " << line << '\n';
    }

    // Copies the library that ffmpeg made into the music folder; false (and the test skipped) where the
    // real programs cannot run.
    bool UseRealLibrary() {
#ifdef _WIN32
        return false;
#else
        const RealLibrary& library = RealLibrary::Get();
        if (!library.found) return false;
        EXPECT_TRUE(library.err.empty()) << library.err;
        fs::copy(library.dir->path(), folder, fs::copy_options::recursive);
        return library.err.empty();
#endif
    }

    // The stream of a converted file, as ffprobe tells it.
    std::string StreamOf(const fs::path& file) {
        std::string out;
        run->platform.Run({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,channels,sample_rate", "-of",
                           "default=noprint_wrappers=1", PathUtf8(file)},
                          {}, {}, [&](const std::string& line) { out += line + ";"; }, nullptr);
        return out;
    }

    void Touch(const fs::path& file) {
        fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
    }

    // The counts of the last import's summary line: "N converted, M kept from last time".
    std::string Counts() const {
        const std::string& line = run->LastLine();
        const size_t from = line.find(", ");
        const size_t to = line.find(", from ");
        return from == std::string::npos || to == std::string::npos ? line : line.substr(from + 2, to - from - 2);
    }

    // A start of the launcher on the data folder, as far as the music needs it: its start-up job, whose log
    // lines join the run's.
    void StartUp() {
        App app;
        app.game = BuiltinGame();
        app.game.version = "";  // no release to look for
        app.builder = std::make_unique<Builder>(app.game, dir / "data", app.http.get(), app.platform.get());
        app.builder->logSink = [this](const std::string& line) { run->log.push_back(line); };
        std::string err;
        EXPECT_TRUE(RunStartupJob(app, false, err)) << err;
    }

    test::TempDir dir;
    fs::path folder = dir / Utf8Path("My Music \xE2\x99\xAA");
    std::unique_ptr<ImportRun> run = std::make_unique<ImportRun>(dir / "data");
};

// With Debian's ffmpeg and ffprobe, through Builder::ImportMusic (the bare names on the search path).
class MusicImport : public LibraryTest {
protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "Debian's ffmpeg is a Linux program; MusicImportStandIn runs the import on Windows";
#endif
        if (!UseRealLibrary()) {
            GTEST_SKIP() << "ffmpeg and ffprobe are not on the search path (scripts/setup installs them)";
        }
    }

    bool Import(unsigned jobs = 0) {
        if (jobs == 0) {
            run->summary.clear();
            run->err.clear();
            run->log.clear();
            run->reports.clear();
            return run->builder.ImportMusic(folder, run->summary, run->err);
        }
        return run->Import(folder, MusicPrograms{}, jobs);
    }
};

// The cases that must end alike with Debian's ffmpeg (Linux) and with the stand-ins (every target).
class MusicLibrary : public LibraryTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        if (!Real()) {
            WriteStandInLibrary(folder);
        } else if (!UseRealLibrary()) {
            GTEST_SKIP() << "Debian's ffmpeg and ffprobe are not here to run";
        }
    }

    bool Real() const { return GetParam(); }
    MusicPrograms Programs() const { return Real() ? MusicPrograms{} : StandIns(); }
    bool Import(unsigned jobs = 3) { return run->Import(folder, Programs(), jobs); }
};

INSTANTIATE_TEST_SUITE_P(, MusicLibrary, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "DebianFfmpeg" : "StandIns";
                         });

TEST_F(MusicImport, ConvertsEveryFormatIntoTheGamesSoundtracks) {
    ASSERT_TRUE(Import()) << run->err;
    const std::string failed = " (1 could not be converted: see launcher.log)";
    EXPECT_EQ(run->summary, "7 songs in 3 soundtracks" + failed);
    const std::vector<std::string> lines = run->MusicLines();
    ASSERT_EQ(lines.size(), 2u);
    const std::string broken = "music: " + PathUtf8(folder / "Ambient" / "broken.mp3") + " could not be converted: ";
    EXPECT_EQ(lines[0].rfind(broken, 0), 0u) << lines[0];
    EXPECT_GT(lines[0].size(), broken.size()) << "ffmpeg's own last line";
    EXPECT_EQ(lines[1], "music: 7 songs in 3 soundtracks" + failed + ", 7 converted, 0 kept from last time, from " +
                            PathUtf8(folder));

    const std::vector<test::DbSoundtrack> db = run->CheckDatabase(kLibraryDb);
    for (const test::DbSoundtrack& soundtrack : db) {
        for (const test::DbSong& song : soundtrack.songs) {
            SCOPED_TRACE(song.title);
            EXPECT_GE(song.ms, 1990u);
            EXPECT_LE(song.ms, 2100u);
            EXPECT_EQ(StreamOf(run->Music() / test::DbSongFile(song.id)),
                      "codec_name=wmav2;sample_rate=44100;channels=2;");
        }
    }
    const json cache = run->CheckCache(db);
    // Last-write times are Windows file times: 100 ns steps since 1601, here within a day of now.
    const int64_t now = (std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count() + 11644473600LL) * 10000000;
    for (const auto& [key, entry] : cache.items()) {
        EXPECT_LT(std::abs(entry.value("time", int64_t{0}) - now), 864000000000LL) << key;
    }
    EXPECT_EQ(run->builder.LoadMusicFolder(), folder);

    ASSERT_EQ(run->reports.size(), 9u);
    EXPECT_EQ(run->reports[0].detail, "1 of 8: Intro.MP3");
    EXPECT_EQ(run->reports[1].detail, "2 of 8: broken.mp3");
    EXPECT_EQ(run->reports[8].title, "Ready");
}

TEST_F(MusicImport, RepeatedImportsMoveTheSongsAndConvertOnlyWhatChanged) {
    ASSERT_TRUE(Import()) << run->err;
    const auto first = Snapshot(run->Music());

    ASSERT_TRUE(Import()) << run->err;
    EXPECT_EQ(Counts(), "0 converted, 7 kept from last time");
    EXPECT_EQ(Snapshot(run->Music()), first) << "the same files, database and cache";

    Touch(folder / "Ambient" / "wave.wav");
    ASSERT_TRUE(Import()) << run->err;
    EXPECT_EQ(Counts(), "1 converted, 6 kept from last time");
    run->CheckCache(run->CheckDatabase(kLibraryDb));
    const auto third = Snapshot(run->Music());

    // A soundtrack that sorts first moves the others up one number; their songs move along, unconverted.
    fs::create_directories(folder / "Aardvark");
    fs::copy_file(folder / "Intro.MP3", folder / "Aardvark" / "new.mp3");
    ASSERT_TRUE(Import()) << run->err;
    EXPECT_EQ(Counts(), "1 converted, 7 kept from last time");
    std::vector<Expected> shifted = kLibraryDb;
    shifted.insert(shifted.begin() + 1, Expected{"Aardvark", {"\xC3\x9Cn\xC3\xAF" "code Band / Opening"}});
    run->CheckCache(run->CheckDatabase(shifted));
    const auto fourth = Snapshot(run->Music());
    EXPECT_EQ(fourth.at("0001/00010000.WMA"), third.at("0001/00010000.WMA"));
    for (uint32_t id : {2u, 3u}) {
        for (uint32_t k = 0; k < 3; ++k) {
            EXPECT_EQ(fourth.at(SongFileName(id + 1, k)), third.at(SongFileName(id, k)));
        }
    }
}

TEST_F(MusicImport, StopDuringTheThirdSongLeavesTheSoundtracksAsTheyWere) {
    ASSERT_TRUE(Import()) << run->err;
    // Songs 3 (tone) and 7 (b) must be converted again; the others are moved into the work folder.
    Touch(folder / "Ambient" / "tone.AIFF");
    Touch(folder / "Rock" / "b.flac");
    const auto before = Snapshot(run->Music());
    for (unsigned jobs : {1u, 4u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        run->onStatus = [&](const Status& status) {
            if (status.detail.rfind("3 of 8", 0) == 0) run->builder.stop = true;
        };
        EXPECT_FALSE(Import(jobs));
        EXPECT_EQ(run->err, "cancelled");
        EXPECT_EQ(Snapshot(run->Music()), before);
        EXPECT_FALSE(EntryExists(run->Music() / ".staging"));
    }
}

TEST_F(MusicImport, EverySongFailingLeavesAnEmptyDatabase) {
    // What an earlier import left, and a file of the user's.
    test::WriteFile(run->Music() / "ST.DB", BuildSoundtrackDb({}));
    test::WriteFile(run->Music() / "launcher-music.json", "{}");
    test::WriteFile(run->Music() / "0001" / "00010000.WMA", "old song");
    test::WriteFile(run->Music() / "0002" / "00020003.WMA", "old song");
    test::WriteFile(run->Music() / "readme.txt", "mine");
    folder = dir / "Broken";
    test::WriteFile(folder / "x.mp3", "no mp3");
    test::WriteFile(folder / "Sub" / "y.flac", "no flac");
    ASSERT_TRUE(Import()) << run->err;
    EXPECT_EQ(run->summary, "0 songs in 0 soundtracks (2 could not be converted: see launcher.log)");
    EXPECT_EQ(test::ReadFile(run->Music() / "ST.DB").size(), 51712u);
    run->CheckCache(run->CheckDatabase({}));
    EXPECT_EQ(test::ReadFile(run->Music() / "launcher-music.json"), "{}");
    std::vector<std::string> left;
    for (const auto& [name, bytes] : Snapshot(run->Music())) left.push_back(name);
    EXPECT_EQ(left, (std::vector<std::string>{"ST.DB", "launcher-music.json", "readme.txt"}));
}

TEST_F(MusicImport, OneAtATimeAndSeveralAtOnceGiveTheSameResult) {
    // A smaller folder: one at a time takes a while.
    RemoveTree(folder / "Rock" / "Live", run->err);
    fs::remove(folder / "Ambient" / "tone.AIFF");
    fs::remove(folder / Relative("Ambient/\xC3\xA7" "a va.opus"));
    ImportRun several(dir / "data-several");
    ASSERT_TRUE(Import(1)) << run->err;
    ASSERT_TRUE(several.Import(folder, MusicPrograms{}, 4)) << several.err;
    EXPECT_EQ(several.summary, run->summary);
    EXPECT_EQ(several.MusicLines(), run->MusicLines());
    EXPECT_EQ(Snapshot(several.Music()), Snapshot(run->Music()));
    ASSERT_EQ(run->reports.size(), several.reports.size());
    for (size_t i = 0; i < run->reports.size(); ++i) EXPECT_EQ(several.reports[i].detail, run->reports[i].detail);
}

TEST_F(MusicImport, TitlesOfOggAndOpusAreReadAndCaptionsOfCoversAreNot) {
    folder = dir / "Tags";
    const std::vector<std::string> cover = {"-f", "lavfi", "-i", "color=c=red:s=16x16:d=0.04", "-map", "0:a",
                                            "-map", "1:v", "-frames:v", "1", "-c:v", "png", "-disposition:v:0",
                                            "attached_pic", "-metadata:s:v:0", "title=Album cover"};
    struct Made {
        const char* name;
        const char* title;
        const char* artist;
        bool covered;
    } made[] = {
        {"1 vorbis.ogg", "Ay", "Artist A", false},
        {"2 opus.opus", "\xC3\x87" "a va", "Opus Band", false},
        {"3 mp3.mp3", "Em", "Artist M", false},
        {"4 flac.flac", "Ef", nullptr, false},
        {"5 covered.mp3", nullptr, nullptr, true},
        {"6 covered.mp3", "Titled", nullptr, true},
        // A title whose lines read like the probe's own: it sets neither the length nor the artist.
        {"7 lines.mp3", "A\nduration=98765\nTAG:artist=X", nullptr, false},
    };
    fs::create_directories(folder);
    for (const Made& m : made) {
        std::vector<std::string> args = SineArgs(440, m.title, m.artist, folder / m.name);
        if (m.covered) args.insert(args.begin() + 4, cover.begin(), cover.end());
        std::string last;
        ASSERT_TRUE(RunFfmpeg(args, last)) << m.name << ": " << last;
    }
    ASSERT_TRUE(Import()) << run->err;
    const std::vector<test::DbSoundtrack> db =
        run->CheckDatabase({{"Tags",
                             {"Artist A / Ay", "Opus Band / \xC3\x87" "a va", "Artist M / Em", "Ef", "5 covered",
                              "Titled", "A\nduration=98765\nTAG:artist=X"}}});
    run->CheckCache(db);
    ASSERT_EQ(db.size(), 1u);
    for (const test::DbSong& song : db[0].songs) {
        EXPECT_GE(song.ms, 1990u) << song.title;
        EXPECT_LE(song.ms, 2100u) << song.title;
    }
}

// Without ffprobe or ffmpeg on the search path nothing converts: the import ends with the sentence
// naming the program, and every song of the last import is where it was.
TEST_F(MusicImport, WithoutItsProgramsTheImportFailsAndKeepsTheSoundtracks) {
    ASSERT_TRUE(Import()) << run->err;
    Touch(folder / "Ambient" / "wave.wav");
    const auto before = Snapshot(run->Music());
    std::string ffprobe;  // the system's, for the search path that has ffprobe alone
    for (const std::string& part : {std::string("/usr/local/bin"), std::string("/usr/bin"), std::string("/bin")}) {
        if (ffprobe.empty() && fs::exists(fs::path(part) / "ffprobe")) ffprobe = part + "/ffprobe";
    }
    ASSERT_FALSE(ffprobe.empty());
    struct Case {
        const char* missing;
        bool withFfprobe;
    } cases[] = {{"ffprobe", false}, {"ffmpeg", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing);
        test::TempDir bin;
        if (c.withFfprobe) fs::create_symlink(ffprobe, bin / "ffprobe");
        {
            test::ScopedEnv path("PATH", PathUtf8(bin.path()));
            EXPECT_FALSE(Import());
        }
        EXPECT_EQ(run->err, std::string("Could not start ") + c.missing + " (2: No such file or directory)");
        EXPECT_EQ(Snapshot(run->Music()), before);
        EXPECT_TRUE(run->summary.empty());
    }
}

// A data folder in the music folder (the launcher kept in Music and that folder chosen) holds the songs
// the launcher converted, and a link in the music folder may lead into a data folder elsewhere: to a folder
// of its songs, or to the game's own folder. None of that ever becomes songs of their own.
TEST_P(MusicLibrary, TheLaunchersOwnFilesAreNeverSongs) {
    struct Case {
        const char* name;
        fs::path data;
        // Made once the first import is done; gives the folders left out, as the scan names them.
        std::function<std::vector<fs::path>(const fs::path& data, const fs::path& music)> prepare;
        fs::path made;  // what the case added to the music folder, removed after it
    } cases[] = {
        {"the data folder inside the music folder", folder / "Launcher" / "kestrel",
         [&](const fs::path& data, const fs::path&) { return std::vector<fs::path>{data}; }, folder / "Launcher"},
        {"links to a folder of its songs and to the game's folder", dir / "data-elsewhere",
         [&](const fs::path& data, const fs::path& music) {
             test::WriteFile(data / "play" / "assets" / "theme.wav", "the game's own");
             EXPECT_TRUE(test::MakeLink(folder / "Rock" / "mine", music / "0001"));
             EXPECT_TRUE(test::MakeLink(folder / "Game", data / "play"));
             return std::vector<fs::path>{folder / "Game", folder / "Rock" / "mine"};
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run = std::make_unique<ImportRun>(c.data);
        ASSERT_TRUE(Import()) << run->err;
        EXPECT_EQ(run->summary, kLibrarySummary);
        const auto first = Snapshot(run->Music());
        const std::vector<fs::path> leftOut = c.prepare(c.data, run->Music());

        ASSERT_TRUE(Import()) << run->err;
        EXPECT_EQ(run->summary, kLibrarySummary);
        EXPECT_EQ(Counts(), "0 converted, 7 kept from last time");
        std::vector<std::string> lines = run->MusicLines();
        ASSERT_EQ(lines.size(), leftOut.size() + 2);
        for (size_t i = 0; i < leftOut.size(); ++i) {
            EXPECT_EQ(lines[i], "music: \"" + PathUtf8(leftOut[i]) + "\" left out: it holds the launcher's own files");
        }
        EXPECT_NE(lines[leftOut.size()].find("broken.mp3 could not be converted"), std::string::npos)
            << lines[leftOut.size()];
        EXPECT_EQ(Snapshot(run->Music()), first);

        Touch(folder / "Ambient" / "wave.wav");
        ASSERT_TRUE(Import()) << run->err;
        EXPECT_EQ(Counts(), "1 converted, 6 kept from last time");
        run->CheckCache(run->CheckDatabase(kLibraryDb));
        if (!c.made.empty()) {
            ASSERT_TRUE(test::RemoveWithHostTools(c.made));
        }
    }
}

// The database held by the running game (Windows), or made immutable: the run fails with the system's
// reason, and the next one works on the launcher's own files again.
TEST_P(MusicLibrary, ADatabaseThatCannotBeReplacedLocksNothingOut) {
    ASSERT_TRUE(Import()) << run->err;
    Touch(folder / "Ambient" / "wave.wav");
    {
        test::PinnedFile pin(run->Music() / "ST.DB");
        if (!pin.pinned()) GTEST_SKIP() << "no file can be kept from being replaced here: " << pin.why();
        EXPECT_FALSE(Import());
    }
    const std::string prefix = "Could not write " + PathUtf8(run->Music() / "ST.DB") + ": ";
    EXPECT_EQ(run->err.substr(0, prefix.size()), prefix);
    EXPECT_GT(run->err.size(), prefix.size()) << "the system's reason";
    EXPECT_TRUE(EntryExists(run->Music() / ".staging" / "ST.DB")) << "the new database waits";

    // The next start puts it in place: the database and the songs match again.
    StartUp();
    run->CheckCache(run->CheckDatabase(kLibraryDb));
    // The songs of the failed run are in place and in the cache: nothing is converted again.
    ASSERT_TRUE(Import()) << run->err;
    EXPECT_EQ(Counts(), "0 converted, 7 kept from last time");
    run->CheckCache(run->CheckDatabase(kLibraryDb));
}

// The import in a child process that is killed at a song's turn, after a full import and with one song
// touched since: the next import converts that song alone. Killed while a conversion runs, ffmpeg would
// outlive the child; so the kills come where none runs (one at a time, or the last song once all are done).
TEST_P(MusicLibrary, AnImportKilledMidwayLosesNoConversion) {
    ASSERT_TRUE(Import()) << run->err;
    struct Case {
        const char* at;
        unsigned jobs;
    } cases[] = {{"1 of 8", 1}, {"8 of 8", 1}, {"8 of 8", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.at) + ", jobs " + std::to_string(c.jobs));
        Touch(folder / "Ambient" / "wave.wav");
        const fs::path killed = dir / "killed";
        fs::remove(killed);
        const json task = {{"data", PathUtf8(dir / "data")}, {"folder", PathUtf8(folder)}, {"real", Real()},
                           {"jobs", c.jobs}, {"at", c.at}, {"killed", PathUtf8(killed)}};
        test::WriteFile(dir / "child.json", task.dump());
        {
            test::ScopedEnv env("LAUNCHER_MUSIC_CHILD", PathUtf8(dir / "child.json"));
            test::Spawned child(test::TestProgram("launcher_tests"),
                                {"--gtest_filter=MusicImportChild.DISABLED_ImportsUntilKilled",
                                 "--gtest_also_run_disabled_tests", "--gtest_brief=1"});
            ASSERT_TRUE(child.started());
            child.Wait();
        }
        ASSERT_TRUE(fs::exists(killed)) << "the child did not come to " << c.at;
        EXPECT_TRUE(EntryExists(run->Music() / ".staging")) << "the kill left the work folder";

        ASSERT_TRUE(Import()) << run->err;
        EXPECT_EQ(Counts(), "1 converted, 6 kept from last time");
        const std::vector<std::string> lines = run->MusicLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "music: 6 songs put back that an unfinished import had moved"),
                  1);
        run->CheckCache(run->CheckDatabase(kLibraryDb));
    }
}

#ifndef _WIN32
// Where strace is, or "": it stops a child as it enters a system call and can kill it there.
fs::path FindStrace() {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        if (fs::exists(fs::path(dir) / "strace")) return fs::path(dir) / "strace";
    }
    return {};
}
#endif

// The import in a child that is killed at one of its steps on files (by strace, as it enters the system
// call), after a full import and with one song touched since; then the launcher starts: ST.DB and the
// songs match again and no conversion is lost, whether the run had to be undone or finished.
TEST_P(MusicLibrary, AnImportKilledAtAFileStepIsSetRightAtTheNextStart) {
#ifdef _WIN32
    GTEST_SKIP() << "strace kills the child at one system call; Windows has nothing like it here";
#else
    const fs::path strace = FindStrace();
    if (strace.empty()) GTEST_SKIP() << "strace is not installed (scripts/setup installs it)";
    ASSERT_TRUE(Import()) << run->err;
    const fs::path music = run->Music();
    fs::path resolved;
    ASSERT_TRUE(ResolvePath(music, resolved));
    const std::vector<std::string> journal = {".staging/launcher-staged.json", ".staging/launcher-staged.json.new"};
    const char* renames = "rename,renameat,renameat2";
    const std::string undone = "music: 6 songs put back that an unfinished import had moved";
    const std::string finished = "music: the import cut short last time is finished: ";
    struct Case {
        const char* name;
        const char* calls;
        std::vector<std::string> files;  // relative to MUSIC; only the calls on one of them count
        int when;                        // the call killed in
        std::string startLine;           // what the start logs (a prefix), or ""
        const char* counts;              // the next import's
    } cases[] = {
        {"inside the journal's first write", "write", journal, 1, "", "1 converted, 6 kept"},
        {"inside the journal's last write", "write", journal, 2, undone, "1 converted, 6 kept"},
        // strace tells a rename by the file it moves. The touched song is the third, staged as 2.WMA.
        {"at the cache's move", renames, {".staging/launcher-music.json"}, 1, finished + "7 songs placed",
         "0 converted, 7 kept"},
        {"at a song's move", renames, {".staging/2.WMA"}, 1, finished, "0 converted, 7 kept"},
        {"at the database's move", renames, {".staging/ST.DB"}, 1, finished + "0 songs placed", "0 converted, 7 kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Touch(folder / "Ambient" / "wave.wav");
        std::vector<std::string> args = {"-qq", "-o", "/dev/null", "-e", std::string("trace=") + c.calls, "-e",
                                         std::string("inject=") + c.calls + ":signal=KILL:when=" +
                                             std::to_string(c.when)};
        for (const std::string& file : c.files) {
            for (const fs::path& base : {music, resolved}) args.insert(args.end(), {"-P", PathUtf8(base / file)});
        }
        const json task = {{"data", PathUtf8(dir / "data")}, {"folder", PathUtf8(folder)}, {"real", Real()},
                           {"jobs", 3}, {"at", ""}, {"killed", ""}};
        test::WriteFile(dir / "child.json", task.dump());
        args.insert(args.end(), {"--", PathUtf8(test::TestProgram("launcher_tests")),
                                 "--gtest_filter=MusicImportChild.DISABLED_ImportsUntilKilled",
                                 "--gtest_also_run_disabled_tests", "--gtest_brief=1"});
        {
            test::ScopedEnv env("LAUNCHER_MUSIC_CHILD", PathUtf8(dir / "child.json"));
            test::Spawned child(strace, args);
            ASSERT_TRUE(child.started());
            ASSERT_EQ(child.Wait(), -1) << "the child was not killed";
        }
        EXPECT_TRUE(EntryExists(music / ".staging")) << "the kill left the work folder";

        run->log.clear();
        StartUp();
        if (!c.startLine.empty()) {
            EXPECT_NE(std::find_if(run->log.begin(), run->log.end(),
                                   [&](const std::string& line) { return line.rfind(c.startLine, 0) == 0; }),
                      run->log.end())
                << c.startLine;
        }
        run->CheckCache(run->CheckDatabase(kLibraryDb));

        ASSERT_TRUE(Import()) << run->err;
        EXPECT_EQ(Counts(), std::string(c.counts) + " from last time");
        run->CheckCache(run->CheckDatabase(kLibraryDb));
    }
#endif
}

// The far end of the test above, run as its child: imports as the file named by LAUNCHER_MUSIC_CHILD says
// and kills itself when the song named there has its turn.
TEST(MusicImportChild, DISABLED_ImportsUntilKilled) {
    const char* taskFile = std::getenv("LAUNCHER_MUSIC_CHILD");
    if (taskFile == nullptr) GTEST_SKIP() << "MusicLibrary.AnImportKilledMidwayLosesNoConversion runs it";
    const json task = json::parse(test::ReadFile(Utf8Path(taskFile)), nullptr, false);
    ASSERT_TRUE(task.is_object());
    ImportRun run(Utf8Path(task.value("data", "")));
    const std::string at = task.value("at", "") + ":";
    const fs::path killed = Utf8Path(task.value("killed", ""));
    run.onStatus = [&](const Status& status) {
        if (status.detail.rfind(at, 0) != 0) return;
        test::WriteFile(killed, "");
        test::KillThisProcess();
    };
    const MusicPrograms programs = task.value("real", false) ? MusicPrograms{} : StandIns();
    run.Import(Utf8Path(task.value("folder", "")), programs, task.value("jobs", 1u));
    ADD_FAILURE() << "the import ended before " << at << " " << run.err;
}

// On Linux a file name is bytes, and need not be UTF-8; such a song keeps its conversion like any other.
TEST_P(MusicLibrary, ANameThatIsNotUtf8KeepsItsConversion) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows names are UTF-16, never bytes that are not UTF-8";
#endif
    fs::copy_file(folder / Relative("Ambient/\xC3\xA7" "a va.opus"), folder / "Rock" / "caf\xE9.opus");
    ASSERT_TRUE(Import()) << run->err;
    const auto first = Snapshot(run->Music());
    ASSERT_TRUE(Import()) << run->err;
    EXPECT_EQ(Counts(), "0 converted, 8 kept from last time");
    EXPECT_EQ(Snapshot(run->Music()), first) << "the same files, database and cache";
    std::vector<Expected> expected = kLibraryDb;
    expected[2].titles.insert(expected[2].titles.begin() + 2, "caf\xEF\xBF\xBD");
    run->CheckCache(run->CheckDatabase(expected));
}

// Whether the text is a journal at all: one JSON object.
bool ReadsAsJournal(const std::string& text) {
    return json::parse(text, nullptr, false).is_object();
}

// A run that ended abnormally leaves songs in the work folder with the journal of where they came from:
// the next run puts each back where the cache on disk names it, when the cache describes that very
// conversion, and nothing anywhere else.
TEST(MusicImportStandIn, SongsLeftInTheWorkFolderGoWhereTheCacheSays) {
    struct Case {
        const char* name;
        // Changes what the run left; gives the journal's text.
        std::function<std::string(json& journal, const fs::path& music)> spoil;
        const char* counts;
    } cases[] = {
        {"as the run left them", [](json& journal, const fs::path&) { return journal.dump(); }, "0 converted, 3 kept"},
        // Nothing tells which song is which: they stay, and the import says so, until the folder is moved away.
        {"a journal that is no JSON", [](json&, const fs::path&) { return std::string("{ \"no"); },
         "2 converted, 1 kept"},
        {"no journal", [](json&, const fs::path& music) {
             fs::remove(music / ".staging" / "launcher-staged.json");
             return std::string();
         },
         "2 converted, 1 kept"},
        {"a source changed since",
         [](json& journal, const fs::path&) {
             for (auto& [key, entry] : journal.items()) entry["time"] = entry.value("time", int64_t{0}) + 1;
             return journal.dump();
         },
         "2 converted, 1 kept"},
        {"a staged name outside the work folder",
         [](json& journal, const fs::path& music) {
             fs::rename(music / ".staging" / "0.WMA", music / "0.WMA");
             for (auto& [key, entry] : journal.items()) {
                 if (entry.value("file", "") == "0.WMA") entry["file"] = "../0.WMA";
             }
             return journal.dump();
         },
         "1 converted, 2 kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const fs::path folder = dir / "Music";
        for (const std::string song : {"1", "2", "3"}) {
            test::WriteFile(folder / "Disc" / (song + ".mp3"), "duration=1\nTAG:title=" + song + "\n");
        }
        ImportRun run(dir / "data");
        ASSERT_TRUE(run.Import(folder, StandIns(), 1)) << run.err;
        const fs::path music = run.Music();
        const auto before = Snapshot(music);

        // Songs 1 and 2 were taken out into the work folder, as a run does before it converts.
        const json cache = json::parse(test::ReadFile(music / "launcher-music.json"));
        json journal = json::object();
        fs::create_directories(music / ".staging");
        for (int song : {1, 2}) {
            const std::string key = PathUtf8(folder / "Disc" / (std::to_string(song) + ".mp3"));
            const std::string staged = std::to_string(song - 1) + ".WMA";
            const fs::path placed = music / Utf8Path(cache[key]["file"].get<std::string>());
            fs::rename(placed, music / ".staging" / staged);
            journal[key] = json{{"size", cache[key]["size"]}, {"time", cache[key]["time"]}, {"file", staged}};
        }
        test::WriteFile(music / ".staging" / "launcher-staged.json", journal.dump());
        if (const std::string text = c.spoil(journal, music); !text.empty()) {
            test::WriteFile(music / ".staging" / "launcher-staged.json", text);
        }

        if (!ReadsAsJournal(test::ReadFile(music / ".staging" / "launcher-staged.json"))) {
            const auto left = Snapshot(music);
            EXPECT_FALSE(run.Import(folder, StandIns(), 1));
            EXPECT_EQ(run.err, "The last import was cut short and left songs in " + PathUtf8(music / ".staging") +
                                   " without launcher-staged.json, which says where they belong. Move that folder "
                                   "out of " + PathUtf8(music) + " (its songs will be converted again), then import "
                                   "again.");
            EXPECT_EQ(Snapshot(music), left);
            ASSERT_TRUE(test::RemoveWithHostTools(music / ".staging"));
        }
        ASSERT_TRUE(run.Import(folder, StandIns(), 1)) << run.err;
        EXPECT_NE(run.LastLine().find(std::string(", ") + c.counts + " from last time"), std::string::npos)
            << run.LastLine();
        auto after = Snapshot(music);
        after.erase("0.WMA");  // a file of the user's, as far as the import knows
        EXPECT_EQ(after, before);
    }
}

#ifndef _WIN32
// The file-size limit of this process and its children, for as long as the object lives; writing past it
// then fails with EFBIG instead of ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};
#endif

// A disk that is full when the database is written: the run ends with the system's reason and leaves
// the soundtracks, the database and the cache of the last import as they were.
TEST(MusicImportStandIn, AFullDiskEndsTheRunWithItsReasonAndLosesNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is made with a file-size limit, which Windows does not have";
#else
    test::TempDir dir;
    const fs::path folder = dir / Utf8Path("My Music \xE2\x99\xAA");
    WriteStandInLibrary(folder);
    ImportRun run(dir / "data");
    ASSERT_TRUE(run.Import(folder, StandIns(), 3)) << run.err;
    const fs::path wave = folder / "Ambient" / "wave.wav";
    fs::last_write_time(wave, fs::last_write_time(wave) + std::chrono::seconds(5));
    const auto before = Snapshot(run.Music());
    {
        // The database is larger than 51712 bytes; the songs of the stand-ins and the cache are small.
        FileSizeLimit limit(40000);
        EXPECT_FALSE(run.Import(folder, StandIns(), 3));
    }
    EXPECT_EQ(run.err, "Could not write " + PathUtf8(run.Music() / "ST.DB") + ": File too large");
    EXPECT_EQ(Snapshot(run.Music()), before);

    ASSERT_TRUE(run.Import(folder, StandIns(), 3)) << run.err;
    EXPECT_NE(run.LastLine().find(", 1 converted, 6 kept from last time"), std::string::npos) << run.LastLine();
    run.CheckCache(run.CheckDatabase(kLibraryDb));
#endif
}
}  // namespace
}  // namespace launcher
