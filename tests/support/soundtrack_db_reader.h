#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher::test {

// ST.DB as the game reads it, taken apart by its layout alone (no code of the writer's).
struct DbSong {
    uint32_t id = 0;
    uint32_t ms = 0;
    std::string title;  // UTF-8 of the stored UTF-16
};

struct DbSoundtrack {
    uint32_t id = 0;
    std::string name;
    uint32_t totalMs = 0;
    std::vector<uint32_t> groups;  // the global numbers of its song groups
    std::vector<DbSong> songs;
};

// Reads an image and checks every field the layout fixes, zero bytes included. False, with the first
// thing that is not as it should be, when the image breaks the layout.
bool ReadSoundtrackDb(const std::string& image, std::vector<DbSoundtrack>& soundtracks, std::string& err);

// Where the game looks for a song: "%04x/%08x.WMA" of its soundtrack's id and its own id.
std::filesystem::path DbSongFile(uint32_t songId);

// The UTF-16 units of a stored name, up to the first zero unit.
std::vector<uint16_t> DbNameUnits(const std::string& image, size_t offset);

}  // namespace launcher::test
