// Tar.xz extraction throughput.
//   tar_bench --make DIR        writes a 1 GiB tree of a few thousand files to archive (text-like and
//                               random content, in nested folders)
//   tar_bench ARCHIVE DEST      extracts ARCHIVE into DEST with ExtractTarXz and prints
//                               "bytes N seconds S peak P" (N: compressed bytes read; P: the process's
//                               peak resident memory in bytes, 0 where it is not known)
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_tree.h"
#include "platform/tar_xz.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make") == 0) return bench::MakeTree(argv[2], 0x2545f4914f6cdd1dull, true);
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
    unsigned long long peak = 0;
#ifndef _WIN32
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) peak = static_cast<unsigned long long>(usage.ru_maxrss) * 1024;
#endif
    std::printf("bytes %llu seconds %.3f peak %llu\n", static_cast<unsigned long long>(bytes), seconds, peak);
    return 0;
}
