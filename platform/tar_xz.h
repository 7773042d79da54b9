#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_copy.h"
#include "platform/platform.h"
#include "platform/zip.h"

namespace launcher {

// Unpacks the tar archive inside the xz file `archive` into `dir` (created as needed), streaming: the
// file is read in 1 MiB chunks and decoded on a thread of its own (on all cores for a file of several
// blocks) a few buffers ahead of the tar reader, which writes the files on the calling thread, where `map`
// and `progress` are called too. `map` decides each entry's relative path ("" skips it; empty keeps every
// name). Hard and symbolic links become copies of the files they name (a link to a folder, of the files
// below it), whatever their order in the archive; no link is ever made. Files are written through an
// UnpackTree: relative to the folders of their way, opened without following links, and new where nothing
// stands at their place, else renamed over it; a link on the way fails the run. Each header's checksum is
// checked. Concatenated xz streams are read one after the other. Progress is compressed
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
    UnpackTree output;  // where the files go (rooted at `destination` when the first one is written)
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
    uint64_t zeroBlocks = 0;     // zero blocks read since the last header; two end the archive
    uint64_t offset = 0;         // bytes of tar data read, for messages
    // Archive name (after long-name substitution, before mapping; normalised, so that "./a" and "a" are
    // one member) of every file written, to its mapped relative path: where link entries copy from.
    std::map<std::string, std::string> written;
    // Every member's normalised name, skipped ones included: a hard link to none of these fails the run.
    std::set<std::string> seen;
    // Links to what was not written yet (later in the archive, or a folder), made at the end, in order.
    struct PendingLink {
        std::string name;    // normalised, as `written` holds it
        std::string mapped;  // where its copy goes
        std::string target;  // the member it names, normalised
        bool hard = false;
        bool made = false;   // a link to a file, copied
    };
    std::vector<PendingLink> pending;
};

// Parses `n` more bytes of the tar stream; false with `err` set when the archive cannot be unpacked.
bool TarFeed(TarState& state, const unsigned char* data, size_t n, std::string& err);

// Ends the current entry: puts its file in place, or applies the metadata it carried. False with `err`
// set when the file's data could not all be written.
bool TarFinishEntry(TarState& state, std::string& err);

// At the end of the tar data: false with `err` set when it ends inside an entry's data or its last block,
// inside a header, or between a long name or pax header and its entry. Ending on a block boundary without
// the two zero blocks that close an archive is accepted, as tar accepts it. Then makes the links to what
// came after them (false on a hard link to a member the archive does not hold) and lets go of the
// destination's folders (false when one was moved or swapped meanwhile).
bool TarEnd(TarState& state, std::string& err);

}  // namespace launcher
