// The soundtrack database image, read back by a reader written from the layout, the names stored in it
// and the song file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "music/soundtrack_db.h"
#include "support/soundtrack_db_reader.h"

namespace launcher {
namespace {

using test::DbSoundtrack;

// A soundtrack of `songs` songs, song k titled "<name> k" and k + 1000 ms long.
Soundtrack MakeSoundtrack(const std::string& name, size_t songs) {
    Soundtrack soundtrack;
    soundtrack.name = name;
    for (size_t k = 0; k < songs; ++k) {
        soundtrack.songs.push_back(Song{{}, name + " " + std::to_string(k), static_cast<uint32_t>(k + 1000)});
    }
    return soundtrack;
}

uint32_t U32At(const std::string& image, size_t offset) {
    return static_cast<uint32_t>(static_cast<unsigned char>(image[offset])) |
           static_cast<uint32_t>(static_cast<unsigned char>(image[offset + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(image[offset + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(image[offset + 3])) << 24;
}

TEST(SoundtrackDb, LayoutReadsBackForEveryShape) {
    struct Case {
        const char* name;
        std::vector<size_t> songs;                  // per soundtrack
        std::vector<std::vector<uint32_t>> groups;  // expected group lists
    } cases[] = {
        {"no soundtracks", {}, {}},
        {"one song", {1}, {{0}}},
        {"seven songs spill into a second group", {7}, {{0, 1}}},
        {"six and thirteen", {6, 13}, {{0}, {1, 2, 3}}},
        {"three soundtracks of one", {1, 1, 1}, {{0}, {1}, {2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Soundtrack> input;
        size_t groups = 0;
        for (size_t i = 0; i < c.songs.size(); ++i) {
            input.push_back(MakeSoundtrack("Disc " + std::to_string(i + 1), c.songs[i]));
            groups += (c.songs[i] + 5) / 6;
        }
        const std::string image = BuildSoundtrackDb(input);
        ASSERT_EQ(image.size(), 0xCA00 + 0x200 * groups);

        std::vector<DbSoundtrack> read;
        std::string err;
        ASSERT_TRUE(test::ReadSoundtrackDb(image, read, err)) << err;
        ASSERT_EQ(read.size(), input.size());
        for (size_t s = 0; s < read.size(); ++s) {
            EXPECT_EQ(read[s].id, s + 1);
            EXPECT_EQ(read[s].name, input[s].name);
            EXPECT_EQ(read[s].groups, c.groups[s]);
            ASSERT_EQ(read[s].songs.size(), input[s].songs.size());
            uint32_t total = 0;
            for (size_t k = 0; k < read[s].songs.size(); ++k) {
                EXPECT_EQ(read[s].songs[k].id, ((s + 1) << 16) | k);
                EXPECT_EQ(read[s].songs[k].title, input[s].songs[k].title);
                EXPECT_EQ(read[s].songs[k].ms, input[s].songs[k].ms);
                total += input[s].songs[k].ms;
            }
            EXPECT_EQ(read[s].totalMs, total);
        }
    }
}

TEST(SoundtrackDb, FixedBytesOfTheBlocks) {
    // The empty database the import writes when every song failed.
    const std::string empty = BuildSoundtrackDb({});
    ASSERT_EQ(empty.size(), 51712u);
    EXPECT_EQ(empty.substr(0, 12), std::string("\x01\0\0\0\0\0\0\0\x01\0\0\0", 12));
    EXPECT_EQ(empty.find_first_not_of('\0', 12), std::string::npos);

    const std::string image = BuildSoundtrackDb({MakeSoundtrack("A", 7)});
    EXPECT_EQ(image.substr(0x200, 4), std::string("\x71\x13\x02\x00", 4));
    EXPECT_EQ(image.substr(0xCA00, 4), std::string("\x73\x10\x03\x00", 4));
    // The second group holds song index 6 alone.
    EXPECT_EQ(U32At(image, 0xCC00 + 0x10), 0x10006u);
    EXPECT_EQ(U32At(image, 0xCC00 + 0x08), 1u);
    for (int j = 1; j < 6; ++j) EXPECT_EQ(U32At(image, 0xCC00 + 0x10 + 4 * j), 0u);
}

TEST(SoundtrackDb, FullSoundtrackOf504SongsFillsTheGroupList) {
    const std::string image = BuildSoundtrackDb({MakeSoundtrack("Long", 504), MakeSoundtrack("After", 1)});
    std::vector<DbSoundtrack> read;
    std::string err;
    ASSERT_TRUE(test::ReadSoundtrackDb(image, read, err)) << err;
    ASSERT_EQ(read[0].groups.size(), 84u);
    EXPECT_EQ(read[0].groups.back(), 83u);
    EXPECT_EQ(U32At(image, 0x200 + 0x158), 83u);  // the list's last entry ends right before the total
    EXPECT_EQ(read[0].songs.back().id, 0x101F7u);
    EXPECT_EQ(read[1].groups, std::vector<uint32_t>{84});
}

TEST(SoundtrackDb, TotalLengthWrapsAround) {
    Soundtrack soundtrack = MakeSoundtrack("Long", 2);
    soundtrack.songs[0].ms = 0xFFFFFFF0u;
    soundtrack.songs[1].ms = 0x20;
    std::vector<DbSoundtrack> read;
    std::string err;
    ASSERT_TRUE(test::ReadSoundtrackDb(BuildSoundtrackDb({soundtrack}), read, err)) << err;
    EXPECT_EQ(read[0].totalMs, 0x10u);
}

TEST(PutUtf16Name, StoresUnitsUpToTheLimit) {
    const std::string emoji = "\xF0\x9F\x8E\xB5";  // U+1F3B5, a surrogate pair
    struct Case {
        const char* name;
        std::string text;
        std::vector<uint16_t> units;
    } cases[] = {
        {"empty", "", {}},
        {"ASCII and two-byte", "Caf\xC3\xA9", {'C', 'a', 'f', 0xE9}},
        {"three-byte", "\xE2\x99\xAA", {0x266A}},
        {"pair", emoji, {0xD83C, 0xDFB5}},
        {"40 ASCII characters keep 31", std::string(40, 'x'), std::vector<uint16_t>(31, 'x')},
        {"a pair that would be units 31 and 32 ends the name after 30", std::string(30, 'x') + emoji + "y",
         std::vector<uint16_t>(30, 'x')},
        {"a pair as units 30 and 31 fits", std::string(29, 'x') + emoji, [] {
             std::vector<uint16_t> u(29, 'x');
             u.push_back(0xD83C);
             u.push_back(0xDFB5);
             return u;
         }()},
        {"a lead byte cut off keeps its own bits", "ab\xE2", {'a', 'b', 0x02}},
        {"a cut-off sequence keeps what it gathered", "\xE2\x99", {0x99}},
        {"a stray continuation byte stands for itself", "\xA9", {0xA9}},
        {"continuation bits are taken whatever their top bits", "\xC3\x29", {0xE9}},
        {"line breaks of a tag stay", "A\nduration=1", {'A', '\n', 'd', 'u', 'r', 'a', 't', 'i', 'o', 'n', '=', '1'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string image(128, '\0');
        PutUtf16Name(image, 32, c.text);
        EXPECT_EQ(test::DbNameUnits(image, 32), c.units);
        EXPECT_EQ(image.find_first_not_of('\0', 32 + 2 * c.units.size()), std::string::npos);
        EXPECT_EQ(image.substr(0, 32), std::string(32, '\0'));
    }
}

TEST(SongFileName, SoundtrackFolderAndSongId) {
    struct Case {
        uint32_t id;
        uint32_t index;
        const char* name;
    } cases[] = {
        {1, 0, "0001/00010000.WMA"},
        {10, 31, "000a/000a001f.WMA"},
        {100, 503, "0064/006401f7.WMA"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SongFileName(c.id, c.index), c.name);
        EXPECT_EQ(test::DbSongFile((c.id << 16) | c.index), std::filesystem::path(c.name));
    }
}

}  // namespace
}  // namespace launcher
