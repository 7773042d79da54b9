#include "platform/sha.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#define LAUNCHER_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace launcher {
namespace {

// Compress `blocks` consecutive 64-byte blocks at `data` into the chaining words.
using BlocksFn = void (*)(uint32_t* h, const uint8_t* data, size_t blocks);

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

alignas(16) const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// ---------------------------------------------------------------------------
// Portable code. Fully unrolled rounds with the message schedule kept in a
// 16-word ring, so the compiler can hold the working variables in registers.

void Sha1BlocksPortable(uint32_t* h, const uint8_t* p, size_t blocks) {
    for (; blocks > 0; --blocks, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];

#define LAUNCHER_SHA1_W(i) \
    (w[(i) & 15] = Rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define LAUNCHER_SHA1_R(v, w_, x, y, z, f, k, wi)         \
    do {                                                  \
        z += Rotl(v, 5) + (f) + (k) + (wi);               \
        w_ = Rotl(w_, 30);                                \
    } while (0)
#define LAUNCHER_SHA1_F0(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define LAUNCHER_SHA1_F1(x, y, z) ((x) ^ (y) ^ (z))
#define LAUNCHER_SHA1_F2(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
// One round: names rotate (a,b,c,d,e) -> (e,a,b,c,d) from call to call.
#define LAUNCHER_SHA1_R0(a, b, c, d, e, i) LAUNCHER_SHA1_R(a, b, c, d, e, LAUNCHER_SHA1_F0(b, c, d), 0x5a827999u, w[i])
#define LAUNCHER_SHA1_R0X(a, b, c, d, e, i) \
    LAUNCHER_SHA1_R(a, b, c, d, e, LAUNCHER_SHA1_F0(b, c, d), 0x5a827999u, LAUNCHER_SHA1_W(i))
#define LAUNCHER_SHA1_R1(a, b, c, d, e, i) \
    LAUNCHER_SHA1_R(a, b, c, d, e, LAUNCHER_SHA1_F1(b, c, d), 0x6ed9eba1u, LAUNCHER_SHA1_W(i))
#define LAUNCHER_SHA1_R2(a, b, c, d, e, i) \
    LAUNCHER_SHA1_R(a, b, c, d, e, LAUNCHER_SHA1_F2(b, c, d), 0x8f1bbcdcu, LAUNCHER_SHA1_W(i))
#define LAUNCHER_SHA1_R3(a, b, c, d, e, i) \
    LAUNCHER_SHA1_R(a, b, c, d, e, LAUNCHER_SHA1_F1(b, c, d), 0xca62c1d6u, LAUNCHER_SHA1_W(i))
#define LAUNCHER_SHA1_FIVE(R, i)      \
    R(a, b, c, d, e, (i) + 0);        \
    R(e, a, b, c, d, (i) + 1);        \
    R(d, e, a, b, c, (i) + 2);        \
    R(c, d, e, a, b, (i) + 3);        \
    R(b, c, d, e, a, (i) + 4)

        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R0, 0);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R0, 5);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R0, 10);
        LAUNCHER_SHA1_R0(a, b, c, d, e, 15);
        LAUNCHER_SHA1_R0X(e, a, b, c, d, 16);
        LAUNCHER_SHA1_R0X(d, e, a, b, c, 17);
        LAUNCHER_SHA1_R0X(c, d, e, a, b, 18);
        LAUNCHER_SHA1_R0X(b, c, d, e, a, 19);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R1, 20);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R1, 25);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R1, 30);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R1, 35);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R2, 40);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R2, 45);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R2, 50);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R2, 55);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R3, 60);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R3, 65);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R3, 70);
        LAUNCHER_SHA1_FIVE(LAUNCHER_SHA1_R3, 75);

#undef LAUNCHER_SHA1_FIVE
#undef LAUNCHER_SHA1_R3
#undef LAUNCHER_SHA1_R2
#undef LAUNCHER_SHA1_R1
#undef LAUNCHER_SHA1_R0X
#undef LAUNCHER_SHA1_R0
#undef LAUNCHER_SHA1_F2
#undef LAUNCHER_SHA1_F1
#undef LAUNCHER_SHA1_F0
#undef LAUNCHER_SHA1_R
#undef LAUNCHER_SHA1_W

        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
}

