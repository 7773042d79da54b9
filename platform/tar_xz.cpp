#include "platform/tar_xz.h"

#include <lzma.h>
#ifndef _WIN32
#include <sys/mman.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr size_t kInputChunk = size_t{1} << 20;
constexpr size_t kOutputBuffer = size_t{4} << 20;
// Decoding runs on its own thread, up to this many buffers ahead of the tar reader and its writes.
constexpr int kOutputBuffers = 3;
// Dictionaries up to 1 GiB are accepted; the rest is the decoder's own bookkeeping, far below the next
// dictionary size an xz file can ask for (1.5 GiB).
constexpr uint64_t kMemoryLimit = (uint64_t{1} << 30) + (uint64_t{64} << 20);
// The threaded decoder holds each block it works on whole, compressed and decoded: for blocks as `xz -T`
// makes them (three dictionaries) that is a few dozen MiB a thread. Past this it takes fewer threads,
// and a file of blocks too large for even one falls back to decoding in place, in a dictionary's memory.
constexpr uint64_t kThreadingLimit = uint64_t{224} << 20;
// Long names, long link names and pax headers are held in memory whole; real ones are a few KiB.
constexpr uint64_t kMetadataLimit = uint64_t{1} << 20;
constexpr uint64_t kUnknownSize = ~uint64_t{0};
// Rounds of making links to links at the end: a chain this long in reverse order still comes out whole.
constexpr size_t kLinkRounds = 64;

// A text field: up to its first NUL or its end.
std::string Field(const unsigned char* header, size_t offset, size_t length) {
    const char* start = reinterpret_cast<const char*>(header + offset);
    const void* nul = std::memchr(start, 0, length);
    return std::string(start, nul ? static_cast<const char*>(nul) - start : static_cast<ptrdiff_t>(length));
}

// Octal digits up to the first NUL; anything else (blanks) is passed over.
uint64_t Octal(const unsigned char* field, size_t length) {
    uint64_t value = 0;
    for (size_t i = 0; i < length && field[i] != 0; ++i) {
        if (field[i] >= '0' && field[i] <= '7') value = value * 8 + (field[i] - '0');
    }
    return value;
}

uint64_t EntrySize(const unsigned char* header) {
    const unsigned char* field = header + 124;
    if (field[0] & 0x80) {  // base-256: the low 8 bytes
        uint64_t value = 0;
        for (int i = 4; i < 12; ++i) value = (value << 8) | field[i];
        return value;
    }
    if (field[0] == 0) return 0;
    return Octal(field, 12);
}

// The header's checksum field against the sum of its bytes, the field itself counted as blanks: the
// unsigned sum as POSIX defines it, or the signed one that old tars wrote.
bool ChecksumHolds(const unsigned char* header) {
    uint64_t unsignedSum = 0;
    int64_t signedSum = 0;
    for (size_t i = 0; i < 512; ++i) {
        const unsigned char byte = i >= 148 && i < 156 ? ' ' : header[i];
        unsignedSum += byte;
        signedSum += static_cast<signed char>(byte);
    }
    const uint64_t stored = Octal(header + 148, 8);
    return stored == unsignedSum || static_cast<int64_t>(stored) == signedSum;
}

bool IsMetadata(char type) {
    return type == 'L' || type == 'K' || type == 'x' || type == 'g';
}

bool AllZero(const unsigned char* block) {
    for (size_t i = 0; i < 512; ++i) {
        if (block[i] != 0) return false;
    }
    return true;
}

// A name the extractor may write: the shared path rule, and no NUL (the system would cut the name there).
bool WritableName(const std::string& mapped) {
    return mapped.find('\0') == std::string::npos && IsSafeEntryPath(mapped);
}

// "cannot write " + the place of `mapped` + the reason.
std::string CannotWrite(const TarState& state, const std::string& mapped, const std::string& why) {
    return "cannot write " + PathUtf8(JoinEntryPath(state.destination, mapped)) + ": " + why;
}

// Starts the regular file of the current entry, the member `member` (normalised); false with `err` set
// when it cannot be written.
bool OpenOutput(TarState& state, const std::string& member, std::string& err) {
    if (state.output.Root().empty()) state.output.SetRoot(state.destination);
    std::string why;
    if (!state.output.Open(state.mappedName, why)) {
        err = CannotWrite(state, state.mappedName, why);
        return false;
    }
    state.mode = static_cast<uint32_t>(Octal(state.header + 100, 8));
    state.keepData = true;
    state.written[member] = state.mappedName;
    return true;
}

