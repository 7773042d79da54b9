#pragma once

#include <atomic>
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
    // resource as far as the answer tells it. On failure `err` holds one short sentence. A set `stop`
    // ends the request within about a second, also while the server sends nothing, with "stopped".
    virtual bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total,
                     std::string& err, const std::atomic<bool>* stop = nullptr) = 0;
};

// Time limits of one request in milliseconds; the defaults are the launcher's. A receive limit is the
// longest wait for the answer or for the next bytes of the body.
struct HttpTimeouts {
    int resolveMs = 15000;
    int connectMs = 15000;
    int sendMs = 30000;
    int receiveMs = 60000;
};

// What both clients read from the final answer's head before its body flows.
struct AnswerHead {
    long status = 0;
    bool hasLength = false;
    std::string length;  // the Content-Length value as sent
    bool hasRange = false;
    std::string range;   // the Content-Range value as sent
};

// How the body of an accepted answer is taken.
struct AnswerPlan {
    bool hasLength = false;
    uint64_t length = 0;  // bytes the answer announces (0 when it announces none)
    uint64_t total = 0;   // size of the whole resource as far as the answer tells it
    uint64_t skip = 0;    // leading bytes the caller already has (a 200 to a ranged request)
};

// Accepts a 200 or 206 answer to a GET from byte `from`: a partial answer must begin exactly at `from`
// (bytes from elsewhere would be spliced into the caller's file), and the lengths must be numbers that
// fit. False with the sentence for the caller otherwise.
bool PlanAnswer(const AnswerHead& head, uint64_t from, const std::string& url, AnswerPlan& plan, std::string& err);

// User agent "Kestrel launcher/1.0"; follows redirects and keeps the Range header across them.
std::unique_ptr<Http> MakeHttp();
std::unique_ptr<Http> MakeHttp(const HttpTimeouts& timeouts);

}  // namespace launcher
