#include "platform/transfer.h"

#include <algorithm>
#include <fstream>

#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/plain_file.h"
#include "platform/sha.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int kFetchAttempts = 3;
constexpr int kDownloadAttempts = 5;

bool Stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// What a partial file belongs to, one per line: the address it came from, the size the caller expected,
// and the validator (ETag or Last-Modified) of the answer its bytes came with. Without it a stopped
// download of one resource would be carried on with the bytes of another.
std::string SourceRecord(const std::string& url, uint64_t size, const std::string& validator) {
    return url + "\n" + std::to_string(size) + "\n" + validator + "\n";
}

// Whether `text` records this address and size; `validator` then receives its validator (empty in a
// record of a launcher that noted none).
bool RecordFor(const std::string& text, const std::string& url, uint64_t size, std::string& validator) {
    const std::string head = url + "\n" + std::to_string(size) + "\n";
    if (text.compare(0, head.size(), head) != 0) return false;
    const std::string rest = text.substr(head.size());
    if (rest.empty()) {
        validator.clear();
        return true;
    }
    if (rest.find('\n') != rest.size() - 1) return false;
    validator = rest.substr(0, rest.size() - 1);
    return true;
}

bool ReadSmallFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    char buffer[4096];
    out.clear();
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        out.append(buffer, static_cast<size_t>(in.gcount()));
        if (out.size() > 65536) return false;  // no record of ours is this long
    }
    return true;
}

}  // namespace

bool FetchText(Http& http, const std::string& url, std::string& out, std::string& err,
               const std::atomic<bool>* stop) {
    for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
        out.clear();
        uint64_t total = 0;
        bool tooLarge = false;
        // The bound holds as the bytes come: an answer that announces more ends at its first chunk, one
        // that sends more at the chunk that would pass it, and the text never grows past it.
        ChunkSink sink = [&](const char* data, uint64_t size) {
            if (total > kFetchMostBytes || size > kFetchMostBytes - out.size()) {
                tooLarge = true;
                return false;
            }
            const size_t needed = out.size() + static_cast<size_t>(size);
            if (needed > out.capacity()) {
                out.reserve(static_cast<size_t>(
                    std::min<uint64_t>(kFetchMostBytes, std::max<uint64_t>(needed, 2 * uint64_t{out.capacity()}))));
            }
            out.append(data, static_cast<size_t>(size));
            return true;
        };
        HttpExchange exchange;
        const bool got = http.Get(url, 0, sink, &total, err, stop, &exchange);
        if (Stopped(stop)) {
            err = "cancelled";
            return false;
        }
        if (tooLarge) {
            std::string().swap(out);
            err = url + " is larger than " + std::to_string(kFetchMostBytes >> 20) + " MB";
            return false;
        }
        if (got) return true;
        // Asking a server below the low-speed limit again would only make the wait longer.
        if (exchange.tooSlow) return false;
    }
    return false;
}

