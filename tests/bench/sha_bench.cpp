// Hashing throughput over one file: Sha256File, and SHA-1 with the same 1 MiB reads.
//
//   sha_bench [--portable] [--repeat N] FILE
//
// Prints one line per digest:  <algorithm> <path> <MB/s> MB/s <seconds> s <digest>
// (MB = 10^6 bytes; the best of N runs).

#include "platform/sha.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

namespace {

std::string Sha1File(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    constexpr size_t kBufferSize = 1 << 20;
    const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    launcher::Sha1 s;
    launcher::Init(s);
    while (in) {
        in.read(buffer.get(), static_cast<std::streamsize>(kBufferSize));
        if (in.gcount() > 0) launcher::Update(s, buffer.get(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) return {};
    return launcher::FinalHex(s);
}

template <typename Fn>
bool Measure(const char* name, const char* path, uintmax_t size, int repeat, Fn hash) {
    double best = 0;
    std::string digest;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        digest = hash();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (i == 0 || seconds < best) best = seconds;
    }
    if (digest.empty()) {
        std::fprintf(stderr, "sha_bench: cannot read %s\n", path);
        return false;
    }
    const char* mode = launcher::ShaHardwareActive() ? "hardware" : "portable";
    std::printf("%s %s %.1f MB/s %.3f s %s\n", name, mode, best > 0 ? double(size) / best / 1e6 : 0.0, best,
                digest.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool portable = false;
    int repeat = 3;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--portable") == 0) {
            portable = true;
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::atoi(argv[++i]);
        } else {
            file = argv[i];
        }
    }
    if (file == nullptr || repeat < 1) {
        std::fprintf(stderr, "usage: sha_bench [--portable] [--repeat N] FILE\n");
        return 2;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec) {
        std::fprintf(stderr, "sha_bench: %s: %s\n", file, ec.message().c_str());
        return 1;
    }
    std::printf("cpu-sha-extensions %s\n", launcher::ShaHardwareAvailable() ? "yes" : "no");
    launcher::ForcePortableSha(portable);
    const std::filesystem::path path(file);
    bool ok = Measure("sha256", file, size, repeat, [&] { return launcher::Sha256File(path); });
    ok = Measure("sha1", file, size, repeat, [&] { return Sha1File(path); }) && ok;
    return ok ? 0 : 1;
}
