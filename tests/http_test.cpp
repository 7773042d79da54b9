// One suite for both Http implementations: natively it runs against libcurl, in the Windows test binary
// (under Wine) against WinHTTP, with the same loopback server on the same side.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/http.h"
#include "support/http_server.h"
#include "support/test_support.h"

namespace launcher {
namespace {

// "what (code: text)": the system's (or the library's) error code and its words.
::testing::AssertionResult HasCodeAndText(const std::string& err, const std::string& what) {
    const std::string head = what + " (";
    size_t i = head.size();
    bool ok = err.compare(0, head.size(), head) == 0 && err.size() > i && err.back() == ')';
    size_t digits = i;
    while (ok && digits < err.size() && err[digits] >= '0' && err[digits] <= '9') ++digits;
    ok = ok && digits > i && err.compare(digits, 2, ": ") == 0 && err.size() > digits + 3;
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << err << "\" is not \"" << what << " (code: text)\"";
}

struct Fetched {
    bool ok = false;
    std::string body;
    uint64_t total = 12345;  // a value Get must overwrite
    std::string err;
    size_t chunks = 0;
};

class HttpTest : public ::testing::Test {
protected:
    Fetched Fetch(const std::string& path, uint64_t from, Http* client = nullptr) {
        return FetchUrl(server.Url(path), from, client);
    }
    Fetched FetchUrl(const std::string& url, uint64_t from, Http* client = nullptr) {
        Fetched f;
        ChunkSink sink = [&f](const char* data, uint64_t size) {
            f.body.append(data, static_cast<size_t>(size));
            ++f.chunks;
            return true;
        };
        f.ok = (client ? *client : *http).Get(url, from, sink, &f.total, f.err);
        return f;
    }

    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
};

TEST_F(HttpTest, WholeResourceWithoutRangeHeader) {
    ASSERT_TRUE(server.ok());
    const std::string body = test::TestBytes(200000);
    server.ServeBody("/file.bin", body);
    Fetched f = Fetch("/file.bin", 0);
    ASSERT_TRUE(f.ok) << f.err;
    EXPECT_EQ(f.body, body);
    EXPECT_EQ(f.total, body.size());
    EXPECT_TRUE(f.err.empty());
    auto seen = server.Requests("/file.bin");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].range, "");
    EXPECT_EQ(seen[0].userAgent, "Kestrel launcher/1.0");
}

// How a resumed request comes out for each way a server may answer it.
TEST_F(HttpTest, ResumedRequestsAndTheTotalTheyReport) {
    struct Case {
        const char* name;
        size_t size;
        uint64_t from;
        bool ignoreRange;
        bool sendLength;
        uint64_t total;
        int64_t partLimit = -1;
    };
    const Case cases[] = {
        // 206 with Content-Length 1000 after 500 bytes: the whole resource is 1500.
        {"206", 1500, 500, false, true, 1500},
        // 200 to a ranged request: the first bytes are dropped even across several reads.
        {"200 ignoring the range", 300000, 200000, true, true, 300000},
        {"200 ignoring a range inside the first read", 1500, 500, true, true, 1500},
        // 206 without a length: its range tells the size.
        {"206 without a length", 1500, 500, false, false, 1500},
        {"200 without a length", 1500, 0, false, false, 0},
        // A part that ends before the resource does is taken as it is; the total still is the resource's.
        {"206 of only a part", 1500, 500, false, true, 1500, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string body = test::TestBytes(c.size, 7);
        test::Route route;
        route.body = body;
        route.ignoreRange = c.ignoreRange;
        route.sendLength = c.sendLength;
        route.partLimit = c.partLimit;
        server.Serve("/r.bin", route);
        server.ClearRequests();
        Fetched f = Fetch("/r.bin", c.from);
        ASSERT_TRUE(f.ok) << f.err;
        const size_t expected = c.partLimit >= 0 ? static_cast<size_t>(c.partLimit) : std::string::npos;
        EXPECT_TRUE(f.body == body.substr(c.from, expected)) << "got " << f.body.size() << " bytes";
        EXPECT_EQ(f.total, c.total);
        auto seen = server.Requests("/r.bin");
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].range, c.from ? "bytes=" + std::to_string(c.from) + "-" : "");
    }
}

