// The size and the removal of a build tree (many small files in many folders, a few levels deep, as
// the tools and the build files are) against `du -sb` and `rm -rf` on the same tree, in one run: they
// take turns, and the best time of each is compared.
//   tree_bench [--files N] [--rounds N] FOLDER
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/file_ops.h"
#include "platform/paths.h"

namespace fs = std::filesystem;
using namespace launcher;

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Quote(const fs::path& path) {
    std::string text = PathUtf8(path), quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// `files` files of 1 to 4 KiB, 20 to a folder, the folders nested up to six deep like a build tree's.
// Returns the bytes written, 0 on failure.
uint64_t MakeTree(const fs::path& top, int files) {
    uint64_t total = 0;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    const std::string block(4096, 'x');
    for (int i = 0; i < files; ++i) {
        const int folder = i / 20;
        fs::path dir = top;
        for (int level = folder; level > 0; level /= 6) dir /= "d" + std::to_string(level % 6);
        dir /= "f" + std::to_string(folder);
        if (i % 20 == 0) fs::create_directories(dir);
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const size_t size = 1024 + state % 3072;
        std::ofstream out(dir / ("file" + std::to_string(i) + ".o"), std::ios::binary);
        out.write(block.data(), static_cast<std::streamsize>(size));
        if (!out) return 0;
        total += size;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 60000;
    int rounds = 3;
    fs::path folder;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc) {
            files = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            folder = arg;
        }
    }
    if (folder.empty()) {
        std::fprintf(stderr, "usage: tree_bench [--files N] [--rounds N] FOLDER\n");
        return 2;
    }
    const fs::path work = folder / "tree-bench";
    std::string err;
    RemoveTree(work, err);
    const fs::path tree = work / "tree";
    double duBest = 0, sizeBest = 0, rmBest = 0, removeBest = 0;
    for (int round = 0; round < rounds; ++round) {
        // Each removal gets a fresh tree; the sizes are measured on the tree the removal then takes.
        const uint64_t bytes = MakeTree(tree, files);
        if (bytes == 0) {
            std::fprintf(stderr, "tree_bench: cannot write %s\n", PathUtf8(tree).c_str());
            return 1;
        }
        std::system("sync");
        auto start = std::chrono::steady_clock::now();
        const int duRc = std::system(("du -sb " + Quote(tree) + " > /dev/null").c_str());
        const double du = Seconds(start);
        start = std::chrono::steady_clock::now();
        uint64_t counted = 0;
        const bool whole = TreeSize(tree, counted, err);
        const double size = Seconds(start);
        if (duRc != 0 || !whole || counted != bytes) {
            std::fprintf(stderr, "tree_bench: the sizes went wrong (%s)\n", err.c_str());
            return 1;
        }
        const bool ours = round % 2 == 0;  // the removals take turns at going first
        double rm = 0, remove = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if (turn == 1 && MakeTree(tree, files) == 0) return 1;
            if (turn == 1) std::system("sync");
            start = std::chrono::steady_clock::now();
            if ((turn == 0) == ours) {
                if (!RemoveTree(tree, err)) {
                    std::fprintf(stderr, "tree_bench: the removal failed: %s\n", err.c_str());
                    return 1;
                }
                remove = Seconds(start);
            } else {
                if (std::system(("rm -rf " + Quote(tree)).c_str()) != 0) return 1;
                rm = Seconds(start);
            }
        }
        std::printf("round %d: du %.3f s, TreeSize %.3f s, rm -rf %.3f s, RemoveTree %.3f s\n", round + 1, du, size,
                    rm, remove);
        if (round == 0 || du < duBest) duBest = du;
        if (round == 0 || size < sizeBest) sizeBest = size;
        if (round == 0 || rm < rmBest) rmBest = rm;
        if (round == 0 || remove < removeBest) removeBest = remove;
    }
    std::printf("tree: %d files of 1 to 4 KiB in %d folders, page cache warm, best of %d\n", files, (files + 19) / 20,
                rounds);
    std::printf("du -sb      %7.3f s\nTreeSize    %7.3f s   ratio %.2f\n", duBest, sizeBest, sizeBest / duBest);
    std::printf("rm -rf      %7.3f s\nRemoveTree  %7.3f s   ratio %.2f\n", rmBest, removeBest, removeBest / rmBest);
    RemoveTree(work, err);
    return 0;
}
