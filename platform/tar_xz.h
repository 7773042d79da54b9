#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "platform/file_copy.h"
#include "platform/platform.h"
#include "platform/zip.h"

namespace launcher {

// Unpacks the tar archive inside the xz file `archive` into `dir` (created as needed), streaming: the
// file is read in 1 MiB chunks and decoded on a thread of its own (on all cores for a file of several
// blocks) a few buffers ahead of the tar reader, which writes the files on the calling thread, where `map`
// and `progress` are called too. `map` decides each entry's relative path ("" skips it; empty keeps every
// name). Hard and symbolic links become copies of files written before them; no link is ever made. Each
// file is written under a temporary name beside its place and renamed over whatever stands there; a link
// on the way fails the run. Concatenated xz streams are read one after the other. Progress is compressed
// bytes read against the file's size, after every read. A set `stop` ends the run with "cancelled" before
// the next decoding step or buffer. True when the last xz stream ended with the tar data whole (TarEnd);
// on failure `err` holds one lower-case phrase, what was written stays and no temporary file is left.
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
    StagedFile output;  // the regular file being written
    uint32_t mode = 0;  // its permission bits
    std::string entryName;  // the current entry's name in the archive, for messages
    uint64_t entrySize = 0;
    std::string mappedName;
    std::string metadataBuffer;
    std::string pendingLongName;  // GNU 'L', for the next header
    std::string pendingLongLink;  // GNU 'K' or pax "linkpath=", for the next header
    std::string pendingPaxPath;   // pax "path=", for the next header
    bool hasPendingPaxSize = false;
    uint64_t pendingPaxSize = 0;  // pax "size=", for the next header
    bool pendingSparse = false;   // pax "GNU.sparse.*" records: the next entry is a sparse file
    std::string pendingSparseName;  // pax "GNU.sparse.name=", that file's real name
    bool awaitingEntry = false;  // a long name or pax header has been read, its entry's header not yet
    uint64_t zeroBlocks = 0;     // zero blocks read since the last header
    // Archive name (after long-name substitution, before mapping; normalised, so that "./a" and "a" are
    // one member) of every file written, to its mapped relative path: where link entries copy from.
    std::map<std::string, std::string> written;
    // Folders under `destination` already found to be no link.
    PlainFolders plainFolders;
};

// Parses `n` more bytes of the tar stream; false with `err` set when the archive cannot be unpacked.
bool TarFeed(TarState& state, const unsigned char* data, size_t n, std::string& err);

// Ends the current entry: puts its file in place, or applies the metadata it carried. False with `err`
// set when the file's data could not all be written.
bool TarFinishEntry(TarState& state, std::string& err);

// At the end of the tar data: false with `err` set when it ends inside an entry's data or its last block,
// inside a header, or between a long name or pax header and its entry. Ending on a block boundary without
// the two zero blocks that close an archive is accepted, as tar accepts it.
bool TarEnd(const TarState& state, std::string& err);

}  // namespace launcher
