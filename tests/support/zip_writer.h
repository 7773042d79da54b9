#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace launcher::test {

// One entry of a zip fixture. The name is stored exactly as given (no checks), so unsafe names can be
// written. Content comes from `file` when it is set, else from `data`.
struct ZipEntry {
    ZipEntry(std::string name, std::string data, bool stored = false)
        : name(std::move(name)), data(std::move(data)), stored(stored) {}
    static ZipEntry Folder(std::string name) {
        ZipEntry entry(std::move(name), "");
        entry.directory = true;
        return entry;
    }
    static ZipEntry FromFile(std::string name, std::filesystem::path file) {
        ZipEntry entry(std::move(name), "");
        entry.file = std::move(file);
        return entry;
    }
    static ZipEntry Program(std::string name, std::filesystem::path file) {
        ZipEntry entry = FromFile(std::move(name), std::move(file));
        entry.executable = true;
        return entry;
    }

    std::string name;
    std::string data;
    std::filesystem::path file;
    bool directory = false;  // a folder entry (its name should end in '/')
    bool stored = false;     // no compression
    bool executable = false; // stored as a Unix program (mode 0755)
};

// Writes `entries` as a new zip at `zip` with libzip; an empty list gives the 22-byte empty archive.
bool WriteZip(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries, std::string& err);
void WriteZipOrFail(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries);

// Every regular file below `dir`, as '/'-separated relative UTF-8 paths, sorted.
std::vector<std::string> FilesBelow(const std::filesystem::path& dir);

// Everything below `dir` without following links, by '/'-separated relative path: a file's bytes, "<folder>"
// or "<link>", to show that a tree is byte for byte as it was.
std::map<std::string, std::string> TreeContents(const std::filesystem::path& dir);

}  // namespace launcher::test
