// The scan of the user's music folder into soundtracks: which files count, their order, the limits, and
// walks through links.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "music/scan.h"
#include "platform/file_id.h"
#include "platform/paths.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// The scan opens no file: empty files will do.
void Touch(const fs::path& file) {
    test::WriteFile(file, "");
}

// Each soundtrack as "name: relative/song (title), ...", paths relative to `root` with "/".
std::vector<std::string> Describe(const std::vector<Soundtrack>& soundtracks, const fs::path& root) {
    std::vector<std::string> out;
    for (const Soundtrack& soundtrack : soundtracks) {
        std::string line = soundtrack.name + ":";
        for (const Song& song : soundtrack.songs) {
            std::string relative;
            for (const fs::path& part : song.source.lexically_relative(root)) {
                relative += (relative.empty() ? "" : "/") + PathUtf8(part);
            }
            line += " " + relative + " (" + song.title + ")";
            EXPECT_EQ(song.ms, 0u);
        }
        out.push_back(line);
    }
    return out;
}

TEST(MusicScan, FolderAndSubFoldersBecomeSoundtracks) {
    test::TempDir dir;
    const fs::path music = dir / "My Music";
    Touch(music / "b.mp3");
    Touch(music / "A.flac");
    Touch(music / "c.TXT");
    Touch(music / "Rock" / "z.ogg");
    Touch(music / "Rock" / "Live" / "encore.m4a");
    Touch(music / "Rock" / "Live" / "Deeper" / "last.wav");
    Touch(music / "Rock" / "after.Opus");
    Touch(music / "Rock" / "Acoustic" / "one.aif");
    Touch(music / "Empty" / "notes.txt");
    Touch(music / "Empty" / "Deep" / "cover.jpg");
    Touch(music / Utf8Path("\xC3\x89t\xC3\xA9") / "Chanson.AIFF");
    Touch(music / "Jazz" / "mp3");       // no extension
    Touch(music / "Jazz" / "take.aifc");  // another extension
    Touch(music / "Jazz" / "Track.MP3");
    fs::create_directories(music / "Jazz" / "folder.mp3");  // a folder is never a song

    std::vector<std::string> warnings;
    const std::vector<Soundtrack> soundtracks = ScanMusicFolder(music, warnings);
    EXPECT_TRUE(warnings.empty());
    const std::vector<std::string> expected = {
        "My Music: A.flac (A) b.mp3 (b)",
        "Jazz: Jazz/Track.MP3 (Track)",
        // Own files first, then each sub-folder depth first, all by name.
        "Rock: Rock/after.Opus (after) Rock/z.ogg (z) Rock/Acoustic/one.aif (one) Rock/Live/encore.m4a (encore) "
        "Rock/Live/Deeper/last.wav (last)",
        // Only ASCII letters fold: the lead byte 0xC3 sorts after every ASCII name.
        "\xC3\x89t\xC3\xA9: \xC3\x89t\xC3\xA9/Chanson.AIFF (Chanson)",
    };
    EXPECT_EQ(Describe(soundtracks, music), expected);
}

TEST(MusicScan, FolderOfSubFoldersOnly) {
    test::TempDir dir;
    Touch(dir / "Music" / "Empty" / "readme.txt");
    Touch(dir / "Music" / "b" / "song.wma");
    Touch(dir / "Music" / "A" / "sub" / "song.aac");
    std::vector<std::string> warnings;
    EXPECT_EQ(Describe(ScanMusicFolder(dir / "Music", warnings), dir / "Music"),
              (std::vector<std::string>{"A: A/sub/song.aac (song)", "b: b/song.wma (song)"}));
}

TEST(MusicScan, MissingOrEmptyFolderGivesNothing) {
    test::TempDir dir;
    fs::create_directories(dir / "empty");
    std::vector<std::string> warnings;
    EXPECT_TRUE(ScanMusicFolder(dir / "missing", warnings).empty());
    EXPECT_TRUE(ScanMusicFolder(dir / "empty", warnings).empty());
    EXPECT_TRUE(warnings.empty());
}

TEST(MusicScan, TrailingSeparatorGivesAnEmptyName) {
    test::TempDir dir;
    Touch(dir / "Music" / "song.mp3");
    std::vector<std::string> warnings;
    const std::vector<Soundtrack> soundtracks = ScanMusicFolder((dir / "Music") / "", warnings);
    ASSERT_EQ(soundtracks.size(), 1u);
    EXPECT_EQ(soundtracks[0].name, "");
    EXPECT_EQ(soundtracks[0].songs.size(), 1u);
}

