#include "platform/transfer.h"

#include <fstream>

#include "platform/ascii.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/sha.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int kFetchAttempts = 3;
constexpr int kDownloadAttempts = 5;

bool Stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// What a partial file belongs to: the address it came from and the size the caller expected, one per
// line. Without it a stopped download of one resource would be carried on with the bytes of another.
std::string SourceRecord(const std::string& url, uint64_t size) {
    return url + "\n" + std::to_string(size) + "\n";
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

bool WriteSmallFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

}  // namespace

bool FetchText(Http& http, const std::string& url, std::string& out, std::string& err) {
    for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
        out.clear();
        ChunkSink sink = [&out](const char* data, uint64_t size) {
            out.append(data, static_cast<size_t>(size));
            return true;
        };
        if (http.Get(url, 0, sink, nullptr, err)) return true;
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

    // A partial file is carried on only when it is known to be part of this very resource. One left by
    // a launcher that kept no record is trusted only when the digest will check the result anyway.
    const std::string record = SourceRecord(url, size);
    std::string recorded;
    const bool hasRecord = ReadSmallFile(source, recorded);
    if (hasRecord ? recorded != record : expected.empty()) {
        fs::remove(partial, ec);
        // Never carry on from a file of another resource, even one that cannot be deleted.
        if (EntryExists(partial)) {
            err = "cannot write " + PathUtf8(partial);
            return false;
        }
    }
    bool recordWritten = hasRecord && recorded == record;

    const std::string damaged = "the download of " + PathUtf8(file.filename()) + " is damaged";
    bool complete = false;
    bool wholeChecked = false;
    for (int attempt = 1; attempt <= kDownloadAttempts && !complete; ++attempt) {
        uint64_t offset = 0;
        if (fs::exists(partial, ec)) {
            const uintmax_t have = fs::file_size(partial, ec);
            offset = ec ? 0 : have;
        }
        if (size != 0 && offset > size) {
            fs::remove(partial, ec);
            offset = 0;
        }

        if (size == 0 || offset != size) {
            // Written before the first byte, so a partial file never outlives the note of its source
            // (a failed write only costs the resume after a stop).
            if (!recordWritten) recordWritten = WriteSmallFile(source, record);
            std::ofstream out(partial, std::ios::binary | std::ios::app);
            if (!out) {
                err = "cannot write " + PathUtf8(partial);
                return false;
            }
            uint64_t count = offset;
            uint64_t total = size;
            bool writeFailed = false;
            ChunkSink sink = [&](const char* data, uint64_t n) {
                if (Stopped(stop)) return false;
                out.write(data, static_cast<std::streamsize>(n));
                if (!out) {
                    writeFailed = true;
                    return false;
                }
                count += n;
                if (progress) progress(count, total != 0 ? total : count);
                return true;
            };
            const bool got = http.Get(url, offset, sink, &total, err, stop);
            out.close();
            if (Stopped(stop)) {
                err = "cancelled";
                return false;
            }
            // A full disk does not get better by asking again; "stopped" would hide the cause.
            if (writeFailed || (got && out.fail())) {
                err = "cannot write " + PathUtf8(partial);
                return false;
            }
            if (!got) {
                // Without a known size a partial file that already holds the whole resource (a stop or an
                // end of the program just before the rename) is asked for bytes past its end, which every
                // attempt refuses; the digest tells whether it is complete.
                if (size == 0 && !expected.empty() && offset > 0 && count == offset && !wholeChecked) {
                    wholeChecked = true;
                    complete = Sha256File(partial) == expected;
                }
                continue;
            }
            if (size == 0) size = total;
        }

        if (expected.empty()) {
            // Without a digest the size is all there is to go by: a short file resumes, a long one
            // is not the published file.
            if (size != 0) {
                const uintmax_t have = fs::file_size(partial, ec);
                if (ec || have < size) {
                    err = "the download of " + url + " failed";
                    continue;
                }
                if (have > size) {
                    err = damaged + " (size), trying again";
                    fs::remove(partial, ec);
                    continue;
                }
            }
            complete = true;
        } else if (Sha256File(partial) == expected) {
            complete = true;
        } else {
            err = damaged + " (checksum), trying again";
            fs::remove(partial, ec);
        }
    }
    if (!complete) {
        if (err.empty()) err = "the download of " + url + " failed";
        return false;
    }

    std::string why;
    if (!MoveReplacing(partial, file, why)) {
        err = "cannot rename " + PathUtf8(partial) + ": " + why;
        return false;
    }
    fs::remove(source, ec);
    return true;
}

}  // namespace launcher