TEST_F(HttpTest, StatusOtherThan200Or206IsAnError) {
    server.ServeBody("/small", "0123456789");
    for (int status : {404, 500, 503}) {
        test::Route route;
        route.status = status;
        server.Serve("/s", route);
        Fetched f = Fetch("/s", 0);
        EXPECT_FALSE(f.ok);
        EXPECT_EQ(f.err, "the server answered " + std::to_string(status) + " for " + server.Url("/s"));
        EXPECT_TRUE(f.body.empty());
        EXPECT_EQ(f.total, 12345u) << "the total is only set for a good answer";
    }
    Fetched missing = Fetch("/nothing/here", 0);
    EXPECT_EQ(missing.err, "the server answered 404 for " + server.Url("/nothing/here"));
    // A range that starts at or past the end.
    for (uint64_t from : {10u, 11u}) {
        Fetched f = Fetch("/small", from);
        EXPECT_FALSE(f.ok);
        EXPECT_EQ(f.err, "the server answered 416 for " + server.Url("/small"));
    }
}

// A partial answer is only taken when it is the part asked for, and lengths must be numbers that fit:
// otherwise bytes from elsewhere would be spliced into the caller's file. A part may end before the
// resource does; the total is the resource's size all the same.
TEST(PlanAnswer, RefusesPartsFromElsewhereAndLengthsThatDoNotFit) {
    const std::string wrongPart = "the server answered with another part of u than the one asked for";
    const std::string badLength = "the server answered with an unusable length for u";
    const std::string encoded = "the server sent u encoded (gzip), which was not asked for";
    struct Case {
        const char* name;
        long status;
        const char* length;  // nullptr: no Content-Length
        const char* range;   // nullptr: no Content-Range
        uint64_t from;
        std::string err;     // empty: taken
        uint64_t total;
        uint64_t skip;
        bool wholeOn200 = false;  // If-Range was sent
        const char* encoding = "";
    };
    const Case cases[] = {
        {"whole answer", 200, "1000", nullptr, 0, "", 1000, 0},
        {"whole answer to a ranged request", 200, "1000", nullptr, 300, "", 1000, 300},
        {"no length", 200, nullptr, nullptr, 0, "", 0, 0},
        {"part asked for", 206, "700", "bytes 300-999/1000", 300, "", 1000, 0},
        {"part asked for, size unknown, any case", 206, " 700 ", "Bytes 300-999/*", 300, "", 1000, 0},
        {"part without a length", 206, nullptr, "bytes 300-999/1000", 300, "", 1000, 0},
        {"part that ends before the resource", 206, "300", "bytes 300-599/1000", 300, "", 1000, 0},
        {"part whose length is not its range's", 206, "700", "bytes 300-599/1000", 300, badLength, 0, 0},
        {"size that is no number", 206, "700", "bytes 300-999/many", 300, wrongPart, 0, 0},
        {"size inside the range", 206, "700", "bytes 300-999/999", 300, wrongPart, 0, 0},
        {"a changed resource, sent whole after If-Range", 200, "1000", nullptr, 300, "", 1000, 0, true},
        {"encoded though not asked for", 200, "1000", nullptr, 0, encoded, 0, 0, false, "gzip"},
        {"encoded as it is", 200, "1000", nullptr, 0, "", 1000, 0, false, "Identity"},
        {"part from the start", 206, "1000", "bytes 0-999/1000", 0, "", 1000, 0},
        {"part from elsewhere", 206, "1000", "bytes 0-999/1000", 300, wrongPart, 0, 0},
        {"part without its range", 206, "700", nullptr, 300, wrongPart, 0, 0},
        {"range of another unit", 206, "700", "items 300-999/1000", 300, wrongPart, 0, 0},
        {"garbled range", 206, "700", "bytes 300/1000", 300, wrongPart, 0, 0},
        {"range start past 64 bits", 206, "700", "bytes 18446744073709551916-18446744073709551999/*", 300,
         wrongPart, 0, 0},
        {"length past 64 bits", 200, "18446744073709551616", nullptr, 0, badLength, 0, 0},
        {"length and offset past 64 bits", 206, "18446744073709551615", "bytes 300-999/*", 300, badLength, 0, 0},
        {"length that is no number", 200, "12abc", nullptr, 0, badLength, 0, 0},
        {"other status", 416, "20", nullptr, 300, "the server answered 416 for u", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AnswerHead head;
        head.status = c.status;
        head.hasLength = c.length != nullptr;
        head.length = c.length ? c.length : "";
        head.hasRange = c.range != nullptr;
        head.range = c.range ? c.range : "";
        head.encoding = c.encoding;
        AnswerPlan plan;
        std::string err = "kept";
        EXPECT_EQ(PlanAnswer(head, c.from, c.wholeOn200, "u", plan, err), c.err.empty());
        EXPECT_EQ(err, c.err.empty() ? "kept" : c.err);
        if (c.err.empty()) {
            EXPECT_EQ(plan.total, c.total);
            EXPECT_EQ(plan.skip, c.skip);
            EXPECT_EQ(plan.start, c.wholeOn200 && c.status == 200 ? 0 : c.from);
        }
    }
}

// Both clients refuse such answers before handing on a byte.
TEST_F(HttpTest, PartFromElsewhereOrAnImpossibleLengthHandsNothingOn) {
    const std::string body = test::TestBytes(1500, 3);
    test::Route elsewhere;
    elsewhere.body = body;
    elsewhere.answerFrom = 0;
    server.Serve("/elsewhere.bin", elsewhere);
    test::Route huge;
    huge.body = body;
    huge.length = "18446744073709551615";
    server.Serve("/huge.bin", huge);

    Fetched f = Fetch("/elsewhere.bin", 500);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.err, "the server answered with another part of " + server.Url("/elsewhere.bin") +
                         " than the one asked for");
    EXPECT_EQ(f.chunks, 0u);
    EXPECT_EQ(f.total, 12345u);

    f = Fetch("/huge.bin", 500);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.err, "the server answered with an unusable length for " + server.Url("/huge.bin"));
    EXPECT_EQ(f.chunks, 0u);
}