TEST(MusicScan, AudioFileExtensions) {
    struct Case {
        const char* name;
        bool audio;
    } cases[] = {
        {"a.mp3", true},     {"Track.MP3", true}, {"song.Aif", true}, {"x.FLAC", true},  {"x.ogg", true},
        {"x.opus", true},    {"x.m4a", true},     {"x.aac", true},    {"x.wav", true},   {"x.wma", true},
        {"x.aiff", true},    {"x.tar.mp3", true}, {"notes.txt", false}, {"mp3", false},  {"a.aifc", false},
        {"a.mp3.txt", false}, {"a.mp", false},    {"a.", false},      {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsAudioFile(fs::path("dir.mp3") / c.name), c.audio) << c.name;
    }
}

TEST(MusicScan, NameOrder) {
    struct Case {
        const char* a;
        const char* b;
        bool before;
    } cases[] = {
        {"ab", "abc", true},  {"abc", "ab", false}, {"a", "B", true},   {"B", "a", false},
        {"A", "a", false},    {"a", "A", false},
        {"Z", "_", false},        // "z" (0x7A) comes after "_" (0x5F)
        {"z", "\xC3\xA9", true},  // bytes compare unsigned: 0xC3 after every ASCII letter
        {"dir/b", "other/a", false},  // only the last components count
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareByName(c.a, c.b), c.before) << c.a << " < " << c.b;
    }
}

TEST(MusicScan, SoundtrackLimit) {
    test::TempDir dir;
    const fs::path music = dir / "Music";
    Touch(music / "loose.mp3");  // soundtrack 1
    char name[16];
    for (int i = 0; i < 101; ++i) {
        std::snprintf(name, sizeof name, "d%03d", i);
        Touch(music / name / "song.mp3");
    }
    fs::create_directories(music / "d050-empty");  // no audio: not counted
    std::vector<std::string> warnings;
    const std::vector<Soundtrack> soundtracks = ScanMusicFolder(music, warnings);
    ASSERT_EQ(soundtracks.size(), 100u);
    EXPECT_EQ(soundtracks.back().name, "d098");
    EXPECT_EQ(warnings, (std::vector<std::string>{"\"d099\" left out: an Xbox holds 100 soundtracks",
                                                  "\"d100\" left out: an Xbox holds 100 soundtracks"}));
}

TEST(MusicScan, SongLimit) {
    for (int files : {504, 505, 507}) {
        SCOPED_TRACE(files);
        std::vector<fs::path> paths;
        char name[16];
        for (int i = 0; i < files; ++i) {
            std::snprintf(name, sizeof name, "%03d.mp3", i);
            paths.push_back(fs::path("Big") / name);
        }
        std::vector<Soundtrack> soundtracks;
        std::vector<std::string> warnings;
        AddSoundtrack(soundtracks, warnings, "Big", paths);
        AddSoundtrack(soundtracks, warnings, "None", {});
        ASSERT_EQ(soundtracks.size(), 1u);
        ASSERT_EQ(soundtracks[0].songs.size(), 504u);
        EXPECT_EQ(soundtracks[0].songs.back().title, "503");
        if (files == 504) {
            EXPECT_TRUE(warnings.empty());
        } else {
            EXPECT_EQ(warnings, std::vector<std::string>{"\"Big\": songs past 504 left out"});
        }
    }
}

TEST(MusicScan, FollowsLinksAndEndsLoops) {
    test::TempDir dir;
    const fs::path music = dir / "Music";
    Touch(dir / "Elsewhere" / "far.mp3");
    Touch(music / "Rock" / "r.mp3");
    Touch(music / "Rock" / "Live" / "l.mp3");
    ASSERT_TRUE(test::MakeLink(music / "Linked", dir / "Elsewhere"));
    // Links back up the walk: to the music folder, and to the soundtrack's own folder.
    ASSERT_TRUE(test::MakeLink(music / "Rock" / "Live" / "up", music));
    ASSERT_TRUE(test::MakeLink(music / "Rock" / "Live" / "self", music / "Rock"));
    ASSERT_TRUE(test::MakeLink(music / "loop", music));

    std::vector<std::string> warnings;
    EXPECT_EQ(Describe(ScanMusicFolder(music, warnings), music),
              (std::vector<std::string>{"Linked: Linked/far.mp3 (far)", "Rock: Rock/r.mp3 (r) Rock/Live/l.mp3 (l)"}));

    std::vector<fs::path> files;
    CollectAudioFiles(music / "Rock", files);
    EXPECT_EQ(files, (std::vector<fs::path>{music / "Rock" / "r.mp3", music / "Rock" / "Live" / "l.mp3",
                                            music / "Rock" / "Live" / "up" / "Linked" / "far.mp3"}));
}

