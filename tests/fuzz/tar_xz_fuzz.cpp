// libFuzzer target for the tar.xz extractor. The first byte of an input chooses how the rest is fed (its
// low six bits) and whether names are mapped as a tool install maps them (0x80):
//   0  raw tar bytes straight to the tar reader (no decoder, no thread), in runs of varying length (as
//      decoded buffers arrive), then the end of the data; with 0x40 set, every 512-byte block that is not
//      all zero first gets the checksum it would need as a header, so that mutated headers get past the
//      check and into the reader (without it, the check itself is what most mutations meet);
//   1  tar bytes wrapped here in xz (stored, with the smallest dictionary), as one stream or (0x40 set)
//      cut into two at a place the last byte picks, through the whole ExtractTarXz;
//   2  the bytes as an xz file, as they come.
// Every run writes below a scratch folder; anything that appears beside the destination, a file that is
// a link, or a temporary file left behind is a finding. The seeds are real archives: scripts/test.d/30-fuzz
// makes them with tar, and its xz files with small dictionaries, so that a run costs little memory.
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

// Only ever "out" (and the archive) beside the destination, never a link below it, and no temporary file
// of the extraction left.
void CheckScratch() {
    static const std::string temporaryStart = ".unpack-" + std::to_string(::getpid()) + "-";
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
        // The extractor's temporary names: ".unpack-<process>-<number>.tmp" (an archive may hold ".unpack-x").
        const std::string file = it->path().filename().string();
        if (file.rfind(temporaryStart, 0) == 0 && file.size() > 4 && file.compare(file.size() - 4, 4, ".tmp") == 0) {
            std::fprintf(stderr, "a temporary file was left: %s\n", it->path().c_str());
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

// Writes into each block the header checksum that its bytes call for.
void SealBlocks(std::vector<uint8_t>& tar) {
    for (size_t at = 0; at + 512 <= tar.size(); at += 512) {
        uint8_t* block = tar.data() + at;
        unsigned sum = 0;
        bool zero = true;
        for (size_t i = 0; i < 512; ++i) {
            zero = zero && block[i] == 0;
            sum += i >= 148 && i < 156 ? ' ' : block[i];
        }
        if (zero) continue;
        std::snprintf(reinterpret_cast<char*>(block + 148), 8, "%06o", sum);
        block[155] = ' ';
    }
}

bool WriteArchive(const uint8_t* data, size_t size) {
    std::ofstream out(scratch / "in.tar.xz", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

// Appends `data` as one xz stream that holds it in LZMA2's stored chunks: nothing for the encoder to
// search, and the smallest dictionary (4 KiB) for the decoder.
void AppendXz(const uint8_t* data, size_t size, std::vector<uint8_t>& xz) {
    lzma_stream_flags flags{};
    flags.check = LZMA_CHECK_CRC32;
    lzma_block block{};
    block.check = flags.check;
    size_t at = xz.size();
    xz.resize(at + LZMA_STREAM_HEADER_SIZE + lzma_block_buffer_bound(size) + 64 + LZMA_STREAM_HEADER_SIZE);
    lzma_index* index = lzma_index_init(nullptr);
    bool ok = index && lzma_stream_header_encode(&flags, xz.data() + at) == LZMA_OK;
    at += LZMA_STREAM_HEADER_SIZE;
    ok = ok && lzma_block_uncomp_encode(&block, data, size, xz.data(), &at, xz.size()) == LZMA_OK &&
         lzma_index_append(index, nullptr, lzma_block_unpadded_size(&block), block.uncompressed_size) == LZMA_OK &&
         lzma_index_buffer_encode(index, xz.data(), &at, xz.size()) == LZMA_OK;
    if (ok) {
        flags.backward_size = lzma_index_size(index);
        ok = lzma_stream_footer_encode(&flags, xz.data() + at) == LZMA_OK;
        at += LZMA_STREAM_HEADER_SIZE;
    }
    lzma_index_end(index, nullptr);
    if (!ok) std::abort();
    xz.resize(at);
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
    const uint8_t mode = data[0] & 0x3F;
    const EntryMapper map = Mapper(data[0]);
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    const fs::path out = scratch / "out";
    std::string err;

    if (mode == 0) {
        std::vector<uint8_t> sealed;
        if (data[0] & 0x40) {
            sealed.assign(body, body + length);
            SealBlocks(sealed);
            body = sealed.data();
        }
        TarState state;
        state.destination = out;
        state.mapper = map;
        // Runs of 1 to 4096 bytes, the length taken from the bytes themselves.
        size_t at = 0;
        bool fed = true;
        while (at < length && fed) {
            const size_t run = std::min<size_t>(length - at, 1 + (body[at] * 17u) % 4096);
            fed = TarFeed(state, body + at, run, err);
            if (!fed && err.empty()) std::abort();
            at += run;
        }
        if (fed && !TarEnd(state, err) && err.empty()) std::abort();
    } else if (mode == 1) {
        std::vector<uint8_t> xz;
        const size_t cut = (data[0] & 0x40) && length > 0 ? length * body[length - 1] / 256 : length;
        AppendXz(body, cut, xz);
        if (cut < length) AppendXz(body + cut, length - cut, xz);
        if (!WriteArchive(xz.data(), xz.size())) std::abort();
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