// Writes the member `name` at `mapped` as a copy of the written member `source`; a copy that cannot be
// written fails the run, as the file itself would.
bool CopyMember(TarState& state, const std::string& name, const std::string& mapped, const std::string& source,
                std::string& err) {
    if (state.output.Root().empty()) state.output.SetRoot(state.destination);
    std::string why;
    if (!state.output.OpenCopy(source, mapped, why) || !state.output.Commit(0, why)) {
        err = CannotWrite(state, mapped, why);
        return false;
    }
    state.written[name] = mapped;
    return true;
}

// Makes a pending link when what it names has been written: a copy of the file, or of every file written
// below the folder, under the link's own name (ones copied before are passed over, so a folder link
// takes what came below its folder since). Sets `copied` when something was written.
bool MakeLink(TarState& state, TarState::PendingLink& link, bool& copied, std::string& err) {
    if (link.made) return true;
    auto file = state.written.find(link.target);
    if (file != state.written.end()) {
        copied = true;
        link.made = true;
        return CopyMember(state, link.name, link.mapped, file->second, err);
    }
    const std::string folder = link.target.empty() ? "" : link.target + "/";
    const std::string own = link.name + "/";
    std::vector<std::pair<std::string, std::string>> below;  // copied first: the copies go into `written`
    for (auto it = state.written.lower_bound(folder); it != state.written.end(); ++it) {
        if (it->first.compare(0, folder.size(), folder) != 0) break;
        // A link into its own folder would copy its copies without end.
        if (it->first.compare(0, own.size(), own) == 0) continue;
        const std::string rest = it->first.substr(folder.size());
        if (!state.written.count(own + rest)) below.emplace_back(own + rest, it->second);
    }
    for (const auto& [name, source] : below) {
        const std::string rest = name.substr(own.size());
        copied = true;
        if (!CopyMember(state, name, link.mapped + "/" + rest, source, err)) return false;
    }
    return true;
}

// The link entry `member` (normalised) becomes a copy of the file or folder it names once that has been
// written: at once when it already has (a file), else when the archive has been read.
bool AddLink(TarState& state, const std::string& member, const std::string& target, bool hard, std::string& err) {
    TarState::PendingLink link{member, state.mappedName, target, hard, false};
    if (state.written.count(target)) {
        bool copied = false;
        return MakeLink(state, link, copied, err);
    }
    state.pending.push_back(std::move(link));
    return true;
}

// The archive member a link names, normalised as `written` holds them; "" when the path leads outside
// the archive: an absolute one, or one that climbs above the archive's top.
std::string MemberNamed(const std::string& path) {
    if (path.empty() || path[0] == '/') return "";
    int depth = 0;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..") {
            if (--depth < 0) return "";
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return NormalizeEntryPath(path);
}

// A symbolic link's target is relative to the link's own folder.
std::string SymlinkTarget(const std::string& name, const std::string& link) {
    if (link.empty() || link[0] == '/') return "";
    const size_t slash = name.rfind('/');
    return MemberNamed((slash == std::string::npos ? "" : name.substr(0, slash + 1)) + link);
}

void ReadPaxRecords(TarState& state) {
    const std::string& buffer = state.metadataBuffer;
    size_t p = 0;
    while (p < buffer.size()) {
        const size_t blank = buffer.find(' ', p);
        if (blank == std::string::npos) return;
        uint64_t length = 0;
        for (size_t i = p; i < blank && buffer[i] >= '0' && buffer[i] <= '9'; ++i) {
            if (length > buffer.size()) break;  // far past the end already; no overflow
            length = length * 10 + static_cast<uint64_t>(buffer[i] - '0');
        }
        if (length == 0 || length > buffer.size() - p) return;
        const size_t end = p + static_cast<size_t>(length);
        // The record is "<length> <key>=<value>\n"; a length that ends before its own blank is damage.
        if (end < blank + 2) return;
        const std::string record = buffer.substr(blank + 1, end - 1 - (blank + 1));
        if (record.rfind("path=", 0) == 0) {
            state.pendingPaxPath = record.substr(5);
        } else if (record.rfind("linkpath=", 0) == 0) {
            state.pendingLongLink = record.substr(9);
        } else if (record.rfind("size=", 0) == 0 && record.size() > 5 && record.size() <= 5 + 19 &&
                   record.find_first_not_of("0123456789", 5) == std::string::npos) {
            // Sizes past the header's field come this way; without it the data would be read as headers.
            state.pendingPaxSize = std::stoull(record.substr(5));
            state.hasPendingPaxSize = true;
        } else if (record.rfind("GNU.sparse.", 0) == 0) {
            state.pendingSparse = true;
            if (record.rfind("GNU.sparse.name=", 0) == 0) state.pendingSparseName = record.substr(16);
        }
        p = end;
    }
}

