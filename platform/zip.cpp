#include "platform/zip.h"

#include <zip.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/file_copy.h"
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

// The execute bits of an entry stored from Unix as a program, so unpacked programs can run there.
uint32_t ExecuteBits(zip_t* archive, zip_uint64_t index) {
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) return 0;
    if (system != ZIP_OPSYS_UNIX) return 0;
    const zip_uint32_t mode = attributes >> 16;
    if ((mode & 0170000) != 0100000) return 0;
    return mode & 0111;
}

// Streams one entry through `buffer` into its file `name` of `tree`; false with the reason on any read or
// write failure, and then nothing is left of the new file.
bool WriteEntry(zip_t* archive, zip_uint64_t index, const std::string& name, UnpackTree& tree,
                std::vector<char>& buffer, std::string& why) {
    Entry entry(zip_fopen_index(archive, index, 0));
    if (!entry) {
        why = zip_strerror(archive);
        return false;
    }
    if (!tree.Open(name, why)) return false;
    for (;;) {
        zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
        if (n < 0) {  // damaged data, or a checksum that does not match
            why = zip_file_strerror(entry.get());
            tree.Discard();
            return false;
        }
        if (n == 0) break;
        if (!tree.Write(buffer.data(), static_cast<size_t>(n), why)) {
            tree.Discard();
            return false;
        }
    }
    return tree.Commit(ExecuteBits(archive, index), why);
}

// Windows opens a device, not a file, for these names, whatever extension follows and in any case:
// "nul.txt" or "Com1.log" written from an archive would vanish or hang. The archives are made for
// Windows, so the names are refused on every system.
bool IsDeviceName(std::string_view part) {
    std::string_view base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);  // "nul .txt" is the device too
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char c = a[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c != b[i]) return false;
        }
        return true;
    };
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (same(base, device)) return true;
    }
    if (base.size() < 4 || !(same(base.substr(0, 3), "COM") || same(base.substr(0, 3), "LPT"))) return false;
    std::string_view number = base.substr(3);
    if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
    // The superscript digits one to three count as well (UTF-8 of U+00B9, U+00B2, U+00B3).
    return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

bool IsSafeEntryPath(const std::string& name) {
    if (name.empty()) return false;
    if (name[0] == '/' || name[0] == '\\') return false;
    if (name.find(':') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find_first_of("/\\", start);
        std::string_view part(name.data() + start, (end == std::string::npos ? name.size() : end) - start);
        // ".." climbs out. Windows drops a trailing dot or blank, so ".. " or "..." would climb out too,
        // and "a." would land on the file of "a": any component ending so is refused, "." alone aside.
        if (!part.empty() && part != "." && (part.back() == '.' || part.back() == ' ')) return false;
        if (IsDeviceName(part)) return false;
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
    UnpackTree tree(dest);
    std::string why;
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
        if (!WriteEntry(archive.get(), i, mapped, tree, buffer, why)) {
            err = "cannot write " + PathUtf8(JoinEntryPath(dest, mapped)) + " from " + archiveText + ": " + why;
            return false;
        }
        if (st.valid & ZIP_STAT_SIZE) done += st.size;
        if (progress) progress(done, total);
    }
    if (!tree.Finish(why)) {
        err = "cannot unpack " + archiveText + ": " + why;
        return false;
    }
    return true;
}

}  // namespace launcher
