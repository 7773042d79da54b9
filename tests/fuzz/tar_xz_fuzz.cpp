// libFuzzer target for the tar.xz extractor. The first byte of an input chooses how the rest is fed:
//   0  raw tar bytes to the tar reader, in runs of varying length (as decoded buffers arrive);
//   1  tar bytes wrapped in an xz stream here, through the whole ExtractTarXz;
//   2  the bytes as an xz file, as they come.
// Every run writes below a scratch folder; anything that appears beside the destination, or a file that
// is a link, is a finding. The seeds are real archives: scripts/test.d/30-fuzz makes them with tar.
#include <lzma.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "build/entry_map.h"
#include "platform/file_ops.h"
#include "platform/tar_xz.h"

namespace {

namespace fs = std::filesystem;
using namespace launcher;

fs::path scratch;  // holds "out" (the destination) and "in.tar.xz"; nothing else may appear in it

void RemoveScratch() {
    std::string err;
    if (!scratch.empty()) RemoveTree(scratch, err);
}

// Only ever "out" (and the archive) beside the destination, and never a link below it.
void CheckScratch() {
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch, ec)) {
        const std::string name = entry.path().filename().string();
        if (name != "out" && name != "in.tar.xz") {
            std::fprintf(stderr, "written outside the destination: %s\n", name.c_str());
            std::abort();
        }
    }
    for (auto it = fs::recursive_directory_iterator(scratch / "out", ec); !ec && it != fs::end(it); it.increment(ec)) {
        if (IsLink(it->path())) {
            std::fprintf(stderr, "a link was made: %s\n", it->path().c_str());
            std::abort();
        }
    }
}

// Half the runs go through the mapping a tool uses (one folder stripped, a keep list), half keep names.
EntryMapper Mapper(uint8_t selector) {
    static Tool tool = [] {
        Tool t;
        t.kind = "tar.xz";
        t.strip = 1;
        t.keep = {"bin/*.exe", "lib/", "a*b"};
        return t;
    }();
    if (selector & 0x80) return [](const std::string& name) { return MapArchiveEntry(tool, name); };
    return {};
}

bool WriteArchive(const uint8_t* data, size_t size) {
    std::ofstream out(scratch / "in.tar.xz", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::error_code ec;
    fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    scratch = base / ("tar_xz_fuzz-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    std::atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0] & 0x7F;
    const EntryMapper map = Mapper(data[0]);
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    const fs::path out = scratch / "out";
    std::string err;

    if (mode == 0) {
        TarState state;
        state.destination = out;
        state.mapper = map;
        // Runs of 1 to 4096 bytes, the length taken from the bytes themselves.
        size_t at = 0;
        while (at < length) {
            const size_t run = std::min<size_t>(length - at, 1 + (body[at] * 17u) % 4096);
            if (!TarFeed(state, body + at, run, err)) break;
            at += run;
        }
    } else if (mode == 1) {
        std::vector<uint8_t> xz(lzma_stream_buffer_bound(length));
        size_t xzSize = 0;
        if (lzma_easy_buffer_encode(0, LZMA_CHECK_CRC32, nullptr, body, length, xz.data(), &xzSize, xz.size()) !=
            LZMA_OK) {
            std::abort();
        }
        if (!WriteArchive(xz.data(), xzSize)) std::abort();
        if (!ExtractTarXz(scratch / "in.tar.xz", out, map, {}, nullptr, err) && err.empty()) std::abort();
    } else if (mode == 2) {
        if (!WriteArchive(body, length)) std::abort();
        if (!ExtractTarXz(scratch / "in.tar.xz", out, map, {}, nullptr, err) && err.empty()) std::abort();
    } else {
        return 0;
    }
    CheckScratch();
    std::string removeErr;
    RemoveTree(out, removeErr);
    return 0;
}
