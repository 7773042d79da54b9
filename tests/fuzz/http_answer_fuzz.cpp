// libFuzzer target for what both HTTP clients read from a server before a body flows: the answer's head
// as PlanAnswer takes it, and a Location header as ResolveLocation takes it. An input is lines: the
// offset asked from, the status, Content-Length, Content-Range, Content-Encoding, ETag, Last-Modified
// and a Location; a missing line is a missing header. An answer that is taken must hand on bytes that
// start where they were asked for (or at 0, the whole resource), and no refusal may come without a
// sentence.
//   http_answer_fuzz --write-seeds DIR   writes seed inputs.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds.h"
#include "platform/http.h"

namespace {

using namespace launcher;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size() && lines.size() < 8) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

uint64_t Number(const std::string& text) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

int WriteSeeds(const std::filesystem::path& dir) {
    return fuzz::WriteSeedFiles(dir, {
        "0\n200\n1000\n\n\n\"abc\"\n\n",
        "300\n206\n700\nbytes 300-999/1000\nidentity\nW/\"x\"\nWed, 21 Oct 2015 07:28:00 GMT\n",
        "300\n206\n300\nbytes 300-599/*\n\n\n\n",
        "300\n200\n1000\n\ngzip\n\n\n",
        "0\n308\n\n\n\n\n\n/a/b?c=d",
        "0\n302\n\n\n\n\n\n//host:8080/x",
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::WriteSeedsIfAsked(*argc, *argv, WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> lines = Lines(std::string(reinterpret_cast<const char*>(data), size));
    auto line = [&](size_t i) { return i < lines.size() ? lines[i] : std::string(); };
    const uint64_t from = Number(line(0));
    AnswerHead head;
    head.status = static_cast<long>(Number(line(1)) % 1000);
    head.hasLength = lines.size() > 2;
    head.length = line(2);
    head.hasRange = lines.size() > 3;
    head.range = line(3);
    head.encoding = line(4);
    head.etag = line(5);
    head.lastModified = line(6);
    for (const bool wholeOn200 : {false, true}) {
        AnswerPlan plan;
        std::string err;
        if (PlanAnswer(head, from, wholeOn200, "u", plan, err)) {
            if (plan.start != from && !(plan.start == 0 && wholeOn200 && head.status == 200)) std::abort();
            if (plan.skip != 0 && plan.skip != from) std::abort();
            if (head.status == 206 && plan.hasLength && plan.total != 0 && plan.total < from + plan.length) std::abort();
        } else if (err.empty()) {
            std::abort();
        }
    }
    ResolveLocation("http://h:1/a/b?q", line(7));
    return 0;
}
