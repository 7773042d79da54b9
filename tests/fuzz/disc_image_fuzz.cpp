// libFuzzer target for the disc-image reader: the input is the image from its volume descriptor on
// (file offset 0x10000), so sector numbers in it point into the input itself.
//   disc_image_fuzz --write-seeds DIR   writes seed inputs made with the tests' XDVDFS writer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds.h"
#include "game/disc_image.h"
#include "support/xdvdfs_writer.h"

namespace {

namespace fs = std::filesystem;
using launcher::DiscEntry;
using launcher::DiscImage;
using namespace launcher::test;

constexpr uint64_t kDescriptorOffset = 0x10000;

std::vector<std::pair<std::string, std::vector<XdvdfsNode>>> SeedTrees() {
    std::vector<XdvdfsNode> deep{XFile("leaf", "leaf")};
    for (int i = 0; i < 34; ++i) deep = {XDir("d", deep)};
    std::vector<XdvdfsNode> wide;
    for (int i = 0; i < 300; ++i) wide.push_back(XFile("file" + std::to_string(i) + ".bin", i % 50 ? "" : "w"));
    return {
        {"sample", {XFile("default.xbe", "main xbe"), XFile("Driving.xbe", std::string(3000, 'd')),
                    XFile("empty", ""), XDir("Media", {XFile("a.bik", "a"), XDir("Sub", {XFile("x", "y")})}),
                    XDir("Nothing", {})}},
        {"deep", deep},
        {"wide", wide},
    };
}

// Raw root folders that no well-made disc has.
std::vector<std::pair<std::string, std::string>> SeedRoots() {
    std::vector<std::pair<std::string, std::string>> roots;
    std::string loop;
    XdvdfsWriter::PutEntry(loop, 0, {0, 5, 0, 0, 0, "a"});
    XdvdfsWriter::PutEntry(loop, 20, {10, 5, 0, 0, 0, "b"});
    XdvdfsWriter::PutEntry(loop, 40, {5, 10, 0, 0, 0, "c"});
    roots.emplace_back("loop", loop);
    std::string padding;
    XdvdfsWriter::PutEntry(padding, 0, {0, 5, 0, 0, 0, "kept"});
    XdvdfsWriter::PutEntry(padding, 20, {0xFFFF, 10, 0, 0, 0, "pad"});
    XdvdfsWriter::PutEntry(padding, 40, {0, 0, 0, 0, 0, "hidden"});
    roots.emplace_back("padding", padding);
    std::string longName;
    XdvdfsWriter::PutEntry(longName, 0, {0, 5, 0, 0, 0, "kept"});
    XdvdfsWriter::PutEntry(longName, 20, {0, 0, 0, 0, 0, "long", 40});
    longName.resize(40, '\xFF');
    roots.emplace_back("long-name", longName);
    std::string claims;
    XdvdfsWriter::PutEntry(claims, 0, {0, 7, 40, 0xFFFFFFFF, 0, "huge.bin"});
    XdvdfsWriter::PutEntry(claims, 28, {0, 0, 33, 2048, 0x10, "self"});
    roots.emplace_back("claims", claims);
    return roots;
}

// The bytes of an image from its descriptor on.
std::string FromDescriptor(const fs::path& image) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kDescriptorOffset));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int WriteSeeds(const fs::path& dir) {
    fs::create_directories(dir);
    fs::path scratch = dir / "scratch.iso";
    auto save = [&](const std::string& name) {
        std::string bytes = FromDescriptor(scratch);
        std::ofstream(dir / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    int count = 0;
    for (const auto& [name, tree] : SeedTrees()) {
        if (!WriteXdvdfsImage(scratch, tree)) return 1;
        save(name);
        ++count;
    }
    for (const auto& [name, root] : SeedRoots()) {
        XdvdfsWriter writer;
        XdvdfsExtent extent = writer.AddData(root);
        if (!writer.Write(scratch, extent)) return 1;
        save(name);
        ++count;
    }
    fs::remove(scratch);
    std::printf("wrote %d seeds to %s\n", count, dir.string().c_str());
    return 0;
}

// In memory where the system offers it: the image is rewritten for every input.
std::string ScratchPath() {
    std::error_code ec;
    fs::path dir = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    return (dir / ("disc_image_fuzz-" + std::to_string(::getpid()) + ".iso")).string();
}

int scratchFd = -1;
std::string scratchPath;

void RemoveScratch() {
    if (!scratchPath.empty()) ::unlink(scratchPath.c_str());
}

void Walk(DiscImage& image, const DiscEntry& dir, const std::string& prefix, int& budget) {
    for (const DiscEntry& child : dir.children) {
        if (budget-- <= 0) return;
        std::string path = prefix.empty() ? child.name : prefix + "\\" + child.name;
        std::vector<unsigned char> bytes;
        bool read = image.ReadFile(path, bytes);
        const DiscEntry* found = image.FindPath(path);
        if (!found) continue;  // a name holding '\\' or "." cannot be looked up again
        if (read && (found->isDirectory || bytes.size() != found->size)) std::abort();
        if (child.isDirectory) Walk(image, child, path, budget);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::WriteSeedsIfAsked(*argc, *argv, WriteSeeds);
    scratchPath = ScratchPath();
    scratchFd = ::open(scratchPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (scratchFd < 0) {
        std::perror("scratch image");
        std::exit(1);
    }
    std::atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (::ftruncate(scratchFd, 0) != 0) std::abort();
    if (size > 0 && ::pwrite(scratchFd, data, size, kDescriptorOffset) != static_cast<ssize_t>(size)) std::abort();

    DiscImage image;
    std::string err;
    if (!image.Open(scratchPath, err)) {
        if (err != "cannot open the file" && err != "no Xbox disc image" && err != "its folders cannot be read") {
            std::abort();
        }
        return 0;
    }
    int budget = 512;
    Walk(image, image.root, "", budget);
    std::vector<unsigned char> bytes;
    image.ReadFile("default.xbe", bytes);
    image.FindPath("..\\.\\\\x\\..");
    return 0;
}