// What the message of a cut archive calls the current entry.
std::string EntryTold(const TarState& state) {
    switch (state.typeFlag) {
        case 'L':
            return "a long name record";
        case 'K':
            return "a long link name record";
        case 'x':
            return "a pax header";
        case 'g':
            return "a global pax header";
        default:
            return state.entryName;
    }
}

bool HandleHeader(TarState& state, std::string& err) {
    const unsigned char* h = state.header;
    if (AllZero(h)) {
        ++state.zeroBlocks;
        return true;
    }
    state.zeroBlocks = 0;
    if (!ChecksumHolds(h)) {
        err = "the archive is damaged: a header's checksum is wrong at byte " + std::to_string(state.offset - 512);
        return false;
    }
    state.awaitingEntry = false;

    uint64_t size = EntrySize(h);
    std::string name = Field(h, 0, 100);
    // Only POSIX ustar ("ustar\0" and version "00") has a name prefix; GNU tar's "ustar  \0" headers keep
    // other fields there (the times of an incremental archive).
    if (std::memcmp(h + 257, "ustar\0" "00", 8) == 0) {
        std::string prefix = Field(h, 345, 155);
        if (!prefix.empty()) name = prefix + "/" + name;
    }
    if (!state.pendingLongName.empty()) {
        name = std::move(state.pendingLongName);
        state.pendingLongName.clear();
    }
    if (!state.pendingPaxPath.empty()) {
        name = std::move(state.pendingPaxPath);
        state.pendingPaxPath.clear();
    }
    std::string link = Field(h, 157, 100);
    if (!state.pendingLongLink.empty()) {
        link = std::move(state.pendingLongLink);
        state.pendingLongLink.clear();
    }
    if (state.hasPendingPaxSize) {
        size = state.pendingPaxSize;
        state.hasPendingPaxSize = false;
    }

    state.typeFlag = static_cast<char>(h[156]);
    // A sparse file's data is stored without its holes (and in GNU's form with extension blocks that the
    // size does not count): unpacked as it stands it would be a different file.
    if (state.typeFlag == 'S' || state.pendingSparse) {
        err = "the archive holds a sparse file, which is not supported: " +
              (state.pendingSparseName.empty() ? name : state.pendingSparseName);
        return false;
    }
    state.entryName = name;
    state.entrySize = size;
    state.remaining = size;
    state.padding = (512 - size % 512) % 512;
    state.keepData = false;
    state.metadata = false;

    const std::string member = IsMetadata(state.typeFlag) ? "" : NormalizeEntryPath(name);
    if (!member.empty()) state.seen.insert(member);
    switch (state.typeFlag) {
        case 'L':
        case 'K':
        case 'x':
            if (size > kMetadataLimit) {
                err = "a long name or extended header in the archive is too large (" + std::to_string(size) + " bytes)";
                return false;
            }
            state.metadata = true;
            state.keepData = true;
            state.metadataBuffer.clear();
            break;
        case 'g':
            // Its records would be ignored: the data is skipped without being collected.
            state.metadata = true;
            state.metadataBuffer.clear();
            break;
        case '0':
        case '\0':
        case '7':
            state.mappedName = state.mapper ? state.mapper(name) : name;
            if (state.mappedName.empty()) break;
            if (!WritableName(state.mappedName)) {
                err = "unsafe path in the archive: " + name;
                return false;
            }
            if (!OpenOutput(state, member, err)) return false;
            break;
        case '1':
        case '2': {
            state.mappedName = state.mapper ? state.mapper(name) : name;
            const bool hard = state.typeFlag == '1';
            const std::string target = hard ? MemberNamed(link) : SymlinkTarget(name, link);
            // One that leads out of the archive, is skipped or has an unsafe name gives nothing.
            if (!target.empty() && !state.mappedName.empty() && WritableName(state.mappedName) &&
                !AddLink(state, member, target, hard, err)) {
                return false;
            }
            break;
        }
        default:
            break;  // folders, devices, fifos and the rest: nothing is written
    }

    if (state.remaining == 0) {
        state.paddingLeft = 0;
        return TarFinishEntry(state, err);
    }
    state.inEntry = true;
    return true;
}

