#include "platform/sha.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace launcher {
namespace {

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

std::string Sha1Of(const std::vector<uint8_t>& v) { return Sha1Hex(v.data(), v.size()); }
std::string Sha256Of(const std::vector<uint8_t>& v) { return Sha256Hex(v.data(), v.size()); }

// Every digest test runs once on the SHA extensions (where the CPU has them) and
// once on the portable code.
class ShaPathTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!GetParam() && !ShaHardwareAvailable()) GTEST_SKIP() << "this CPU has no SHA extensions";
        ForcePortableSha(GetParam());
        ASSERT_EQ(ShaHardwareActive(), !GetParam());
    }
    void TearDown() override { ForcePortableSha(false); }
};

std::string PathName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "Portable" : "Hardware"; }

INSTANTIATE_TEST_SUITE_P(Paths, ShaPathTest, ::testing::Values(false, true), PathName);

struct Known {
    std::string message;
    const char* sha1;
    const char* sha256;
};

TEST_P(ShaPathTest, PublishedExamples) {
    const Known cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Known& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.message.size()));
        EXPECT_EQ(Sha1Hex(c.message.data(), c.message.size()), c.sha1);
        EXPECT_EQ(Sha256Hex(c.message.data(), c.message.size()), c.sha256);
    }
}

// Lengths around 56 and 64 decide whether the length field still fits in the last block.
TEST_P(ShaPathTest, PaddingBoundaries) {
    struct Case {
        size_t length;
        const char* sha1;
        const char* sha256;
    };
    const Case cases[] = {
        {1, "5d1be7e9dda1ee8896be5b7e34a85ee16452a7b4", "ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879"},
        {55, "9e5a20c2604688df0b1eecf4474b58bfe7227881", "16ed9c4697ca11d5f6fb25ea7900252dd4cb97215d7f6d0b2bb3e2a86ac0ec72"},
        {56, "bd367cf3b85dc2cac8f6b4827cb850e4c83c521c", "939ada93b2fe1e9c596d767bb408567c83e253667f0b25e5be8e16f35f2cbac9"},
        {57, "8f26553b44ae9cd3b816ba1ba43b5ead3ebcf01b", "ab84281f3b181e6cfc7cf870c7f3e7912be6fd1ac49c7dd6b21f6c25bb9a5eaa"},
        {63, "a8f606c343b26fa851dfd149f7b12fc2dbf1af34", "6073f83b09ae82016cdbe24c18996c48f0eaa08ca675d0f6b90b807fc29e0149"},
        {64, "1abec92bfbde4197236cfba30b6b61c69d605d88", "b337ba9b0c69c391364e985fdcb23a889887e59800832c92fbfa22b8a3c40304"},
        {65, "362ce7bc4bc2b47979741db349c65fd550840dc3", "9d6a3fb113b586b4ab97bc11c993a27bd9b7bbcb756e0646083dc47a679600e6"},
        {119, "e7ceee9817914eef9ec7001a43033f16a086b7c7", "9773fbac8194c3d789af101b49b6a26073076895ef6e0f658432849dd477a43f"},
        {120, "9c9d46758300bc1f2c6953d4a2652ed72a202cf3", "070a538f085dd94821d4dc197c5c8b791051891d4fa2a1bf25d3c275236676f7"},
        {127, "89a850084bf6feb514a0355c6691956065d03d7d", "5072b7a9a4cda7f6d80f1eff09b8b9653201dba22319daf32c6c05339d57f483"},
        {128, "8abf03d87a20327b0a0dfbee98f04a881350d8f4", "485a94e53eba9717a5d8b7b4489cad92a752f1c5722e7dfd29dd164b7c438d11"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        const std::vector<uint8_t> bytes = Pattern(c.length);
        EXPECT_EQ(Sha1Of(bytes), c.sha1);
        EXPECT_EQ(Sha256Of(bytes), c.sha256);
    }
}

// The same bytes fed in one call, byte by byte, and in pieces that straddle
// block edges (partial block, then whole blocks from the caller, then a tail).
TEST_P(ShaPathTest, PiecesGiveTheDigestOfTheWhole) {
    const std::vector<uint8_t> bytes = RandomBytes(5000, 7);
    const std::string sha1Whole = Sha1Of(bytes);
    const std::string sha256Whole = Sha256Of(bytes);

    const std::vector<std::vector<size_t>> splits = {
        {1},                                // byte by byte
        {3, 61, 64, 65, 127, 129, 1, 0},    // odd pieces, an empty one too
        {63, 1, 64, 200, 7},
        {4096, 904},
    };
    for (const auto& pieces : splits) {
        Sha1 s1;
        Sha256 s256;
        Init(s1);
        Init(s256);
        size_t at = 0;
        for (size_t i = 0; at < bytes.size(); ++i) {
            const size_t n = std::min(pieces[i % pieces.size()], bytes.size() - at);
            Update(s1, bytes.data() + at, n);
            Update(s256, bytes.data() + at, n);
            at += n;
        }
        SCOPED_TRACE("first piece " + std::to_string(pieces[0]));
        EXPECT_EQ(s1.count, bytes.size());
        EXPECT_EQ(FinalHex(s1), sha1Whole);
        EXPECT_EQ(FinalHex(s256), sha256Whole);
    }
}

TEST(ShaPaths, HardwareAndPortableAgreeOverManyLengths) {
    if (!ShaHardwareAvailable()) GTEST_SKIP() << "this CPU has no SHA extensions";
    // One spare byte in front so that odd offsets make unaligned input.
    const std::vector<uint8_t> bytes = RandomBytes((1 << 20) + 40, 11);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 1100; ++n) lengths.push_back(n);
    for (size_t n : {4095, 4096, 4097, 65536 + 13, 1 << 20}) lengths.push_back(n);

    for (size_t n : lengths) {
        const uint8_t* data = bytes.data() + (n % 3);
        ForcePortableSha(true);
        const std::string sha1Portable = Sha1Hex(data, n);
        const std::string sha256Portable = Sha256Hex(data, n);
        ForcePortableSha(false);
        ASSERT_EQ(Sha1Hex(data, n), sha1Portable) << "length " << n;
        ASSERT_EQ(Sha256Hex(data, n), sha256Portable) << "length " << n;
    }
}