TEST_F(HttpTest, QueryIsKeptInTheRequest) {
    server.ServeBody("/api/list", "[]");
    Fetched f = Fetch("/api/list?page=2&per_page=100", 0);
    ASSERT_TRUE(f.ok) << f.err;
    EXPECT_EQ(f.body, "[]");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].target, "/api/list?page=2&per_page=100");
}

TEST_F(HttpTest, SinkRefusingAChunkStops) {
    server.ServeBody("/big", test::TestBytes(500000));
    std::string err = "earlier";
    int calls = 0;
    ChunkSink refuse = [&calls](const char*, uint64_t) {
        ++calls;
        return false;
    };
    EXPECT_FALSE(http->Get(server.Url("/big"), 0, refuse, nullptr, err));
    EXPECT_EQ(err, "stopped");
    EXPECT_EQ(calls, 1);
}

TEST_F(HttpTest, SuccessLeavesTheErrorTextAlone) {
    server.ServeBody("/x", "x");
    std::string err = "from before";
    std::string body;
    ChunkSink sink = [&body](const char* d, uint64_t n) {
        body.append(d, static_cast<size_t>(n));
        return true;
    };
    ASSERT_TRUE(http->Get(server.Url("/x"), 0, sink, nullptr, err));
    EXPECT_EQ(body, "x");
    EXPECT_EQ(err, "from before");
}

TEST_F(HttpTest, EmptyBody) {
    server.ServeBody("/empty", "");
    Fetched f = Fetch("/empty", 0);
    ASSERT_TRUE(f.ok) << f.err;
    EXPECT_EQ(f.chunks, 0u);
    EXPECT_EQ(f.total, 0u);
}