void Sha256BlocksPortable(uint32_t* h, const uint8_t* p, size_t blocks) {
    for (; blocks > 0; --blocks, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        uint32_t bc = b ^ c;  // a ^ b of the round before, for the majority function

// The sigma functions are written as nested rotations (one rotate fewer to copy
// per term without BMI2), and the majority reuses the previous round's a ^ b.
#define LAUNCHER_SHA256_R(a, b, c, d, e, f, g, h, i, wi)                                       \
    do {                                                                                         \
        uint32_t t1 = h + Rotr(e ^ Rotr(e ^ Rotr(e, 14), 5), 6) + (g ^ (e & (f ^ g))) +          \
                      kSha256K[i] + (wi);                                                        \
        const uint32_t ab = a ^ b;                                                               \
        d += t1;                                                                                 \
        h = t1 + Rotr(a ^ Rotr(a ^ Rotr(a, 9), 11), 2) + (b ^ (bc & ab));                        \
        bc = ab;                                                                                 \
    } while (0)
#define LAUNCHER_SHA256_W(i)                                                                     \
    (w[(i) & 15] += (Rotr(w[((i) + 14) & 15] ^ Rotr(w[((i) + 14) & 15], 2), 17) ^                 \
                     (w[((i) + 14) & 15] >> 10)) +                                               \
                    w[((i) + 9) & 15] +                                                          \
                    (Rotr(w[((i) + 1) & 15] ^ Rotr(w[((i) + 1) & 15], 11), 7) ^ (w[((i) + 1) & 15] >> 3)))
#define LAUNCHER_SHA256_R0(a, b, c, d, e, f, g, h, i) LAUNCHER_SHA256_R(a, b, c, d, e, f, g, h, i, w[i])
#define LAUNCHER_SHA256_RX(a, b, c, d, e, f, g, h, i) \
    LAUNCHER_SHA256_R(a, b, c, d, e, f, g, h, i, LAUNCHER_SHA256_W(i))
#define LAUNCHER_SHA256_EIGHT(R, i)            \
    R(a, b, c, d, e, f, g, hh, (i) + 0);       \
    R(hh, a, b, c, d, e, f, g, (i) + 1);       \
    R(g, hh, a, b, c, d, e, f, (i) + 2);       \
    R(f, g, hh, a, b, c, d, e, (i) + 3);       \
    R(e, f, g, hh, a, b, c, d, (i) + 4);       \
    R(d, e, f, g, hh, a, b, c, (i) + 5);       \
    R(c, d, e, f, g, hh, a, b, (i) + 6);       \
    R(b, c, d, e, f, g, hh, a, (i) + 7)

        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_R0, 0);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_R0, 8);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_RX, 16);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_RX, 24);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_RX, 32);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_RX, 40);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_RX, 48);
        LAUNCHER_SHA256_EIGHT(LAUNCHER_SHA256_RX, 56);

#undef LAUNCHER_SHA256_EIGHT
#undef LAUNCHER_SHA256_RX
#undef LAUNCHER_SHA256_R0
#undef LAUNCHER_SHA256_W
#undef LAUNCHER_SHA256_R

        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
}

// ---------------------------------------------------------------------------
// SHA extensions. Only these functions are compiled for the extra instruction
// sets; the rest of the file stays baseline x86-64 and the choice is made at run time.

#if LAUNCHER_SHA_X86

__attribute__((target("sha,sse4.1"))) void Sha1BlocksHw(uint32_t* h, const uint8_t* p, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    __m128i e1;

    for (; blocks > 0; --blocks, p += 64) {
        const __m128i abcdSave = abcd;
        const __m128i eSave = e0;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0)), byteSwap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), byteSwap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), byteSwap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), byteSwap);

        // Rounds 0-3.
        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

