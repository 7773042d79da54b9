#pragma once

// What the fuzzers here share: "--write-seeds DIR" writes a fuzzer's seed inputs and exits instead of
// fuzzing.

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fuzz {

// Writes each seed as DIR/seed-N; 0 once every one is written.
inline int WriteSeedFiles(const std::filesystem::path& dir, const std::vector<std::string>& seeds) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    int n = 0;
    for (const std::string& seed : seeds) {
        std::ofstream out(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
        out << seed;
        if (!out) return 1;
    }
    return 0;
}

// First thing in LLVMFuzzerInitialize: with "--write-seeds DIR", `write(DIR)` runs and its result ends
// the program.
template <class Write>
void WriteSeedsIfAsked(int argc, char** argv, Write write) {
    if (argc >= 3 && std::strcmp(argv[1], "--write-seeds") == 0) std::exit(write(argv[2]));
}

}  // namespace fuzz