TEST_F(HttpTest, RedirectIsFollowedAndKeepsTheRange) {
    const std::string body = test::TestBytes(5000, 3);
    server.ServeBody("/assets/real.bin", body);
    for (int status : {302, 307, 308}) {
        SCOPED_TRACE(status);
        test::Route moved;
        moved.redirect = "/assets/real.bin";
        moved.redirectStatus = status;
        server.Serve("/download/launcher.exe", moved);

        Fetched whole = Fetch("/download/launcher.exe", 0);
        ASSERT_TRUE(whole.ok) << whole.err;
        EXPECT_EQ(whole.body, body);

        server.ClearRequests();
        Fetched tail = Fetch("/download/launcher.exe", 300);
        ASSERT_TRUE(tail.ok) << tail.err;
        EXPECT_TRUE(tail.body == body.substr(300));
        EXPECT_EQ(tail.total, body.size());
        auto seen = server.Requests();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].target, "/download/launcher.exe");
        EXPECT_EQ(seen[0].range, "bytes=300-");
        EXPECT_EQ(seen[1].target, "/assets/real.bin");
        EXPECT_EQ(seen[1].method, "GET");
        EXPECT_EQ(seen[1].range, "bytes=300-") << "the Range header must survive the redirect";
    }
}

TEST(ResolveLocation, EveryFormOfAddress) {
    const std::string base = "http://h:1/a/b/c.bin?x=1";
    const std::pair<const char*, const char*> cases[] = {
        {"https://other/x", "https://other/x"},
        {"//other/x", "http://other/x"},
        {"/x/y", "http://h:1/x/y"},
        {"d.bin", "http://h:1/a/b/d.bin"},
        {"?y=2", "http://h:1/a/b/c.bin?y=2"},
        {"sub/d.bin?q=a:b", "http://h:1/a/b/sub/d.bin?q=a:b"},
    };
    for (const auto& [location, resolved] : cases) EXPECT_EQ(ResolveLocation(base, location), resolved) << location;
    EXPECT_EQ(ResolveLocation("http://h", "x"), "http://h/x");
}

// Chunked answers, with chunks smaller and larger than a read, come whole; a part of one too.
TEST_F(HttpTest, ChunkedAnswersComeWhole) {
    const std::string body = test::TestBytes(300000, 21);
    for (int64_t chunk : {1000, 8192, 65536, 200000}) {
        for (uint64_t from : {0u, 70000u}) {
            SCOPED_TRACE(std::to_string(chunk) + " from " + std::to_string(from));
            test::Route route;
            route.body = body;
            route.chunkSize = chunk;
            server.Serve("/chunked", route);
            Fetched f = Fetch("/chunked", from);
            ASSERT_TRUE(f.ok) << f.err;
            EXPECT_TRUE(f.body == body.substr(from)) << f.body.size();
            EXPECT_EQ(f.total, from ? body.size() : 0u);
        }
    }
}

// Answers are asked for as they are; an encoded one (its bytes are not the resource's) is refused before
// a byte is handed on.
TEST_F(HttpTest, AnEncodedBodyIsRefused) {
    const std::string body = test::TestBytes(3000, 4);
    test::Route route;
    route.body = body;
    route.contentEncoding = "gzip";
    server.Serve("/packed", route);
    Fetched f = Fetch("/packed", 0);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.err, "the server sent " + server.Url("/packed") + " encoded (gzip), which was not asked for");
    EXPECT_EQ(f.chunks, 0u);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].acceptEncoding, "identity");

    route.contentEncoding = "identity";
    server.Serve("/packed", route);
    f = Fetch("/packed", 0);
    ASSERT_TRUE(f.ok) << f.err;
    EXPECT_TRUE(f.body == body);
}

