#include "support/zip_writer.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace launcher::test {

namespace fs = std::filesystem;

bool WriteZip(const fs::path& zip, const std::vector<ZipEntry>& entries, std::string& err) {
    std::error_code ec;
    fs::remove(zip, ec);
    if (entries.empty()) {
        // libzip writes no file for an archive without entries: the end record alone is the empty zip.
        WriteFile(zip, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
        return true;
    }
    int code = 0;
    std::string path = PathUtf8(zip);
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) {
        err = "zip_open failed with " + std::to_string(code);
        return false;
    }
    for (const ZipEntry& entry : entries) {
        zip_int64_t index = -1;
        if (entry.directory) {
            index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* source =
                entry.file.empty()
                    ? zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0)
                    : zip_source_file(archive, PathUtf8(entry.file).c_str(), 0, -1);
            if (!source) {
                err = std::string("zip source: ") + zip_strerror(archive);
                zip_discard(archive);
                return false;
            }
            index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (index < 0) zip_source_free(source);
        }
        if (index < 0) {
            err = "cannot add " + entry.name + ": " + zip_strerror(archive);
            zip_discard(archive);
            return false;
        }
        auto at = static_cast<zip_uint64_t>(index);
        if (entry.stored) zip_set_file_compression(archive, at, ZIP_CM_STORE, 0);
        zip_uint32_t mode = entry.directory ? 040755 : entry.executable ? 0100755 : 0100644;
        zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX, mode << 16);
    }
    if (zip_close(archive) != 0) {
        err = std::string("zip_close: ") + zip_strerror(archive);
        zip_discard(archive);
        return false;
    }
    return true;
}

void WriteZipOrFail(const fs::path& zip, const std::vector<ZipEntry>& entries) {
    std::string err;
    ASSERT_TRUE(WriteZip(zip, entries, err)) << err;
}

std::vector<std::string> FilesBelow(const fs::path& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::u8string rel = it->path().lexically_relative(dir).generic_u8string();
        files.emplace_back(rel.begin(), rel.end());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::map<std::string, std::string> TreeContents(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::u8string rel = it->path().lexically_relative(dir).generic_u8string();
        std::string& entry = tree[std::string(rel.begin(), rel.end())];
        if (IsLink(it->path())) {
            entry = "<link>";
            it.disable_recursion_pending();
        } else if (it->is_directory()) {
            entry = "<folder>";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            entry.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return tree;
}

}  // namespace launcher::test
