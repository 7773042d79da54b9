// The 1 GiB tree of a few thousand files that the archive benchmarks pack: text-like files and, every
// fourth one, hardly compressible ones (like programs' data, textures and sounds), in folders.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

struct Random {
    uint64_t state;
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

// Writes the tree below `dir`, the same for the same `seed`; `nested` puts every file one folder deeper.
// Prints "bytes N files M" and returns the exit code of a --make run.
inline int MakeTree(const std::filesystem::path& dir, uint64_t seed, bool nested) {
    constexpr uint64_t kTotal = uint64_t{1} << 30;
    constexpr int kFiles = 3072;
    constexpr int kFolders = 48;
    Random random{seed};
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
        std::filesystem::path folder = dir / ("folder" + std::to_string(i % kFolders));
        if (nested) folder /= "sub" + std::to_string(i % 7);
        const std::filesystem::path file = folder / ("file" + std::to_string(i) + ".dat");
        std::filesystem::create_directories(folder);
        std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        written += size;
    }
    std::printf("bytes %llu files %d\n", static_cast<unsigned long long>(written), kFiles);
    return 0;
}

}  // namespace bench
