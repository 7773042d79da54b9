#pragma once

// SHA-1 and SHA-256 (FIPS 180-4). Digests are lower-case hexadecimal text.
// On x86 CPUs with the SHA extensions the block functions use them; otherwise
// a portable implementation runs. Both give identical results.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

struct Sha1 {
    uint32_t h[5];
    uint8_t block[64];
    uint64_t count;  // bytes fed so far; the block buffer holds count % 64 of them
};

struct Sha256 {
    uint32_t h[8];
    uint8_t block[64];
    uint64_t count;
};

void Init(Sha1& state);
void Update(Sha1& state, const void* bytes, size_t length);
// Compresses the 64 bytes at `block` (which may be state.block) into the chaining words.
void Block(Sha1& state, const uint8_t* block);
// Pads, compresses and returns the 40-digit digest. The state is used up.
std::string FinalHex(Sha1& state);

void Init(Sha256& state);
void Update(Sha256& state, const void* bytes, size_t length);
void Block(Sha256& state, const uint8_t* block);
// Returns the 64-digit digest. The state is used up.
std::string FinalHex(Sha256& state);

// Each word as eight hex digits, most significant first, words in order.
std::string WordsToHex(const uint32_t* words, size_t count);

// SHA-256 of a whole file, read in 1 MiB pieces; empty text when the file
// cannot be opened or a read fails.
std::string Sha256File(const std::filesystem::path& path);

std::string Sha1Hex(const void* bytes, size_t length);
std::string Sha256Hex(const void* bytes, size_t length);

// True when this CPU has the SHA extensions (and SSSE3/SSE4.1) that the fast path needs.
bool ShaHardwareAvailable();
// True when hashing currently uses the SHA extensions.
bool ShaHardwareActive();
// For tests and benchmarks: true makes every hash use the portable code.
void ForcePortableSha(bool portable);

}  // namespace launcher
