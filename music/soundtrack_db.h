#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "music/scan.h"

namespace launcher {

// "ST.DB", the soundtrack database the game reads: 512-byte blocks of little-endian 32-bit fields, the
// header, one slot per soundtrack id, then the songs in groups of six.
constexpr size_t kDbBlock = 0x200;
constexpr size_t kDbGroupsAt = 0xCA00;  // the header and 100 soundtrack slots

// The database image of the soundtracks, in their order (ids from 1). Every soundtrack holds at least
// one song and at most 504; only the first 100 soundtracks are written.
std::string BuildSoundtrackDb(const std::vector<Soundtrack>& soundtracks);

// Writes `text` as UTF-16 (low byte first) at `offset`: at most 31 units, so the zeroed 64-byte field it
// lands in always ends with a zero unit. UTF-8 is read leniently; nothing is written for an empty text.
void PutUtf16Name(std::string& image, size_t offset, const std::string& text);

// The song's file below the soundtrack folder: "%04x/%08x.WMA" of the soundtrack id and the song id.
std::string SongFileName(uint32_t soundtrackId, uint32_t songIndex);

}  // namespace launcher