// A resumed request names the bytes it has (If-Range); the answer tells which validator the resource has
// and where the bytes handed on start.
TEST_F(HttpTest, IfRangeAndTheValidatorOfTheAnswer) {
    const std::string body = test::TestBytes(5000, 8);
    const std::string date = "Wed, 21 Oct 2015 07:28:00 GMT";
    struct Case {
        const char* name;
        const char* etag;
        const char* lastModified;
        const char* ifRange;
        uint64_t start;
        const char* validator;
    } cases[] = {
        {"the same resource", "\"v1\"", date.c_str(), "\"v1\"", 1000, "\"v1\""},
        {"a resource that changed", "\"v2\"", date.c_str(), "\"v1\"", 0, "\"v2\""},
        {"a weak ETag: the date names it", "W/\"v1\"", date.c_str(), date.c_str(), 1000, date.c_str()},
        {"no validator at all", "", "", "\"v1\"", 0, ""},
        {"no If-Range: the part", "\"v1\"", "", "", 1000, "\"v1\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Route route;
        route.body = body;
        route.etag = c.etag;
        route.lastModified = c.lastModified;
        server.Serve("/v.bin", route);
        server.ClearRequests();
        HttpExchange exchange;
        exchange.ifRange = c.ifRange;
        std::string got;
        std::string err;
        uint64_t total = 0;
        ChunkSink sink = [&](const char* data, uint64_t size) {
            EXPECT_EQ(exchange.start, c.start) << "told before the first chunk";
            got.append(data, static_cast<size_t>(size));
            return true;
        };
        ASSERT_TRUE(http->Get(server.Url("/v.bin"), 1000, sink, &total, err, nullptr, &exchange)) << err;
        EXPECT_TRUE(got == body.substr(c.start)) << got.size();
        EXPECT_EQ(exchange.start, c.start);
        EXPECT_EQ(exchange.validator, c.validator);
        EXPECT_EQ(total, body.size());
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].ifRange, c.ifRange);
    }
}

// The low-speed limit ends a transfer that crawls, with a sentence that says why; a slow server above it
// is waited for.
TEST_F(HttpTest, LowSpeedLimit) {
    HttpTimeouts limits;
    limits.lowSpeedBytes = 100;
    limits.lowSpeedMs = 1000;
    std::unique_ptr<Http> strict = MakeHttp(limits);
    const std::string body = test::TestBytes(600, 6);
    test::Route route;
    route.body = body;
    route.dripMs = 100;  // 10 bytes a second
    server.Serve("/crawl", route);
    // 2500 bytes a second, in steps coarse enough that a timer of a loaded machine (or Wine's, which
    // waits some 10 ms for 2) keeps it well above the limit.
    route.dripMs = 20;
    route.dripBytes = 50;
    server.Serve("/slow", route);

    const auto start = std::chrono::steady_clock::now();
    HttpExchange exchange;
    std::string err;
    std::string got;
    ChunkSink sink = [&got](const char* data, uint64_t size) {
        got.append(data, static_cast<size_t>(size));
        return true;
    };
    EXPECT_FALSE(strict->Get(server.Url("/crawl"), 0, sink, nullptr, err, nullptr, &exchange));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(err, "the server is too slow (under 100 bytes a second for 1 second)");
    EXPECT_TRUE(exchange.tooSlow);
    EXPECT_TRUE(got == body.substr(0, got.size()));
    EXPECT_GT(got.size(), 0u) << "bytes come one by one, not once a whole buffer is there";

    Fetched slow = Fetch("/slow", 0, strict.get());
    ASSERT_TRUE(slow.ok) << slow.err;
    EXPECT_TRUE(slow.body == body);
}

TEST_F(HttpTest, RefusedConnectionCannotReachTheServer) {
    const std::string url = "http://127.0.0.1:" + std::to_string(test::net::UnusedLoopbackPort()) + "/x";
    Fetched f = FetchUrl(url, 0);
    EXPECT_FALSE(f.ok);
    // The system's code and words, e.g. "(111: Connection refused)" or "(12029: ...)".
    EXPECT_TRUE(HasCodeAndText(f.err, "cannot reach the server"));
}

TEST_F(HttpTest, AddressThatCannotBeSplit) {
    for (const std::string url : {"not an address", "ftp://127.0.0.1/file", "http://", ""}) {
        Fetched f = FetchUrl(url, 0);
        EXPECT_FALSE(f.ok) << url;
        EXPECT_EQ(f.err, "bad address " + url);
    }
}

TEST_F(HttpTest, ConnectionDroppedMidBodyIsABrokenDownload) {
    const std::string body = test::TestBytes(300000, 5);
    test::Route route;
    route.body = body;
    route.dropAfter = 100000;
    server.Serve("/drop", route);
    Fetched f = Fetch("/drop", 0);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.err.rfind("the download stopped (", 0), 0u) << f.err;
    // What did arrive is the true beginning of the resource.
    EXPECT_LE(f.body.size(), 100000u);
    EXPECT_TRUE(f.body == body.substr(0, f.body.size()));
}

