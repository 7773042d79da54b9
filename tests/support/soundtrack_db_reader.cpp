#include "support/soundtrack_db_reader.h"

#include <cstdio>

#include "platform/paths.h"

namespace launcher::test {

namespace {

constexpr size_t kBlock = 0x200;
constexpr size_t kGroupsStart = 101 * kBlock;

uint32_t U32(const std::string& image, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(image[offset + i]);
    return value;
}

bool ZeroFrom(const std::string& image, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (image[i] != '\0') return false;
    }
    return true;
}

// A 64-byte name field: at most 31 units, a zero unit after them and zeros to the end of the field.
bool ReadName(const std::string& image, size_t offset, std::string& name, std::string& err, const std::string& what) {
    std::vector<uint16_t> units = DbNameUnits(image, offset);
    if (units.size() > 31 || !ZeroFrom(image, offset + 2 * units.size(), offset + 64)) {
        err = what + ": the name field is not ended by zeros";
        return false;
    }
    name.clear();
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        AppendUtf8(name, c);
    }
    return true;
}

std::string Hex(size_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%zx", value);
    return buffer;
}

}  // namespace

std::vector<uint16_t> DbNameUnits(const std::string& image, size_t offset) {
    std::vector<uint16_t> units;
    for (size_t at = offset; at + 1 < image.size() && at < offset + 64; at += 2) {
        const uint16_t unit = static_cast<uint16_t>(static_cast<unsigned char>(image[at]) |
                                                    (static_cast<unsigned char>(image[at + 1]) << 8));
        if (unit == 0) break;
        units.push_back(unit);
    }
    return units;
}

std::filesystem::path DbSongFile(uint32_t songId) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04x", songId >> 16);
    std::filesystem::path folder = buffer;
    std::snprintf(buffer, sizeof buffer, "%08x.WMA", songId);
    return folder / buffer;
}

bool ReadSoundtrackDb(const std::string& image, std::vector<DbSoundtrack>& soundtracks, std::string& err) {
    soundtracks.clear();
    if (image.size() < kGroupsStart || (image.size() - kGroupsStart) % kBlock != 0) {
        err = "size " + std::to_string(image.size()) + " is not 0xCA00 and whole blocks";
        return false;
    }
    const uint32_t count = U32(image, 4);
    if (U32(image, 0) != 1 || count > 100 || U32(image, 8) != count + 1) {
        err = "header is not 1, count, count + 1";
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (U32(image, 0xC + 4 * i) != i + 1) {
            err = "header id " + std::to_string(i) + " is not " + std::to_string(i + 1);
            return false;
        }
    }
    if (!ZeroFrom(image, 0xC + 4 * count, kBlock)) {
        err = "header is not zero after the ids";
        return false;
    }
    for (uint32_t id = count + 1; id <= 100; ++id) {
        if (!ZeroFrom(image, id * kBlock, (id + 1) * kBlock)) {
            err = "unused slot " + std::to_string(id) + " is not zero";
            return false;
        }
    }

    const size_t groupBlocks = (image.size() - kGroupsStart) / kBlock;
    uint32_t nextGroup = 0;
    for (uint32_t id = 1; id <= count; ++id) {
        const size_t slot = id * kBlock;
        const std::string what = "soundtrack " + std::to_string(id);
        DbSoundtrack soundtrack;
        soundtrack.id = U32(image, slot + 4);
        const uint32_t songs = U32(image, slot + 8);
        if (U32(image, slot) != 0x00021371 || soundtrack.id != id || songs == 0 || songs > 504) {
            err = what + ": tag, id or song count wrong";
            return false;
        }
        const uint32_t groups = (songs + 5) / 6;
        for (uint32_t g = 0; g < groups; ++g) soundtrack.groups.push_back(U32(image, slot + 0xC + 4 * g));
        if (!ZeroFrom(image, slot + 0xC + 4 * groups, slot + 0x15C)) {
            err = what + ": not zero after its group list";
            return false;
        }
        soundtrack.totalMs = U32(image, slot + 0x15C);
        if (!ReadName(image, slot + 0x160, soundtrack.name, err, what)) return false;
        if (!ZeroFrom(image, slot + 0x1A0, slot + kBlock)) {
            err = what + ": not zero after its name";
            return false;
        }
        uint32_t sum = 0;
        for (uint32_t g = 0; g < groups; ++g) {
            const uint32_t global = soundtrack.groups[g];
            if (global != nextGroup++ || global >= groupBlocks) {
                err = what + ": group " + std::to_string(g) + " has the global number " + std::to_string(global);
                return false;
            }
            const size_t block = kGroupsStart + global * kBlock;
            const std::string where = what + " group " + std::to_string(g) + " at " + Hex(block);
            if (U32(image, block) != 0x00031073 || U32(image, block + 4) != id || U32(image, block + 8) != g ||
                U32(image, block + 0xC) != 0) {
                err = where + ": tag, id, number or zero field wrong";
                return false;
            }
            for (uint32_t j = 0; j < 6; ++j) {
                const uint32_t index = 6 * g + j;
                const size_t idAt = block + 0x10 + 4 * j;
                const size_t msAt = block + 0x28 + 4 * j;
                const size_t titleAt = block + 0x40 + 64 * j;
                if (index >= songs) {
                    if (U32(image, idAt) != 0 || U32(image, msAt) != 0 || !ZeroFrom(image, titleAt, titleAt + 64)) {
                        err = where + ": unused song slot " + std::to_string(j) + " is not zero";
                        return false;
                    }
                    continue;
                }
                DbSong song;
                song.id = U32(image, idAt);
                song.ms = U32(image, msAt);
                if (song.id != ((id << 16) | index)) {
                    err = where + ": song " + std::to_string(index) + " has the id " + Hex(song.id);
                    return false;
                }
                if (!ReadName(image, titleAt, song.title, err, where)) return false;
                sum += song.ms;
                soundtrack.songs.push_back(song);
            }
            if (!ZeroFrom(image, block + 0x1C0, block + kBlock)) {
                err = where + ": not zero after its titles";
                return false;
            }
        }
        if (sum != soundtrack.totalMs) {
            err = what + ": total " + std::to_string(soundtrack.totalMs) + " is not the songs' sum " +
                  std::to_string(sum);
            return false;
        }
        soundtracks.push_back(std::move(soundtrack));
    }
    if (nextGroup != groupBlocks) {
        err = "the image holds " + std::to_string(groupBlocks) + " group blocks, the soundtracks use " +
              std::to_string(nextGroup);
        return false;
    }
    return true;
}

}  // namespace launcher::test