bool WriteData(TarState& state, const unsigned char* data, size_t n, std::string& err) {
    std::string why;
    if (state.output.Write(data, n, why)) return true;
    err = "cannot write " + PathUtf8(state.output.Target()) + ": " + why;
    return false;
}

// Numbers for the decoder's results, the ones the messages carry: 0 go on, 1 end of stream, 2 integrity
// check not supported, 3 out of memory, 4 memory limit, 5 not xz, 6 options, 7 data or check error,
// 8 no progress possible.
int ResultCode(lzma_ret ret) {
    switch (ret) {
        case LZMA_OK:
        case LZMA_NO_CHECK:
        case LZMA_GET_CHECK:
            return 0;
        case LZMA_STREAM_END:
            return 1;
        case LZMA_UNSUPPORTED_CHECK:
            return 2;
        case LZMA_MEM_ERROR:
            return 3;
        case LZMA_MEMLIMIT_ERROR:
            return 4;
        case LZMA_FORMAT_ERROR:
            return 5;
        case LZMA_OPTIONS_ERROR:
            return 6;
        case LZMA_DATA_ERROR:
            return 7;
        default:
            return 8;
    }
}

uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The number of blocks in the file's last xz stream, from the index before its footer; 0 when the end
// of the file is no plain stream footer. Leaves the file at its start.
uint64_t BlockCount(std::ifstream& in, uint64_t fileSize) {
    uint64_t count = 0;
    unsigned char footer[12];
    if (fileSize != kUnknownSize && fileSize >= 32 && in.seekg(static_cast<std::streamoff>(fileSize - 12)) &&
        in.read(reinterpret_cast<char*>(footer), 12) && footer[10] == 'Y' && footer[11] == 'Z') {
        const uint64_t backward = (uint64_t{Le32(footer + 4)} + 1) * 4;
        unsigned char index[10] = {};
        if (backward + 24 <= fileSize && in.seekg(static_cast<std::streamoff>(fileSize - 12 - backward)) &&
            in.read(reinterpret_cast<char*>(index), static_cast<std::streamsize>(std::min<uint64_t>(backward, 10))) &&
            index[0] == 0) {
            for (int i = 1, shift = 0; i < 10; ++i, shift += 7) {  // a variable-length integer
                count |= uint64_t{index[i] & 0x7Fu} << shift;
                if ((index[i] & 0x80) == 0) break;
            }
        }
    }
    in.clear();
    in.seekg(0);
    return count;
}

// A file of several blocks (as `xz -T0` writes them) is decoded on all cores; a single block gains
// nothing from threads and stays on the plain decoder.
lzma_ret StartDecoder(lzma_stream& stream, uint64_t blocks) {
    const uint32_t cores = lzma_cputhreads();
    if (blocks > 1 && cores > 1) {
        lzma_mt mt{};
        mt.threads = static_cast<uint32_t>(std::min<uint64_t>(cores, blocks));
        mt.timeout = 0;
        mt.flags = LZMA_CONCATENATED;
        mt.memlimit_stop = kMemoryLimit;
        mt.memlimit_threading = std::min<uint64_t>(kThreadingLimit, std::max<uint64_t>(lzma_physmem() / 4, 64 << 20));
        if (lzma_stream_decoder_mt(&stream, &mt) == LZMA_OK) return LZMA_OK;
    }
    // Streams one after another (as `cat a.xz b.xz` makes them, padding between them allowed) are one file.
    return lzma_stream_decoder(&stream, kMemoryLimit, LZMA_CONCATENATED);
}