TEST(ShaBlocks, BlockCompressesOnePaddedBlock) {
    // "abc" padded by hand: 0x80, zeros, then the length 24 bits.
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    Sha256 s256;
    Init(s256);
    Block(s256, block);
    EXPECT_EQ(WordsToHex(s256.h, 8), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Sha1 s1;
    Init(s1);
    Block(s1, block);
    EXPECT_EQ(WordsToHex(s1.h, 5), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(ShaBlocks, WordsToHexKeepsLeadingZerosInLowerCase) {
    const uint32_t words[] = {0x0123abcd, 0, 0xffffffff, 0x0000000f};
    EXPECT_EQ(WordsToHex(words, 4), "0123abcd00000000ffffffff0000000f");
    EXPECT_EQ(WordsToHex(words, 0), "");
}

// ---------------------------------------------------------------------------

class Sha256FileTest : public ::testing::Test {
protected:
    std::filesystem::path Write(const std::filesystem::path& name, const std::vector<uint8_t>& bytes) {
        const std::filesystem::path path = dir_ / name;
        test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }
    test::TempDir dir_;
};

TEST_F(Sha256FileTest, WholeContentsAcrossTheReadSize) {
    const size_t kMiB = 1 << 20;
    for (size_t n : {size_t(0), size_t(100), kMiB - 1, kMiB, kMiB + 1, 3 * kMiB + 17}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const std::vector<uint8_t> bytes = RandomBytes(n, static_cast<uint32_t>(n));
        const std::filesystem::path path = Write("file_" + std::to_string(n) + ".bin", bytes);
        EXPECT_EQ(Sha256File(path), Sha256Of(bytes));
    }
}

TEST_F(Sha256FileTest, NonAsciiFileName) {
    // "datei-ü-ß-日本.bin" as UTF-8.
    const std::string utf8 = "datei-\xc3\xbc-\xc3\x9f-\xe6\x97\xa5\xe6\x9c\xac.bin";
#if defined(__cpp_char8_t)
    const std::filesystem::path name(std::u8string(utf8.begin(), utf8.end()));
#else
    const std::filesystem::path name = std::filesystem::u8path(utf8);
#endif
    const std::vector<uint8_t> bytes = Pattern(3000);
    const std::filesystem::path path = Write(name, bytes);
    EXPECT_EQ(Sha256File(path), Sha256Of(bytes));
}

TEST_F(Sha256FileTest, UnreadableGivesEmptyText) {
    EXPECT_EQ(Sha256File(dir_ / "missing.bin"), "");
    EXPECT_EQ(Sha256File(dir_ / "no_such_folder" / "file.bin"), "");
    // A folder is not a file with no contents: never the empty-input digest.
    EXPECT_EQ(Sha256File(dir_.path()), "");
}

}  // namespace
}  // namespace launcher
