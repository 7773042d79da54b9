#pragma once

// An HTTP/1.1 server on 127.0.0.1 for the tests, in the test's own process: it serves files and JSON,
// honours "Range: bytes=N-", and injects the faults a flaky connection shows. It stops with the object.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/net.h"

namespace launcher::test {

// Reproducible bytes that vary at every position (a shifted copy never matches), for bodies and files.
std::string TestBytes(size_t size, uint32_t seed = 1);

// One request as the server received it.
struct SeenRequest {
    std::string method;
    std::string target;     // path with its query
    std::string range;      // the Range header's value; empty when there was none
    std::string userAgent;
};

// How the server answers one path. The faults (from `status` on) apply to the first `faultyAnswers`
// answers of the route and then stop, so a test can let a download fail N times and then succeed;
// -1 keeps them for every answer.
struct Route {
    std::string body;                 // the resource
    std::filesystem::path file;       // or a file, streamed from disk (for large resources)
    std::string contentType = "application/octet-stream";
    std::string redirect;             // answer 302 with this Location ("/path" is made absolute)
    bool sendLength = true;           // false: no Content-Length; the body ends when the connection closes

    int status = 0;                   // answer this status (404, 416, 500...) with a short text body
    bool ignoreRange = false;         // answer 200 with the whole body even to a ranged request
    int64_t dropAfter = -1;           // close the connection after this many bytes of the answer's body
    int stallBeforeHeadersMs = 0;     // wait this long before the status line
    int64_t stallAfter = -1;          // wait `stallMs` after this many bytes of the answer's body
    int stallMs = 0;
    bool corrupt = false;             // flip the last byte of the answer: the published digest no longer fits
    int64_t answerFrom = -1;          // answer a ranged request from this offset instead (a true Content-Range)
    std::string length;               // send this Content-Length value instead, and close after the body
    int faultyAnswers = -1;
};

// A route that answers only with `status` (404, 500...).
inline Route StatusRoute(int status) {
    Route route;
    route.status = status;
    return route;
}

class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool ok() const { return listener_ != net::kNoSocket; }
    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by the path.
    std::string Url(const std::string& path) const;

    // Adds or replaces the route for a path (matched with its query first, then without it).
    void Serve(const std::string& path, Route route);
    void ServeBody(const std::string& path, std::string body);
    void ServeJson(const std::string& path, std::string json);
    // Every file below `folder` as prefix + its '/'-separated relative path, read when asked for (so
    // the folder may change between requests); the query is ignored. Routes of Serve come first. For
    // static git repositories ("git update-server-info" writes the files a dumb-HTTP client reads).
    void ServeFolder(const std::string& prefix, const std::filesystem::path& folder);
    // The code host's latest-release answer for owner/name.
    void ServeLatestRelease(const std::string& owner, const std::string& name, std::string json);

    // Requests received so far, in order; with a path, only those for it (the query ignored).
    std::vector<SeenRequest> Requests() const;
    std::vector<SeenRequest> Requests(const std::string& path) const;
    void ClearRequests();

private:
    struct Entry {
        Route route;
        int answers = 0;
    };
    void AcceptLoop();
    void Connection(net::Socket s);
    // False when the connection is to be closed afterwards.
    bool Answer(net::Socket s, const SeenRequest& request);
    bool SendBody(net::Socket s, const Route& route, uint64_t from, uint64_t count, bool faulty,
                  bool& dropped);
    // Sleeps up to `ms`; returns early (false) when the server stops.
    bool Pause(int ms);

    net::Socket listener_ = net::kNoSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, std::shared_ptr<Entry>> routes_;
    std::map<std::string, std::filesystem::path> folders_;
    std::vector<SeenRequest> seen_;
    std::set<net::Socket> open_;
    std::vector<std::thread> workers_;
};

}  // namespace launcher::test
