// Zip extraction throughput.
//   zip_bench --make DIR        writes a 1 GiB tree of a few thousand files to zip (text-like and
//                               random content, so the archive mixes deflated and near-stored data)
//   zip_bench ARCHIVE DEST      extracts ARCHIVE into DEST with ExtractZip and prints
//                               "bytes N entries M seconds S"
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/zip.h"

namespace {

namespace fs = std::filesystem;
using launcher::ExtractZip;

constexpr uint64_t kTotal = uint64_t{1} << 30;
constexpr int kFiles = 3072;
constexpr int kFolders = 48;

struct Random {
    uint64_t state;
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

int Make(const fs::path& dir) {
    Random random{0x9e3779b97f4a7c15ull};
    std::vector<std::string> words;
    for (int i = 0; i < 4096; ++i) {
        std::string word;
        int length = 2 + static_cast<int>(random.Next() % 9);
        for (int k = 0; k < length; ++k) word += static_cast<char>('a' + random.Next() % 26);
        words.push_back(word);
    }
    const uint64_t mean = kTotal / kFiles;
    uint64_t written = 0;
    std::string content;
    for (int i = 0; i < kFiles; ++i) {
        uint64_t size = i + 1 == kFiles ? kTotal - written : mean / 5 + random.Next() % (mean * 8 / 5);
        if (written + size > kTotal) size = kTotal - written;
        content.clear();
        content.reserve(size);
        if (i % 4 == 3) {
            // Like textures and sounds: hardly compressible.
            while (content.size() < size) {
                uint64_t r = random.Next();
                content.append(reinterpret_cast<const char*>(&r), sizeof r);
            }
        } else {
            while (content.size() < size) {
                content += words[random.Next() % words.size()];
                content += (random.Next() % 12 == 0) ? '\n' : ' ';
            }
        }
        content.resize(size);
        fs::path file = dir / ("folder" + std::to_string(i % kFolders)) / ("file" + std::to_string(i) + ".dat");
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        written += size;
    }
    std::printf("bytes %llu files %d\n", static_cast<unsigned long long>(written), kFiles);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make") == 0) return Make(argv[2]);
    if (argc != 3) {
        std::fprintf(stderr, "usage: zip_bench --make DIR | zip_bench ARCHIVE DEST\n");
        return 2;
    }
    uint64_t bytes = 0;
    uint64_t entries = 0;
    launcher::ProgressSink progress = [&](uint64_t done, uint64_t) {
        bytes = done;
        ++entries;
    };
    std::string err;
    auto start = std::chrono::steady_clock::now();
    bool ok = ExtractZip(argv[1], argv[2], {}, progress, nullptr, err);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "zip_bench: %s\n", err.c_str());
        return 1;
    }
    std::printf("bytes %llu entries %llu seconds %.3f\n", static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(entries), seconds);
    return 0;
}
