#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "platform/platform.h"

namespace launcher {

// Unpacks the tar archive inside the xz file `archive` into `dir` (created as needed), streaming: the
// file is read in 1 MiB chunks and decoded on a thread of its own (on all cores for a file of several
// blocks) a few buffers ahead of the tar reader, which writes the files on the calling thread, where `map`
// and `progress` are called too. `map` decides each entry's relative path ("" skips it; empty keeps every
// name). Hard and symbolic links become copies of files written before them; no link is ever made.
// Progress is compressed bytes read against the file's size, after every read. A set `stop` ends the run
// with "cancelled" before the next decoding step or buffer. True when the xz stream ended; on failure
// `err` holds one lower-case phrase and what was written stays.
bool ExtractTarXz(const std::filesystem::path& archive, const std::filesystem::path& dir, const EntryMapper& map,
                  const ProgressSink& progress, const std::atomic<bool>* stop, std::string& err);

// Lexical normalisation of a '/'-separated path: no empty or "." components, ".." removes the component
// before it (and is dropped at the start), no leading or trailing '/'.
std::string NormalizeEntryPath(const std::string& path);

// The tar reader of ExtractTarXz: fed the decoded bytes in runs of any size, one 512-byte block after
// another. A plain record; TarFeed and TarFinishEntry work on it.
struct TarState {
    std::filesystem::path destination;
    EntryMapper mapper;
    unsigned char header[512] = {};
    uint64_t headerFill = 0;
    bool inEntry = false;
    bool keepData = false;  // the entry's data goes to `output` or, for metadata, to `metadataBuffer`
    bool metadata = false;
    char typeFlag = 0;
    uint64_t remaining = 0;  // data bytes of the entry still to come
    uint64_t padding = 0;    // after the entry's data, up to the next 512-byte boundary
    uint64_t paddingLeft = 0;
    std::ofstream output;
    std::filesystem::path outputPath;
    uint32_t mode = 0;  // the open file's permission bits
    std::string mappedName;
    std::string metadataBuffer;
    std::string pendingLongName;  // GNU 'L', for the next header
    std::string pendingLongLink;  // GNU 'K' or pax "linkpath=", for the next header
    std::string pendingPaxPath;   // pax "path=", for the next header
    bool hasPendingPaxSize = false;
    uint64_t pendingPaxSize = 0;  // pax "size=", for the next header
    // Archive name (after long-name substitution, before mapping; normalised, so that "./a" and "a" are
    // one member) of every file written, to its mapped relative path: where link entries copy from.
    std::map<std::string, std::string> written;
    // Folders under `destination` already found to be no link.
    std::set<std::filesystem::path> plainFolders;
};

// Parses `n` more bytes of the tar stream; false with `err` set when the archive cannot be unpacked.
bool TarFeed(TarState& state, const unsigned char* data, size_t n, std::string& err);

// Ends the current entry: closes its file, or applies the metadata it carried. False with `err` set when
// the file's data could not all be written.
bool TarFinishEntry(TarState& state, std::string& err);

}  // namespace launcher
