#include "music/soundtrack_db.h"

#include <algorithm>
#include <cstdio>

namespace launcher {

namespace {

constexpr uint32_t kSoundtrackTag = 0x00021371;
constexpr uint32_t kGroupTag = 0x00031073;
constexpr size_t kSongsPerGroup = 6;
constexpr size_t kMaxNameUnits = 31;

void Put32(std::string& image, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// More songs would run the soundtrack's group list into its total; the scan never hands over more.
size_t SongsOf(const Soundtrack& soundtrack) {
    return std::min(soundtrack.songs.size(), kMaxSongsPerSoundtrack);
}

}  // namespace

std::string SongFileName(uint32_t soundtrackId, uint32_t songIndex) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04x/%08x.WMA", soundtrackId, (soundtrackId << 16) | songIndex);
    return buffer;
}

void PutUtf16Name(std::string& image, size_t offset, const std::string& text) {
    std::vector<uint16_t> units;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        uint32_t value = lead;
        int follow = 0;
        if (lead >= 0xF0) {
            value = lead & 0x07;
            follow = 3;
        } else if (lead >= 0xE0) {
            value = lead & 0x0F;
            follow = 2;
        } else if (lead >= 0xC0) {
            value = lead & 0x1F;
            follow = 1;
        }
        // Continuation bytes are taken as they come; a sequence cut off by the end keeps what it has.
        for (; follow > 0 && i < text.size(); --follow) {
            value = value * 64 + (static_cast<unsigned char>(text[i++]) & 0x3F);
        }
        if (value > 0xFFFF) {
            if (units.size() + 2 > kMaxNameUnits) break;
            units.push_back(static_cast<uint16_t>(0xD800 + ((value - 0x10000) >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + (value & 0x3FF)));
        } else {
            if (units.size() + 1 > kMaxNameUnits) break;
            units.push_back(static_cast<uint16_t>(value));
        }
    }
    for (size_t k = 0; k < units.size(); ++k) {
        image[offset + 2 * k] = static_cast<char>(units[k] & 0xFF);
        image[offset + 2 * k + 1] = static_cast<char>(units[k] >> 8);
    }
}

std::string BuildSoundtrackDb(const std::vector<Soundtrack>& soundtracks) {
    const size_t count = std::min(soundtracks.size(), kMaxSoundtracks);
    size_t groups = 0;
    for (size_t s = 0; s < count; ++s) groups += (SongsOf(soundtracks[s]) + kSongsPerGroup - 1) / kSongsPerGroup;
    std::string image(kDbGroupsAt + kDbBlock * groups, '\0');

    Put32(image, 0x000, 1);
    Put32(image, 0x004, static_cast<uint32_t>(count));
    Put32(image, 0x008, static_cast<uint32_t>(count + 1));
    for (size_t s = 0; s < count; ++s) Put32(image, 0x00C + 4 * s, static_cast<uint32_t>(s + 1));

    uint32_t global = 0;
    for (size_t s = 0; s < count; ++s) {
        const Soundtrack& soundtrack = soundtracks[s];
        const auto id = static_cast<uint32_t>(s + 1);
        const size_t slot = id * kDbBlock;
        const size_t songs = SongsOf(soundtrack);
        Put32(image, slot + 0x000, kSoundtrackTag);
        Put32(image, slot + 0x004, id);
        Put32(image, slot + 0x008, static_cast<uint32_t>(songs));
        uint32_t total = 0;  // kept modulo 2^32
        for (size_t g = 0; g * kSongsPerGroup < songs; ++g, ++global) {
            Put32(image, slot + 0x00C + 4 * g, global);
            const size_t group = kDbGroupsAt + global * kDbBlock;
            Put32(image, group + 0x000, kGroupTag);
            Put32(image, group + 0x004, id);
            Put32(image, group + 0x008, static_cast<uint32_t>(g));
            for (size_t j = 0; j < kSongsPerGroup && g * kSongsPerGroup + j < songs; ++j) {
                const size_t index = g * kSongsPerGroup + j;
                const Song& song = soundtrack.songs[index];
                Put32(image, group + 0x010 + 4 * j, (id << 16) | static_cast<uint32_t>(index));
                Put32(image, group + 0x028 + 4 * j, song.ms);
                PutUtf16Name(image, group + 0x040 + 64 * j, song.title);
                total += song.ms;
            }
        }
        Put32(image, slot + 0x15C, total);
        PutUtf16Name(image, slot + 0x160, soundtrack.name);
    }
    return image;
}

}  // namespace launcher