// Four rounds g (1..19). `cur` holds words 4g..4g+3; `next`, `prev` and `prev2`
// are the ring's other vectors, being prepared for groups g+1, g+3 and g+2.
#define LAUNCHER_SHA1_GROUP(g, cur, next, prev, prev2, eCur, eOther)                 \
    do {                                                                             \
        eCur = _mm_sha1nexte_epu32(eCur, cur);                                       \
        eOther = abcd;                                                               \
        if ((g) >= 3 && (g) <= 18) next = _mm_sha1msg2_epu32(next, cur);             \
        abcd = _mm_sha1rnds4_epu32(abcd, eCur, (g) / 5);                             \
        if ((g) >= 1 && (g) <= 16) prev = _mm_sha1msg1_epu32(prev, cur);             \
        if ((g) >= 2 && (g) <= 17) prev2 = _mm_xor_si128(prev2, cur);                \
    } while (0)

        LAUNCHER_SHA1_GROUP(1, m1, m2, m0, m3, e1, e0);
        LAUNCHER_SHA1_GROUP(2, m2, m3, m1, m0, e0, e1);
        LAUNCHER_SHA1_GROUP(3, m3, m0, m2, m1, e1, e0);
        LAUNCHER_SHA1_GROUP(4, m0, m1, m3, m2, e0, e1);
        LAUNCHER_SHA1_GROUP(5, m1, m2, m0, m3, e1, e0);
        LAUNCHER_SHA1_GROUP(6, m2, m3, m1, m0, e0, e1);
        LAUNCHER_SHA1_GROUP(7, m3, m0, m2, m1, e1, e0);
        LAUNCHER_SHA1_GROUP(8, m0, m1, m3, m2, e0, e1);
        LAUNCHER_SHA1_GROUP(9, m1, m2, m0, m3, e1, e0);
        LAUNCHER_SHA1_GROUP(10, m2, m3, m1, m0, e0, e1);
        LAUNCHER_SHA1_GROUP(11, m3, m0, m2, m1, e1, e0);
        LAUNCHER_SHA1_GROUP(12, m0, m1, m3, m2, e0, e1);
        LAUNCHER_SHA1_GROUP(13, m1, m2, m0, m3, e1, e0);
        LAUNCHER_SHA1_GROUP(14, m2, m3, m1, m0, e0, e1);
        LAUNCHER_SHA1_GROUP(15, m3, m0, m2, m1, e1, e0);
        LAUNCHER_SHA1_GROUP(16, m0, m1, m3, m2, e0, e1);
        LAUNCHER_SHA1_GROUP(17, m1, m2, m0, m3, e1, e0);
        LAUNCHER_SHA1_GROUP(18, m2, m3, m1, m0, e0, e1);
        LAUNCHER_SHA1_GROUP(19, m3, m0, m2, m1, e1, e0);
#undef LAUNCHER_SHA1_GROUP

        e0 = _mm_sha1nexte_epu32(e0, eSave);
        abcd = _mm_add_epi32(abcd, abcdSave);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1b));
    h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

__attribute__((target("sha,sse4.1"))) void Sha256BlocksHw(uint32_t* h, const uint8_t* p, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    // The instructions keep the state as ABEF and CDGH.
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xb1);       // CDAB
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1b);  // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);     // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xf0);          // CDGH

    for (; blocks > 0; --blocks, p += 64) {
        const __m128i abefSave = state0;
        const __m128i cdghSave = state1;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0)), byteSwap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), byteSwap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), byteSwap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), byteSwap);
        __m128i msg;

// Four rounds g (0..15). `cur` holds words 4g..4g+3; `next` is completed here
// for group g+1 and `prev` gets its first schedule step for group g+3.
#define LAUNCHER_SHA256_GROUP(g, cur, prev, next)                                              \
    do {                                                                                       \
        msg = _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * (g)))); \
        state1 = _mm_sha256rnds2_epu32(state1, state0, msg);                                   \
        if ((g) >= 3 && (g) <= 14) {                                                           \
            next = _mm_add_epi32(next, _mm_alignr_epi8(cur, prev, 4));                         \
            next = _mm_sha256msg2_epu32(next, cur);                                            \
        }                                                                                      \
        msg = _mm_shuffle_epi32(msg, 0x0e);                                                    \
        state0 = _mm_sha256rnds2_epu32(state0, state1, msg);                                   \
        if ((g) >= 1 && (g) <= 12) prev = _mm_sha256msg1_epu32(prev, cur);                     \
    } while (0)

        LAUNCHER_SHA256_GROUP(0, m0, m3, m1);
        LAUNCHER_SHA256_GROUP(1, m1, m0, m2);
        LAUNCHER_SHA256_GROUP(2, m2, m1, m3);
        LAUNCHER_SHA256_GROUP(3, m3, m2, m0);
        LAUNCHER_SHA256_GROUP(4, m0, m3, m1);
        LAUNCHER_SHA256_GROUP(5, m1, m0, m2);
        LAUNCHER_SHA256_GROUP(6, m2, m1, m3);
        LAUNCHER_SHA256_GROUP(7, m3, m2, m0);
        LAUNCHER_SHA256_GROUP(8, m0, m3, m1);
        LAUNCHER_SHA256_GROUP(9, m1, m0, m2);
        LAUNCHER_SHA256_GROUP(10, m2, m1, m3);
        LAUNCHER_SHA256_GROUP(11, m3, m2, m0);
        LAUNCHER_SHA256_GROUP(12, m0, m3, m1);
        LAUNCHER_SHA256_GROUP(13, m1, m0, m2);
        LAUNCHER_SHA256_GROUP(14, m2, m1, m3);
        LAUNCHER_SHA256_GROUP(15, m3, m2, m0);
#undef LAUNCHER_SHA256_GROUP

        state0 = _mm_add_epi32(state0, abefSave);
        state1 = _mm_add_epi32(state1, cdghSave);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1b);                // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xb1);             // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xf0);          // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);             // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), state1);
}