bool Download(Http& http, const std::string& url, const fs::path& file, const std::string& sha256, uint64_t size,
              const ProgressSink& progress, const std::atomic<bool>* stop, std::string& err) {
    const std::string expected = LowerAscii(sha256);
    std::error_code ec;

    // A file already complete at its destination needs no network at all.
    if (fs::exists(file, ec)) {
        if (!expected.empty()) {
            if (Sha256File(file) == expected) return true;
        } else {
            const uintmax_t have = fs::file_size(file, ec);
            if (size == 0 || (!ec && have == size)) return true;
        }
    }

    fs::path partial = file;
    partial += ".part";
    fs::path source = partial;
    source += ".source";
    if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
    const std::string cannotWrite = "cannot write " + PathUtf8(partial) + ": ";
    const uint64_t askedSize = size;
    std::string why;

    // A partial file is carried on only when it is known to be part of this very resource, and only where
    // a resource that changed since would be noticed: by the server, which is sent the validator of the
    // partial's bytes (If-Range) and answers a changed resource whole, or by the digest. One left by a
    // launcher that kept no record is trusted only when the digest will check the result.
    std::string recorded;
    std::string validator;
    const bool hasRecord = ReadSmallFile(source, recorded);
    const bool ours = hasRecord && RecordFor(recorded, url, askedSize, validator);
    if (!ours) validator.clear();
    const bool carryOn = hasRecord ? ours && (!validator.empty() || !expected.empty()) : !expected.empty();
    if (!carryOn && !RemovePlainFile(partial, why)) {
        err = cannotWrite + why;
        return false;
    }
    std::string noted = ours ? recorded : std::string();  // the record on disk

    const std::string name = PathUtf8(file.filename());
    PlainFile out;
    uint64_t most = 0;  // the most the partial file held in this call; an attempt that brings more is no failure
    int failures = 0;
    bool wholeChecked = false;
    bool complete = false;
    while (!complete && failures < kDownloadAttempts) {
        uint64_t offset = 0;
        if (!out.OpenForAppend(partial, offset, why)) {
            err = cannotWrite + why;
            return false;
        }
        // Without a validator and a digest nothing would notice a resource that changed since; and a
        // partial file longer than the resource is not part of it.
        if (offset > 0 && ((validator.empty() && expected.empty()) || (size != 0 && offset > size))) {
            if (!out.Truncate(why)) {
                err = cannotWrite + why;
                return false;
            }
            offset = 0;
        }

        uint64_t count = offset;
        bool progressed = false;
        if (size == 0 || offset != size) {
            HttpExchange exchange;
            if (offset > 0) exchange.ifRange = validator;
            uint64_t total = size;
            bool first = true;
            bool writeFailed = false;
            ChunkSink sink = [&](const char* data, uint64_t n) {
                if (Stopped(stop)) return false;
                if (first) {
                    first = false;
                    // The server sends the resource whole (it changed, or the server takes no ranges).
                    if (exchange.start == 0 && count > 0) {
                        if (!out.Truncate(why)) {
                            writeFailed = true;
                            return false;
                        }
                        count = 0;
                    }
                    // Noted before the first byte lands, so a partial file never holds bytes that its
                    // record does not name. A note that cannot be written only costs the resume.
                    validator = exchange.validator;
                    const std::string record = SourceRecord(url, askedSize, validator);
                    if (record != noted) noted = WritePlainFile(source, record, why) ? record : std::string();
                }
                if (!out.Write(data, static_cast<size_t>(n), why)) {
                    writeFailed = true;
                    return false;
                }
                count += n;
                if (progress) progress(count, total != 0 ? total : count);
                return true;
            };
            const bool got = http.Get(url, offset, sink, &total, err, stop, &exchange);
            std::string closeWhy;
            const bool closed = out.Close(closeWhy);
            if (Stopped(stop)) {
                err = "cancelled";
                return false;
            }
            // A full disk does not get better by asking again; "stopped" would hide the cause.
            if (writeFailed || (got && !closed)) {
                err = cannotWrite + (writeFailed ? why : closeWhy);
                return false;
            }
            // Asking again would only make the wait longer; the partial file stays for a later call.
            if (exchange.tooSlow) return false;
            progressed = count > std::max(most, offset);
            most = std::max(most, count);
            if (!got) {
                // Without a known size a partial file that already holds the whole resource (a stop or an
                // end of the program just before the rename) is asked for bytes past its end, which every
                // attempt refuses; the digest tells whether it is complete.
                if (size == 0 && !expected.empty() && offset > 0 && count == offset && !wholeChecked) {
                    wholeChecked = true;
                    complete = Sha256File(partial) == expected;
                }
                if (!complete && !progressed) ++failures;
                continue;
            }
            if (size == 0) size = total;
        } else {
            out.Close(why);
        }

        // An answer that ends before the resource does (a part of it, or a connection closed cleanly) is
        // progress: the next attempt asks for the rest.
        if (size != 0 && count < size) {
            err = "the server sent only " + std::to_string(count) + " of the " + std::to_string(size) + " bytes of " +
                  name;
            if (!progressed) ++failures;
            continue;
        }
        if (expected.empty() ? size != 0 && count > size : Sha256File(partial) != expected) {
            // Complete and wrong: these bytes are no use to any later attempt.
            err = "the download of " + name + (expected.empty() ? " is damaged (size)" : " is damaged (checksum)");
            RemovePlainFile(partial, why);
            most = 0;
            ++failures;
            continue;
        }
        complete = true;
    }
    if (!complete) {
        if (err.empty()) err = "the download of " + url + " failed";
        err += "; gave up after " + std::to_string(kDownloadAttempts) + " failed attempts";
        return false;
    }

    if (!MoveReplacing(partial, file, why)) {
        err = "cannot rename " + PathUtf8(partial) + ": " + why;
        return false;
    }
    RemovePlainFile(source, why);
    return true;
}

}  // namespace launcher