// Links on every level to the next: two of them give 2^22 ways down a ladder of 22, and every folder is
// walked once, quickly. A link to a sub-folder of the music folder leaves that one its own soundtrack.
TEST(MusicScan, FoldersThatLinksShareAreWalkedOnce) {
    test::TempDir dir;
    const fs::path music = dir / "Music";
    // Under Wine a host link made by a test leads through the drive's own link, so each level costs the host
    // two of the 40 links it follows in one path: 19 levels are as deep as such a ladder goes there.
    const int levels = test::RunningUnderWine() ? 19 : 22;
    for (int level = 1; level <= levels; ++level) {
        Touch(dir / "levels" / std::to_string(level) / (std::to_string(level) + ".mp3"));
    }
    for (int level = 1; level < levels; ++level) {
        for (const char* name : {"a", "b"}) {
            ASSERT_TRUE(test::MakeLink(dir / "levels" / std::to_string(level) / name,
                                       dir / "levels" / std::to_string(level + 1)));
        }
    }
    fs::create_directories(music / "Ladder");
    for (const char* name : {"a", "b"}) ASSERT_TRUE(test::MakeLink(music / "Ladder" / name, dir / "levels" / "1"));
    Touch(music / "Other" / "o.mp3");
    ASSERT_TRUE(test::MakeLink(music / "Ladder" / "c", music / "Other"));

    std::vector<std::string> warnings;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Soundtrack> soundtracks = ScanMusicFolder(music, warnings);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(20)) << "a folder walked more than once";
    std::string ladder = "Ladder:";
    std::string way = "Ladder";
    for (int level = 1; level <= levels; ++level) {
        way += "/a";
        ladder += " " + way + "/" + std::to_string(level) + ".mp3 (" + std::to_string(level) + ")";
    }
    EXPECT_EQ(Describe(soundtracks, music), (std::vector<std::string>{ladder, "Other: Other/o.mp3 (o)"}));
    EXPECT_TRUE(warnings.empty());
}

// Songs at most 64 levels deep: a deeper folder is named in a warning, like the other limits.
TEST(MusicScan, FoldersPastTheDepthLimitAreNamed) {
    test::TempDir dir;
    const fs::path music = dir / "Music";
    fs::path at = music / "Deep";
    std::string rel = "Deep";
    for (int level = 2; level < kMaxScanDepth; ++level) {
        at /= "d";
        rel += "/d";
    }
    Touch(at / "64.mp3");          // 64 levels deep: in a folder at level 63
    Touch(at / "d" / "65.mp3");    // 65 levels deep
    Touch(music / "Deep" / "1.mp3");
    std::vector<std::string> warnings;
    EXPECT_EQ(Describe(ScanMusicFolder(music, warnings), music),
              (std::vector<std::string>{"Deep: Deep/1.mp3 (1) " + rel + "/64.mp3 (64)"}));
    EXPECT_EQ(warnings, (std::vector<std::string>{"\"" + PathUtf8(at / "d") + "\" left out: the scan goes " +
                                                  std::to_string(kMaxScanDepth) + " folders deep"}));
}

// A stop ends the walk: the import, which set it, then ends too.
TEST(MusicScan, AStopEndsTheWalk) {
    test::TempDir dir;
    Touch(dir / "Music" / "a.mp3");
    Touch(dir / "Music" / "Rock" / "r.mp3");
    const std::atomic<bool> stop{true};
    std::vector<std::string> warnings;
    EXPECT_TRUE(ScanMusicFolder(dir / "Music", warnings, {}, &stop).empty());
    const std::atomic<bool> going{false};
    EXPECT_EQ(ScanMusicFolder(dir / "Music", warnings, {}, &going).size(), 2u);
}