// One decoding step, handed from the decoding thread to the tar reader.
struct Step {
    enum class End { kNone, kStream, kEarly, kDamaged, kUnreadable, kStopped };
    unsigned char* data = nullptr;  // the output buffer it filled
    size_t produced = 0;
    bool refilled = false;  // the file was read for this step
    uint64_t done = 0;      // compressed bytes read so far, after that read
    int code = 0;
    uint64_t memoryNeeded = 0;  // past the decoder's memory limit (code 4): what the stream asks for
    End end = End::kNone;
};

// Steps travel from the decoding thread to the tar reader, and emptied output buffers back.
class StepQueue {
public:
    void PushStep(const Step& step) {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back(step);
        ready_.notify_all();
    }
    Step PopStep() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !steps_.empty(); });
        Step step = steps_.front();
        steps_.pop_front();
        return step;
    }
    void PushFree(unsigned char* buffer) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(buffer);
        ready_.notify_all();
    }
    // A free buffer, or null once the tar reader has given up waiting for steps.
    unsigned char* PopFree() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !free_.empty() || abandoned_; });
        if (abandoned_) return nullptr;
        unsigned char* buffer = free_.back();
        free_.pop_back();
        return buffer;
    }
    void Abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Step> steps_;
    std::vector<unsigned char*> free_;
    bool abandoned_ = false;
};

struct DecoderEnd {
    lzma_stream* stream;
    ~DecoderEnd() { lzma_end(stream); }
};

// The threaded decoder takes a block's worth of memory (compressed and decoded) for each block it works
// on, and gives it back when the block is done. In the C library's heap on Linux such freed blocks stay
// resident, a third more than the decoder's limit; mapped and unmapped by themselves, they go. (The
// Windows heap already gives large blocks back.)
struct alignas(16) XzBlockHead {
    size_t bytes;  // with this head
    bool mapped;
};
constexpr size_t kMapAtLeast = size_t{1} << 20;

void* XzAlloc(void*, size_t count, size_t size) {
    if (size != 0 && count > (SIZE_MAX - sizeof(XzBlockHead)) / size) return nullptr;
    const size_t bytes = count * size + sizeof(XzBlockHead);
    void* block = nullptr;
    bool mapped = false;
#ifndef _WIN32
    if (bytes >= kMapAtLeast) {
        block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mapped = block != MAP_FAILED;
        if (!mapped) block = nullptr;
    }
#endif
    if (!mapped) block = std::malloc(bytes);
    if (block == nullptr) return nullptr;
    auto* head = static_cast<XzBlockHead*>(block);
    head->bytes = bytes;
    head->mapped = mapped;
    return head + 1;
}

void XzFree(void*, void* pointer) {
    if (pointer == nullptr) return;
    auto* head = static_cast<XzBlockHead*>(pointer) - 1;
#ifndef _WIN32
    if (head->mapped) {
        munmap(head, head->bytes);
        return;
    }
#endif
    std::free(head);
}

const lzma_allocator kXzAllocator = {XzAlloc, XzFree, nullptr};

}  // namespace

std::string NormalizeEntryPath(const std::string& path) {
    std::vector<std::string> kept;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!part.empty() && part != ".") {
            kept.push_back(std::move(part));
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string out;
    for (const std::string& part : kept) {
        if (!out.empty()) out += '/';
        out += part;
    }
    return out;
}

bool TarFinishEntry(TarState& state, std::string& err) {
    bool ok = true;
    std::string why;
    // Programs stay runnable, as the archive stored them.
    if (state.output.Busy() && !state.output.Commit(state.mode & 0111, why)) {
        err = "cannot write " + PathUtf8(state.output.Target()) + ": " + why;
        ok = false;
    }
    if (state.metadata) {
        const std::string& buffer = state.metadataBuffer;
        switch (state.typeFlag) {
            case 'L':
                state.pendingLongName = buffer.substr(0, buffer.find('\0'));
                break;
            case 'K':
                state.pendingLongLink = buffer.substr(0, buffer.find('\0'));
                break;
            case 'x':
                ReadPaxRecords(state);
                break;
            default:
                break;
        }
        if (state.typeFlag != 'g') state.awaitingEntry = true;
        state.metadata = false;
        state.metadataBuffer.clear();
    }
    return ok;
}

