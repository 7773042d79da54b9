// Download (with its SHA-256 check) against `curl -o` plus `sha256sum`, both fetching one large file from
// the loopback test server, and the cost of resuming a download from 90 %.
//
//   download_bench FILE [--repeat N]
//
// Prints one line per measurement; MB = 10^6 bytes. The output files go beside FILE.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/sha.h"
#include "platform/transfer.h"
#include "support/http_server.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string Capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

bool CopyPrefix(const fs::path& from, const fs::path& to, uint64_t bytes) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    std::vector<char> buf(1 << 20);
    while (bytes > 0 && in) {
        const uint64_t n = bytes < buf.size() ? bytes : buf.size();
        in.read(buf.data(), static_cast<std::streamsize>(n));
        out.write(buf.data(), in.gcount());
        bytes -= static_cast<uint64_t>(in.gcount());
    }
    return bytes == 0 && static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: download_bench FILE [--repeat N]\n";
        return 2;
    }
    const fs::path source = fs::absolute(argv[1]);
    int repeat = 3;
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--repeat") repeat = std::atoi(argv[i + 1]);
    }
    std::error_code ec;
    const uint64_t size = fs::file_size(source, ec);
    if (ec || size == 0) {
        std::cerr << "download_bench: cannot read " << source << "\n";
        return 1;
    }
    const std::string digest = launcher::Sha256File(source);

    launcher::test::HttpServer server;
    if (!server.ok()) {
        std::cerr << "download_bench: the loopback server did not start\n";
        return 1;
    }
    launcher::test::Route route;
    route.file = source;
    server.Serve("/big.bin", route);
    const std::string url = server.Url("/big.bin");

    const fs::path work = source.parent_path() / "download-bench";
    fs::remove_all(work, ec);
    fs::create_directories(work);
    const fs::path ours = work / "ours.bin";
    const fs::path theirs = work / "curl.bin";
    std::unique_ptr<launcher::Http> http = launcher::MakeHttp();

    double bestOurs = 1e30, bestCurl = 1e30, bestResume = 1e30, bestPlain = 1e30, bestCurlOnly = 1e30;
    int status = 0;
    for (int run = 0; run < repeat; ++run) {
        // Ours: transfer, write, then the digest check over the finished file, then the rename.
        fs::remove(ours, ec);
        std::string err;
        auto t0 = Clock::now();
        const bool ok = launcher::Download(*http, url, ours, digest, size, nullptr, nullptr, err);
        auto t1 = Clock::now();
        if (!ok) {
            std::cerr << "download_bench: Download failed: " << err << "\n";
            return 1;
        }
        bestOurs = std::min(bestOurs, Seconds(t0, t1));
        fs::remove(ours, ec);

        // The parts on their own: the transfer without a digest to check, and curl without sha256sum.
        t0 = Clock::now();
        const bool plain = launcher::Download(*http, url, ours, "", size, nullptr, nullptr, err);
        t1 = Clock::now();
        if (!plain) status = 1;
        bestPlain = std::min(bestPlain, Seconds(t0, t1));
        fs::remove(ours, ec);
        t0 = Clock::now();
        if (std::system(("curl -s -o '" + theirs.string() + "' '" + url + "'").c_str()) != 0) status = 1;
        t1 = Clock::now();
        bestCurlOnly = std::min(bestCurlOnly, Seconds(t0, t1));
        fs::remove(theirs, ec);

        // curl writes the file, sha256sum reads it back.
        fs::remove(theirs, ec);
        t0 = Clock::now();
        const std::string sum =
            Capture("curl -s -o '" + theirs.string() + "' '" + url + "' && sha256sum '" + theirs.string() + "'");
        t1 = Clock::now();
        if (sum.substr(0, 64) != digest) {
            std::cerr << "download_bench: curl + sha256sum gave '" << sum << "', expected " << digest << "\n";
            status = 1;
        }
        bestCurl = std::min(bestCurl, Seconds(t0, t1));
        fs::remove(theirs, ec);

        // Resume: 90 % already on disk in the partial file.
        fs::path part = ours;
        part += ".part";
        if (!CopyPrefix(source, part, size / 10 * 9)) {
            std::cerr << "download_bench: cannot write " << part << "\n";
            return 1;
        }
        server.ClearRequests();
        t0 = Clock::now();
        const bool resumed = launcher::Download(*http, url, ours, digest, size, nullptr, nullptr, err);
        t1 = Clock::now();
        const auto seen = server.Requests("/big.bin");
        if (!resumed || seen.size() != 1 || seen[0].range != "bytes=" + std::to_string(size / 10 * 9) + "-") {
            std::cerr << "download_bench: the resume did not go as expected: " << err << "\n";
            status = 1;
        }
        bestResume = std::min(bestResume, Seconds(t0, t1));
        fs::remove(ours, ec);
    }
    fs::remove_all(work, ec);

    const double mb = static_cast<double>(size) / 1e6;
    std::printf("file %.0f MB from 127.0.0.1, best of %d, SHA-256 %s\n", mb, repeat,
                launcher::ShaHardwareActive() ? "on the SHA extensions" : "portable");
    std::printf("Download incl. SHA-256 check   %7.3f s  %8.1f MB/s\n", bestOurs, mb / bestOurs);
    std::printf("curl -o + sha256sum            %7.3f s  %8.1f MB/s\n", bestCurl, mb / bestCurl);
    std::printf("  of which: Download without digest %7.3f s  %8.1f MB/s;  curl -o alone %7.3f s  %8.1f MB/s\n",
                bestPlain, mb / bestPlain, bestCurlOnly, mb / bestCurlOnly);
    std::printf("ratio Download / curl+sha256sum  %.2f\n", bestCurl / bestOurs);
    std::printf("resume from 90 %%               %7.3f s  (%.0f %% of a full Download: the last 10 %% plus the "
                "check over the whole file)\n",
                bestResume, 100.0 * bestResume / bestOurs);
    std::printf("target Download at least as fast as curl + sha256sum: %s\n",
                bestOurs <= bestCurl ? "met" : "NOT met");
    return status;
}