// A launcher kept in the music folder has its data folder there, with the songs it converted.
TEST(MusicScan, TheLaunchersOwnFoldersAreLeftOut) {
    struct Case {
        const char* name;
        // Makes the music folder and the data folder (below `dir`); gives the music folder.
        std::function<fs::path(const fs::path& dir, fs::path& data)> prepare;
        std::vector<std::string> soundtracks;  // relative to the music folder
        std::vector<const char*> leftOut;      // the folder named, below the music folder
    } cases[] = {
        {"the data folder inside the music folder",
         [](const fs::path& dir, fs::path& data) {
             data = dir / "Music" / "Launcher" / "kestrel";
             Touch(dir / "Music" / "Launcher" / "notes.mp3");
             return dir / "Music";
         },
         {"Music: own.mp3 (own)", "Launcher: Launcher/notes.mp3 (notes)", "Rock: Rock/r.mp3 (r)"},
         {"Launcher", "kestrel"}},
        {"reached through a link",
         [](const fs::path& dir, fs::path& data) {
             data = dir / "data";
             fs::create_directories(data);
             fs::create_directories(dir / "Music" / "Rock");
             EXPECT_TRUE(test::MakeLink(dir / "Music" / "Rock" / "game", data));
             return dir / "Music";
         },
         {"Music: own.mp3 (own)", "Rock: Rock/r.mp3 (r)"}, {"Rock", "game"}},
        {"a link to a folder of its songs",
         [](const fs::path& dir, fs::path& data) {
             data = dir / "data";
             const fs::path songs = data / "play" / "hdd" / "E" / "TDATA" / "FFFE0000" / "MUSIC";
             Touch(songs / "0001" / "00010000.WMA");
             fs::create_directories(dir / "Music" / "Rock");
             EXPECT_TRUE(test::MakeLink(dir / "Music" / "Rock" / "mine", songs / "0001"));
             return dir / "Music";
         },
         {"Music: own.mp3 (own)", "Rock: Rock/r.mp3 (r)"}, {"Rock", "mine"}},
        {"a link to the game's folder, which holds its songs",
         [](const fs::path& dir, fs::path& data) {
             data = dir / "data";
             Touch(data / "play" / "assets" / "theme.wav");
             fs::create_directories(dir / "Music");
             EXPECT_TRUE(test::MakeLink(dir / "Music" / "Game", data / "play"));
             return dir / "Music";
         },
         {"Music: own.mp3 (own)", "Rock: Rock/r.mp3 (r)"}, {"Game"}},
        {"a link to a folder inside the data folder, through a link to its parent",
         [](const fs::path& dir, fs::path& data) {
             data = dir / "real" / "data";
             fs::create_directories(data / "tools");
             EXPECT_TRUE(test::MakeLink(dir / "via", dir / "real"));
             fs::create_directories(dir / "Music");
             EXPECT_TRUE(test::MakeLink(dir / "Music" / "Tools", dir / "via" / "data" / "tools"));
             return dir / "Music";
         },
         {"Music: own.mp3 (own)", "Rock: Rock/r.mp3 (r)"}, {"Tools"}},
        {"the data folder chosen as the music folder",
         [](const fs::path& dir, fs::path& data) {
             data = dir / "Music";
             return dir / "Music";
         },
         {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        fs::path data;
        const fs::path music = c.prepare(dir.path(), data);
        Touch(music / "own.mp3");
        Touch(music / "Rock" / "r.mp3");
        const fs::path songs = data / "play" / "hdd" / "E" / "TDATA" / "FFFE0000" / "MUSIC";
        Touch(songs / "0001" / "00010000.WMA");
        Touch(data / "tools" / "ffmpeg" / "doc" / "sample.ogg");

        std::vector<std::string> warnings;
        const std::vector<Soundtrack> soundtracks = ScanMusicFolder(music, warnings, {data, songs});
        EXPECT_EQ(Describe(soundtracks, music), c.soundtracks);
        fs::path named = music;
        for (const char* part : c.leftOut) named /= part;
        EXPECT_EQ(warnings,
                  std::vector<std::string>{"\"" + PathUtf8(named) + "\" left out: it holds the launcher's own files"});
    }
}

// Some drives give every file the number 0 (and "none" is all ones): such folders are not identified,
// so a walk does not take a sub-folder for one it is already inside and skip it.
TEST(MusicScan, AFileNumberOfZeroIdentifiesNothing) {
    struct Case {
        uint64_t index;
        bool known;
    } cases[] = {
        {0, false}, {~uint64_t{0}, false}, {1, true}, {0x0001000000000005ull, true}, {~uint64_t{0} - 1, true},
    };
    for (const Case& c : cases) EXPECT_EQ(IsKnownFileIndex(c.index), c.known) << c.index;
}

}  // namespace
}  // namespace launcher