bool TarEnd(TarState& state, std::string& err) {
    if (state.inEntry) {
        err = "the archive ends inside " + EntryTold(state) + ": " + std::to_string(state.remaining) + " of its " +
              std::to_string(state.entrySize) + " bytes are missing";
        return false;
    }
    if (state.paddingLeft > 0) {
        err = "the archive ends inside " + EntryTold(state) + ": its last block is cut short";
        return false;
    }
    // Past the two zero blocks that close an archive, tar reads nothing more.
    if (state.headerFill > 0 && state.zeroBlocks < 2) {
        err = "the archive ends inside a header: only " + std::to_string(state.headerFill) +
              " of its 512 bytes are there";
        return false;
    }
    if (state.awaitingEntry) {
        err = "the archive ends after a long name or pax header, before the entry it belongs to";
        return false;
    }
    // The links to what came after them, in order, until a round makes none: links to links in any
    // order take one round each (bounded, for links that lead into each other).
    bool copied = true;
    for (size_t round = 0; copied && round <= std::min<size_t>(state.pending.size(), kLinkRounds); ++round) {
        copied = false;
        for (TarState::PendingLink& link : state.pending) {
            if (!MakeLink(state, link, copied, err)) return false;
        }
    }
    // tar fails on a hard link to a member it does not hold; one to a member that was skipped, or that
    // gave no file (a folder, a link leading nowhere), gives nothing, as a symbolic link to it does.
    for (const TarState::PendingLink& link : state.pending) {
        if (link.hard && !state.written.count(link.target) && !state.seen.count(link.target)) {
            err = "the archive is damaged: its hard link " + link.name + " names " + link.target +
                  ", which it does not hold";
            return false;
        }
    }
    state.pending.clear();
    std::string why;
    if (!state.output.Finish(why)) {
        err = "cannot unpack into " + PathUtf8(state.destination) + ": " + why;
        return false;
    }
    return true;
}

bool TarFeed(TarState& state, const unsigned char* data, size_t n, std::string& err) {
    while (n > 0) {
        // Past the two zero blocks that close an archive, tar reads nothing more.
        if (state.zeroBlocks >= 2) return true;
        if (state.inEntry) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, state.remaining));
            if (state.keepData) {
                if (state.metadata) {
                    state.metadataBuffer.append(reinterpret_cast<const char*>(data), k);
                } else if (!WriteData(state, data, k, err)) {
                    return false;
                }
            }
            data += k;
            n -= k;
            state.offset += k;
            state.remaining -= k;
            if (state.remaining == 0) {
                state.inEntry = false;
                state.paddingLeft = state.padding;
                if (!TarFinishEntry(state, err)) return false;
            }
        } else if (state.paddingLeft > 0) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, state.paddingLeft));
            data += k;
            n -= k;
            state.offset += k;
            state.paddingLeft -= k;
        } else {
            const size_t k = std::min<size_t>(n, 512 - static_cast<size_t>(state.headerFill));
            std::memcpy(state.header + state.headerFill, data, k);
            data += k;
            n -= k;
            state.offset += k;
            state.headerFill += k;
            if (state.headerFill == 512) {
                state.headerFill = 0;
                if (!HandleHeader(state, err)) return false;
            }
        }
    }
    return true;
}

