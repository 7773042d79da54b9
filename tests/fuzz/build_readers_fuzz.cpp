// libFuzzer target for what the build from source reads: git's output lines, Ninja's status lines and
// the record an install keeps beside the play folder. The first byte of an input chooses the reader; the
// rest is its text:
//   0  git's lines (one per line of the text)   1  Ninja's lines   2  the install's record
// No reader may crash or throw; a record that is read is written and read back the same.
//   build_readers_fuzz --write-seeds DIR   writes seed inputs.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "build/source_build.h"
#include "fuzz/seeds.h"

namespace {

using namespace launcher;

void ReadLines(const std::string& text, bool git) {
    std::istringstream in(text);
    launcher::GitFailure failure;
    for (std::string line; std::getline(in, line);) {
        std::string phase, detail;
        double fraction = 0;
        if (git) {
            ReadGitProgress(line, phase, fraction);
            failure.Feed(line);
        } else {
            ReadBuildProgress(line, detail, fraction);
        }
    }
    if (git) GitFailedSentence({"clone", "--progress"}, failure.Reason(), 128);
}

void ReadRecord(const std::string& text) {
    InstallJournal journal;
    if (!ReadInstallJournal(text, journal)) return;
    InstallJournal again;
    if (!ReadInstallJournal(WriteInstallJournal(journal), again) || again.done != journal.done ||
        again.files.size() != journal.files.size()) {
        std::abort();
    }
}

int WriteSeeds(const std::filesystem::path& dir) {
    return fuzz::WriteSeedFiles(dir, {
        std::string(1, '\0') + "Cloning into 'source'...\nReceiving objects:  45% (1234/2742)\nfatal: repository 'x' not found\n",
        std::string(1, '\0') + "error: unable to write file big.bin\nfatal: write error: No space left on device\n",
        std::string(1, '\1') + "[12/345] Building CXX object x.obj\n[ 5%] x/y\n[0/0] x\n",
        std::string(1, '\2') + R"({"done": false, "commit": "abc", "files": [{"name": "a.dll", "replaces": true}, {"name": "../b"}]})",
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::WriteSeedsIfAsked(*argc, *argv, WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: ReadLines(text, true); break;
        case 1: ReadLines(text, false); break;
        default: ReadRecord(text); break;
    }
    return 0;
}