bool DetectShaExtensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

#else

bool DetectShaExtensions() { return false; }

#endif

std::atomic<bool> g_forcePortable{false};

bool HardwareAvailable() {
    static const bool available = DetectShaExtensions();
    return available;
}

bool UseHardware() { return HardwareAvailable() && !g_forcePortable.load(std::memory_order_relaxed); }

BlocksFn Sha1Blocks() {
#if LAUNCHER_SHA_X86
    if (UseHardware()) return Sha1BlocksHw;
#endif
    return Sha1BlocksPortable;
}

BlocksFn Sha256Blocks() {
#if LAUNCHER_SHA_X86
    if (UseHardware()) return Sha256BlocksHw;
#endif
    return Sha256BlocksPortable;
}

// Whole blocks in the caller's buffer go straight to the compress function;
// only a leading or trailing partial block passes through state.block.
template <typename State>
void UpdateState(State& s, const void* bytes, size_t length, BlocksFn blocks) {
    if (length == 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    size_t fill = static_cast<size_t>(s.count % 64);
    s.count += length;
    if (fill != 0) {
        const size_t take = std::min(64 - fill, length);
        std::memcpy(s.block + fill, p, take);
        p += take;
        length -= take;
        if (fill + take < 64) return;
        blocks(s.h, s.block, 1);
    }
    const size_t whole = length / 64;
    if (whole != 0) {
        blocks(s.h, p, whole);
        p += whole * 64;
        length -= whole * 64;
    }
    if (length != 0) std::memcpy(s.block, p, length);
}

template <typename State>
std::string FinishState(State& s, BlocksFn blocks, size_t words) {
    const uint64_t bits = s.count * 8;
    size_t fill = static_cast<size_t>(s.count % 64);
    s.block[fill++] = 0x80;
    if (fill > 56) {
        std::memset(s.block + fill, 0, 64 - fill);
        blocks(s.h, s.block, 1);
        fill = 0;
    }
    std::memset(s.block + fill, 0, 56 - fill);
    for (int i = 0; i < 8; ++i) s.block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    blocks(s.h, s.block, 1);
    return WordsToHex(s.h, words);
}

}  // namespace

void Init(Sha1& s) {
    static const uint32_t kInit[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    std::memcpy(s.h, kInit, sizeof kInit);
    std::memset(s.block, 0, sizeof s.block);
    s.count = 0;
}

void Update(Sha1& s, const void* bytes, size_t length) { UpdateState(s, bytes, length, Sha1Blocks()); }

void Block(Sha1& s, const uint8_t* block) { Sha1Blocks()(s.h, block, 1); }

std::string FinalHex(Sha1& s) { return FinishState(s, Sha1Blocks(), 5); }

void Init(Sha256& s) {
    static const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(s.h, kInit, sizeof kInit);
    std::memset(s.block, 0, sizeof s.block);
    s.count = 0;
}

void Update(Sha256& s, const void* bytes, size_t length) { UpdateState(s, bytes, length, Sha256Blocks()); }

void Block(Sha256& s, const uint8_t* block) { Sha256Blocks()(s.h, block, 1); }

std::string FinalHex(Sha256& s) { return FinishState(s, Sha256Blocks(), 8); }

std::string WordsToHex(const uint32_t* words, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(count * 8, '0');
    for (size_t i = 0; i < count; ++i) {
        for (int j = 0; j < 8; ++j) text[i * 8 + j] = kDigits[(words[i] >> (28 - 4 * j)) & 0xf];
    }
    return text;
}

std::string Sha256File(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    constexpr size_t kBufferSize = 1 << 20;
    const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    Sha256 s;
    Init(s);
    while (in) {
        in.read(buffer.get(), static_cast<std::streamsize>(kBufferSize));
        const std::streamsize got = in.gcount();
        if (got > 0) Update(s, buffer.get(), static_cast<size_t>(got));
    }
    // A read error (or a folder opened as a file) must not pass for the digest of what was read.
    if (in.bad()) return {};
    return FinalHex(s);
}

std::string Sha1Hex(const void* bytes, size_t length) {
    Sha1 s;
    Init(s);
    Update(s, bytes, length);
    return FinalHex(s);
}

std::string Sha256Hex(const void* bytes, size_t length) {
    Sha256 s;
    Init(s);
    Update(s, bytes, length);
    return FinalHex(s);
}

bool ShaHardwareAvailable() { return HardwareAvailable(); }

bool ShaHardwareActive() { return UseHardware(); }

void ForcePortableSha(bool portable) { g_forcePortable.store(portable, std::memory_order_relaxed); }

}  // namespace launcher