bool ExtractTarXz(const fs::path& archive, const fs::path& dir, const EntryMapper& map, const ProgressSink& progress,
                  const std::atomic<bool>* stop, std::string& err) {
    const std::string archiveText = PathUtf8(archive);
    std::ifstream in(archive, std::ios::binary);
    if (!in) {
        err = "cannot open " + archiveText;
        return false;
    }
    std::error_code ec;
    uint64_t total = fs::file_size(archive, ec);
    if (ec) total = kUnknownSize;

    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &kXzAllocator;
    if (StartDecoder(stream, BlockCount(in, total)) != LZMA_OK) {
        err = "out of memory for the xz decoder";
        return false;
    }
    DecoderEnd end{&stream};

    // Not cleared first: each is written before it is read. A small archive gets smaller buffers; a
    // larger one only ever needs more steps, never more memory.
    const size_t inputChunk = total < kInputChunk ? std::max<size_t>(static_cast<size_t>(total), 4096) : kInputChunk;
    const size_t outputSize = std::min<uint64_t>(kOutputBuffer, std::max<uint64_t>(uint64_t{4} * inputChunk, 65536));
    auto input = std::make_unique_for_overwrite<unsigned char[]>(inputChunk);
    std::unique_ptr<unsigned char[]> outputs[kOutputBuffers];
    StepQueue queue;
    for (auto& output : outputs) {
        output = std::make_unique_for_overwrite<unsigned char[]>(outputSize);
        queue.PushFree(output.get());
    }

    // The decoding thread: reads the file and runs the decoder one step per free output buffer.
    auto decode = [&] {
        uint64_t done = 0;
        size_t lastRead = 0;
        bool fileEnded = false;
        for (;;) {
            Step step;
            step.data = queue.PopFree();
            if (!step.data) return;  // the tar reader has finished
            if (stop && stop->load()) {
                step.end = Step::End::kStopped;
                queue.PushStep(step);
                return;
            }
            if (stream.avail_in == 0) {
                in.read(reinterpret_cast<char*>(input.get()), static_cast<std::streamsize>(inputChunk));
                lastRead = static_cast<size_t>(in.gcount());
                if (in.bad()) {
                    step.end = Step::End::kUnreadable;
                    queue.PushStep(step);
                    return;
                }
                fileEnded = !in;
                stream.next_in = input.get();
                stream.avail_in = lastRead;
                done += lastRead;
                step.refilled = true;
                step.done = done;
            }
            stream.next_out = step.data;
            stream.avail_out = outputSize;
            // Once the file has ended the decoder is told so, so that the threaded one waits for its
            // blocks instead of for more input.
            const bool atEnd = fileEnded && stream.avail_in == 0;
            step.code = ResultCode(lzma_code(&stream, atEnd ? LZMA_FINISH : LZMA_RUN));
            step.produced = outputSize - stream.avail_out;
            if (step.code == 1) {
                step.end = Step::End::kStream;
            } else if (step.code == 0 || step.code == 2 || (step.code == 8 && atEnd)) {
                const bool goOn = lastRead != 0 || !fileEnded || (step.produced != 0 && step.code != 8);
                if (!goOn) step.end = Step::End::kEarly;
            } else {
                step.end = Step::End::kDamaged;
                if (step.code == 4) step.memoryNeeded = lzma_memusage(&stream);
            }
            const bool last = step.end != Step::End::kNone;
            queue.PushStep(step);
            if (last) return;
        }
    };
    std::thread decoder;
    try {
        decoder = std::thread(decode);
    } catch (const std::system_error&) {
        err = "out of memory for the xz decoder";
        return false;
    }
    // Whatever way the tar reader ends, the decoding thread is told and waited for.
    struct Joiner {
        StepQueue& queue;
        std::thread& thread;
        ~Joiner() {
            queue.Abandon();
            thread.join();
        }
    } joiner{queue, decoder};

    // The tar reader, on the calling thread: the mapper and the progress sink are called here.
    TarState state;
    state.destination = dir;
    state.mapper = map;
    for (;;) {
        Step step = queue.PopStep();
        if (step.end == Step::End::kStopped || (stop && stop->load())) {
            err = "cancelled";
            return false;
        }
        if (step.end == Step::End::kUnreadable) {
            err = "cannot read " + archiveText;
            return false;
        }
        if (step.refilled && progress) progress(step.done, total);
        if (!TarFeed(state, step.data, step.produced, err)) return false;
        switch (step.end) {
            case Step::End::kStream:
                return TarEnd(state, err);
            case Step::End::kEarly:
                err = "the xz file ends early: " + archiveText;
                return false;
            case Step::End::kDamaged:
                // Sound data that asks for more memory than this decoder may take is no damage.
                if (step.code == 4) {
                    constexpr uint64_t kMiB = uint64_t{1} << 20;
                    err = "the xz data in " + archiveText +
                          " needs more memory than the launcher allows for unpacking (" +
                          std::to_string((std::max(step.memoryNeeded, kMemoryLimit + 1) + kMiB - 1) / kMiB) +
                          " MiB, at most " + std::to_string(kMemoryLimit / kMiB) + " MiB)";
                    return false;
                }
                err = "the xz data is damaged (" + std::to_string(step.code) + ") in " + archiveText;
                return false;
            default:
                break;
        }
        queue.PushFree(step.data);
    }
}

}  // namespace launcher
