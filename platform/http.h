#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace launcher {

// Takes one chunk of an HTTP body; returns whether to go on. Must not be empty.
using ChunkSink = std::function<bool(const char* data, uint64_t size)>;

// What a resumed request names beside its range, and what an answer tells of the resource. The answer's
// part is filled once its head is in, before the first chunk is handed on.
struct HttpExchange {
    // With a range: the validator of the bytes the caller already has (sent as If-Range). A resource
    // that no longer matches it comes whole, and `start` is then 0.
    std::string ifRange;

    uint64_t start = 0;       // where in the resource the first byte handed on stands
    std::string validator;    // the answer's strong ETag, else its Last-Modified; empty when it has neither
    bool tooSlow = false;     // the low-speed limit ended the transfer
};

// One blocking GET of a whole resource, or of its tail from a byte offset.
class Http {
public:
    virtual ~Http() = default;
    // Hands the body from `from` on to `sink` (from byte 0 when `exchange` names a validator the resource
    // no longer matches). `total`, when given, receives the size of the whole resource as far as the
    // answer tells it. On failure `err` holds one short sentence. A set `stop` ends the request within
    // about a second in every state of the transfer, also while the server sends nothing, with "stopped".
    virtual bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total,
                     std::string& err, const std::atomic<bool>* stop = nullptr,
                     HttpExchange* exchange = nullptr) = 0;
};

// Time limits of one request; the defaults are the launcher's. A receive limit is the longest wait for
// the answer or for the next bytes of the body. The low-speed limit ends a transfer that brings fewer
// than `lowSpeedBytes` a second over `lowSpeedMs`, counted from the request on.
struct HttpTimeouts {
    int resolveMs = 15000;
    int connectMs = 15000;
    int sendMs = 30000;
    int receiveMs = 60000;
    uint64_t lowSpeedBytes = 1000;
    int lowSpeedMs = 60000;
};

// The low-speed limit of one transfer, looked at whenever the client can: too slow once fewer than
// lowSpeedBytes * lowSpeedMs / 1000 bytes have come since the last time that many had.
class SpeedWatch {
public:
    using Clock = std::chrono::steady_clock;
    SpeedWatch(const HttpTimeouts& limits, Clock::time_point start);
    // `received`: the bytes that have come so far.
    bool TooSlow(Clock::time_point now, uint64_t received);
    // "the server is too slow (under N bytes a second for M seconds)"
    std::string Sentence() const;

private:
    uint64_t bytesPerSecond_;
    std::chrono::milliseconds window_;
    uint64_t needed_;
    Clock::time_point markTime_;
    uint64_t markBytes_ = 0;
};

// What both clients read from the final answer's head before its body flows.
struct AnswerHead {
    long status = 0;
    bool hasLength = false;
    std::string length;  // the Content-Length value as sent
    bool hasRange = false;
    std::string range;   // the Content-Range value as sent
    std::string encoding;      // Content-Encoding; empty when none was sent
    std::string etag;          // ETag; empty when none was sent
    std::string lastModified;  // Last-Modified; empty when none was sent
};

// How the body of an accepted answer is taken.
struct AnswerPlan {
    bool hasLength = false;
    uint64_t length = 0;  // bytes the answer announces (0 when it announces none)
    uint64_t total = 0;   // size of the whole resource as far as the answer tells it
    uint64_t skip = 0;    // leading bytes the caller already has (a 200 to a ranged request)
    uint64_t start = 0;   // where in the resource the first byte handed on stands
    std::string validator;  // a strong ETag, else Last-Modified
};

// Accepts a 200 or 206 answer to a GET from byte `from`: a partial answer must begin exactly at `from`
// (bytes from elsewhere would be spliced into the caller's file), the lengths must be numbers that fit
// and agree, and the body must come as it is (it was asked for with "Accept-Encoding: identity"). A 200
// is taken whole when `wholeOn200` (If-Range was sent: a 200 means the resource changed); otherwise its
// first `from` bytes are skipped. False with the sentence for the caller otherwise.
bool PlanAnswer(const AnswerHead& head, uint64_t from, bool wholeOn200, const std::string& url, AnswerPlan& plan,
                std::string& err);

// The address a Location header sends to, from the address that answered: absolute, scheme-relative,
// host-relative or relative to the answering path.
std::string ResolveLocation(const std::string& base, const std::string& location);

// The extra request headers both clients send, each line ending in CR LF: the range from `from` (none
// for 0), If-Range with `ifRange` (only with a range) and "Accept-Encoding: identity".
std::string RequestHeaders(uint64_t from, const std::string& ifRange);

// User agent "Kestrel launcher/1.0"; follows redirects (308 too) and keeps the request's headers across them.
std::unique_ptr<Http> MakeHttp();
std::unique_ptr<Http> MakeHttp(const HttpTimeouts& timeouts);

}  // namespace launcher
