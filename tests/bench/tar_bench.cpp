// Tar.xz extraction throughput.
//   tar_bench --make DIR        writes a 1 GiB tree of a few thousand files to archive (text-like and
//                               random content, in nested folders)
//   tar_bench ARCHIVE DEST      extracts ARCHIVE into DEST with ExtractTarXz and prints
//                               "bytes N seconds S" (N: compressed bytes read)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/tar_xz.h"

namespace {

namespace fs = std::filesystem;

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
    Random random{0x2545f4914f6cdd1dull};
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
            // Like programs' data and compressed resources: hardly compressible.
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
        fs::path file = dir / ("folder" + std::to_string(i % kFolders)) / ("sub" + std::to_string(i % 7)) /
                        ("file" + std::to_string(i) + ".dat");
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
        std::fprintf(stderr, "usage: tar_bench --make DIR | tar_bench ARCHIVE DEST\n");
        return 2;
    }
    uint64_t bytes = 0;
    launcher::ProgressSink progress = [&](uint64_t done, uint64_t) { bytes = done; };
    std::string err;
    auto start = std::chrono::steady_clock::now();
    bool ok = launcher::ExtractTarXz(argv[1], argv[2], {}, progress, nullptr, err);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "tar_bench: %s\n", err.c_str());
        return 1;
    }
    std::printf("bytes %llu seconds %.3f\n", static_cast<unsigned long long>(bytes), seconds);
    return 0;
}
