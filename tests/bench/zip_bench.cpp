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

#include "bench/bench_tree.h"
#include "platform/zip.h"

namespace {

using launcher::ExtractZip;

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make") == 0) return bench::MakeTree(argv[2], 0x9e3779b97f4a7c15ull, false);
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