TEST_F(HttpTest, ShortStallsAreWaitedOut) {
    const std::string body = test::TestBytes(200000, 9);
    test::Route route;
    route.body = body;
    route.stallBeforeHeadersMs = 300;
    route.stallAfter = 70000;
    route.stallMs = 300;
    server.Serve("/slow", route);
    Fetched f = Fetch("/slow", 0);
    ASSERT_TRUE(f.ok) << f.err;
    EXPECT_TRUE(f.body == body);
}

// A server that goes silent must not hold the launcher for ever: the receive limit ends the wait.
TEST_F(HttpTest, SilentServerHitsTheReceiveLimit) {
    HttpTimeouts limits;
    limits.receiveMs = 1000;
    std::unique_ptr<Http> quick = MakeHttp(limits);

    const std::string body = test::TestBytes(200000, 11);
    test::Route beforeHeaders;
    beforeHeaders.body = body;
    beforeHeaders.stallBeforeHeadersMs = 8000;
    server.Serve("/silent-head", beforeHeaders);
    Fetched head = Fetch("/silent-head", 0, quick.get());
    EXPECT_FALSE(head.ok);
    EXPECT_TRUE(HasCodeAndText(head.err, "the request failed"));

    test::Route midBody;
    midBody.body = body;
    midBody.stallAfter = 100000;
    midBody.stallMs = 8000;
    server.Serve("/silent-body", midBody);
    Fetched mid = Fetch("/silent-body", 0, quick.get());
    EXPECT_FALSE(mid.ok);
    EXPECT_TRUE(HasCodeAndText(mid.err, "the download stopped"));
    EXPECT_TRUE(mid.body == body.substr(0, mid.body.size()));
}

// A stop is seen within about a second wherever the request waits for a server that has gone silent,
// not only when the next chunk comes (which may be never, or the receive limit later).
TEST_F(HttpTest, StopEndsTheWaitForASilentServer) {
    struct Case {
        const char* name;
        int stallBeforeHeadersMs;
        int64_t stallAfter;
        int64_t chunkSize = 0;
        int dripMs = 0;
    };
    const Case cases[] = {
        {"before the headers", 30000, -1},
        {"after the headers, before any byte", 0, 0},
        {"in the middle of the body", 0, 100000},
        {"a few bytes in", 0, 100},
        {"a few bytes past a full read", 0, 65536 + 100},
        {"chunked, at the end of a small chunk", 0, 3000, 1000},
        {"chunked, inside a small chunk", 0, 2500, 1000},
        {"chunked, at the end of an 8 KiB chunk", 0, 2 * 8192, 8192},
        {"chunked, at the end of a 64 KiB chunk", 0, 65536, 65536},
        {"chunked, inside a 64 KiB chunk", 0, 65536 + 3000, 65536},
        {"one byte a second", 0, -1, 0, 1000},
    };
    const std::string body = test::TestBytes(300000, 13);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Route route;
        route.body = body;
        route.stallBeforeHeadersMs = c.stallBeforeHeadersMs;
        route.stallAfter = c.stallAfter;
        route.stallMs = c.stallAfter >= 0 ? 30000 : 0;
        route.chunkSize = c.chunkSize;
        route.dripMs = c.dripMs;
        server.Serve("/silent", route);

        std::atomic<bool> stop{false};
        std::string received;
        ChunkSink sink = [&received](const char* data, uint64_t size) {
            received.append(data, static_cast<size_t>(size));
            return true;
        };
        test::StopLater stopper(stop, 300);
        const auto start = std::chrono::steady_clock::now();
        std::string err;
        const bool ok = http->Get(server.Url("/silent"), 0, sink, nullptr, err, &stop);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(ok);
        EXPECT_EQ(err, "stopped");
        EXPECT_LT(waited, std::chrono::seconds(2));
        EXPECT_TRUE(received == body.substr(0, received.size()));
        EXPECT_LE(received.size(), c.stallAfter >= 0 ? static_cast<size_t>(c.stallAfter) : c.dripMs > 0 ? 2u : 0u);
    }
}

}  // namespace
}  // namespace launcher
