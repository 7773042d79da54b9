#include "platform/zip.h"

#include <zip.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCopyBuffer = 256 * 1024;

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

// A stored folder: its name ends in '/', or it carries the DOS folder attribute.
bool IsDirectoryEntry(zip_t* archive, zip_uint64_t index, const std::string& name) {
    if (!name.empty() && name.back() == '/') return true;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) return false;
    return (attributes & 0x10) != 0;
}

// Entries stored from Unix with an execute bit keep it, so unpacked programs can run there.
void KeepExecutable(zip_t* archive, zip_uint64_t index, const fs::path& dest) {
#ifdef _WIN32
    (void)archive;
    (void)index;
    (void)dest;
#else
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) return;
    if (system != ZIP_OPSYS_UNIX) return;
    const zip_uint32_t mode = attributes >> 16;
    if ((mode & 0170000) != 0100000 || (mode & 0111) == 0) return;
    fs::perms add = fs::perms::none;
    if (mode & 0100) add |= fs::perms::owner_exec;
    if (mode & 0010) add |= fs::perms::group_exec;
    if (mode & 0001) add |= fs::perms::others_exec;
    std::error_code ec;
    fs::permissions(dest, add, fs::perm_options::add, ec);
#endif
}

// Streams one entry into `dest` through `buffer`; false on any read or write failure.
bool WriteEntry(zip_t* archive, zip_uint64_t index, const fs::path& dest, std::vector<char>& buffer) {
    Entry entry(zip_fopen_index(archive, index, 0));
    if (!entry) return false;
    std::ofstream out(dest, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (;;) {
        zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
        if (n < 0) return false;  // damaged data, or a checksum that does not match
        if (n == 0) break;
        out.write(buffer.data(), static_cast<std::streamsize>(n));
        if (!out) return false;
    }
    out.close();
    return !out.fail();
}

}  // namespace

bool IsSafeEntryPath(const std::string& name) {
    if (name.empty()) return false;
    if (name[0] == '/' || name[0] == '\\') return false;
    if (name.find(':') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find_first_of("/\\", start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Windows drops trailing dots and blanks from a component, so ".. " or "..." would climb out
        // as well: a component of nothing but dots and blanks with two or more dots is refused.
        size_t dots = 0;
        bool onlyDotsAndBlanks = !part.empty();
        for (char c : part) {
            if (c == '.') {
                ++dots;
            } else if (c != ' ') {
                onlyDotsAndBlanks = false;
            }
        }
        if (onlyDotsAndBlanks && dots >= 2) return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

fs::path JoinEntryPath(const fs::path& dir, const std::string& name) {
    // Native separators, so messages and callers see one form of the path.
    return dir / Utf8Path(name).make_preferred();
}

bool ExtractZip(const fs::path& zip, const fs::path& dest, const EntryMapper& map, const ProgressSink& progress,
                const std::atomic<bool>* stop, std::string& err) {
    const std::string archiveText = PathUtf8(zip);
    // libzip takes a file of no bytes for an empty archive; it is no zip.
    std::error_code sizeError;
    uintmax_t fileSize = fs::file_size(zip, sizeError);
    int openError = 0;
    Archive archive(sizeError || fileSize == 0 ? nullptr : zip_open(archiveText.c_str(), ZIP_RDONLY, &openError));
    if (!archive) {
        err = "cannot open " + archiveText + " as a zip";
        return false;
    }

    zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    if (count < 0) count = 0;
    const zip_uint64_t n = static_cast<zip_uint64_t>(count);
    uint64_t total = 0;
    for (zip_uint64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), i, 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE)) total += st.size;
    }

    std::vector<char> buffer(kCopyBuffer);
    uint64_t done = 0;
    for (zip_uint64_t i = 0; i < n; ++i) {
        if (stop && stop->load()) {
            err = "cancelled";
            return false;
        }
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), i, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME) || st.name == nullptr) {
            continue;
        }
        std::string name = st.name;
        for (char& c : name) {
            if (c == '\\') c = '/';
        }
        std::string mapped = map ? map(name) : name;
        if (mapped.empty()) continue;
        if (IsDirectoryEntry(archive.get(), i, name)) continue;
        if (!IsSafeEntryPath(mapped)) {
            err = "unsafe path in " + archiveText + ": " + name;
            return false;
        }
        fs::path target = JoinEntryPath(dest, mapped);
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);  // a failure shows up as "cannot write"
        if (!WriteEntry(archive.get(), i, target, buffer)) {
            err = "cannot write " + PathUtf8(target) + " from " + archiveText;
            return false;
        }
        KeepExecutable(archive.get(), i, target);
        if (st.valid & ZIP_STAT_SIZE) done += st.size;
        if (progress) progress(done, total);
    }
    return true;
}

}  // namespace launcher
