#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace launcher {

// Takes one chunk of an HTTP body; returns whether to go on. Must not be empty.
using ChunkSink = std::function<bool(const char* data, uint64_t size)>;

// One blocking GET of a whole resource, or of its tail from a byte offset.
class Http {
public:
    virtual ~Http() = default;
    // Hands the body from `from` on to `sink`. `total`, when given, receives the size of the whole
    // resource as far as the answer tells it. On failure `err` holds one short sentence.
    virtual bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total,
                     std::string& err) = 0;
};

std::unique_ptr<Http> MakeHttp();

}  // namespace launcher
