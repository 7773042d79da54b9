#include "support/http_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

namespace launcher::test {

namespace {

constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr int kIdleCloseMs = 30000;     // a connection that sends nothing for this long is closed
constexpr size_t kMaxConnections = 64;  // at once; more are refused by closing them
constexpr size_t kSendPiece = 1 << 20;

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string PathOnly(const std::string& target) { return target.substr(0, target.find('?')); }

// The file for `rest` (a '/'-separated path below a served folder); empty for a name that could leave
// the folder.
std::filesystem::path FileBelow(const std::filesystem::path& folder, const std::string& rest) {
    std::filesystem::path file = folder;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        const std::string part = rest.substr(start, end - start);
        if (part == "." || part == ".." || part.find('\\') != std::string::npos ||
            part.find(':') != std::string::npos) {
            return {};
        }
        if (!part.empty()) file /= part;
        start = end + 1;
    }
    return file;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 302: return "Found";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 404: return "Not Found";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// "bytes=N-" gives N; anything else (no header, other forms) counts as no range.
bool ParseRangeStart(const std::string& value, uint64_t& from) {
    const std::string prefix = "bytes=";
    if (value.compare(0, prefix.size(), prefix) != 0) return false;
    size_t i = prefix.size();
    if (i >= value.size() || value[i] < '0' || value[i] > '9') return false;
    uint64_t n = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) n = n * 10 + (value[i] - '0');
    if (i + 1 != value.size() || value[i] != '-') return false;
    from = n;
    return true;
}

}  // namespace

std::string TestBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

HttpServer::HttpServer() {
    listener_ = net::ListenLoopback(port_);
    if (listener_ != net::kNoSocket) acceptor_ = std::thread(&HttpServer::AcceptLoop, this);
}

HttpServer::~HttpServer() {
    // Every wait of the acceptor and the workers looks at this within a step, so the joins below end.
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (net::Socket s : open_) net::Shutdown(s);
        wake_.notify_all();
    }
    if (acceptor_.joinable()) acceptor_.join();
    // The acceptor has ended, so nothing adds to workers_ any more.
    for (std::thread& t : workers_) t.join();
    if (listener_ != net::kNoSocket) net::Close(listener_);
}

std::string HttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::Serve(const std::string& path, Route route) {
    auto entry = std::make_shared<Entry>();
    entry->route = std::move(route);
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::move(entry);
}

void HttpServer::ServeFolder(const std::string& prefix, const std::filesystem::path& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    folders_[prefix] = folder;
}

void HttpServer::ServeBody(const std::string& path, std::string body) {
    Route r;
    r.body = std::move(body);
    Serve(path, std::move(r));
}

void HttpServer::ServeJson(const std::string& path, std::string json) {
    Route r;
    r.body = std::move(json);
    r.contentType = "application/json";
    Serve(path, std::move(r));
}

void HttpServer::ServeLatestRelease(const std::string& owner, const std::string& name, std::string json) {
    ServeJson("/repos/" + owner + "/" + name + "/releases/latest", std::move(json));
}

std::vector<SeenRequest> HttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

std::vector<SeenRequest> HttpServer::Requests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SeenRequest> out;
    for (const SeenRequest& r : seen_) {
        if (PathOnly(r.target) == path) out.push_back(r);
    }
    return out;
}

void HttpServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
}

bool HttpServer::Pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_.load(); });
}

void HttpServer::AcceptLoop() {
    while (!stopping_) {
        int r = net::WaitReadable(listener_, net::kStepMs);
        if (r < 0) break;
        if (r == 0) continue;
        net::Socket c = net::Accept(listener_);
        if (c == net::kNoSocket) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || open_.size() >= kMaxConnections) {
            net::Close(c);
            continue;
        }
        open_.insert(c);
        workers_.emplace_back(&HttpServer::Connection, this, c);
    }
}

void HttpServer::Connection(net::Socket s) {
    std::string buffer;
    char piece[4096];
    bool keep = true;
    while (keep && !stopping_) {
        // Read one request head.
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > kMaxHeaderBytes) {
                keep = false;
                break;
            }
            int waited = 0;
            int r = 0;
            while (!stopping_ && waited < kIdleCloseMs && (r = net::WaitReadable(s, 50)) == 0) waited += 50;
            if (r <= 0 || stopping_) {
                keep = false;
                break;
            }
            long got = net::Receive(s, piece, sizeof piece);
            if (got == net::kNothingYet) continue;
            if (got <= 0) {
                keep = false;
                break;
            }
            buffer.append(piece, static_cast<size_t>(got));
        }
        if (!keep) break;
        std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);

        SeenRequest request;
        size_t lineEnd = head.find("\r\n");
        std::string line = head.substr(0, lineEnd);
        size_t sp1 = line.find(' ');
        size_t sp2 = line.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
        if (sp1 == std::string::npos || sp2 == std::string::npos) break;
        request.method = line.substr(0, sp1);
        request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        bool close = false;
        size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
            size_t next = head.find("\r\n", pos);
            if (next == std::string::npos) next = head.size();
            std::string header = head.substr(pos, next - pos);
            pos = next + 2;
            size_t colon = header.find(':');
            if (colon == std::string::npos) continue;
            std::string name = Lower(Trim(header.substr(0, colon)));
            std::string value = Trim(header.substr(colon + 1));
            if (name == "range") request.range = value;
            if (name == "if-range") request.ifRange = value;
            if (name == "accept-encoding") request.acceptEncoding = value;
            if (name == "user-agent") request.userAgent = value;
            if (name == "connection" && Lower(value) == "close") close = true;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(request);
        }
        keep = Answer(s, request) && !close;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(s);
    net::Close(s);
}

bool HttpServer::Answer(net::Socket s, const SeenRequest& request) {
    std::shared_ptr<Entry> entry;
    bool faulty = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = routes_.find(request.target);
        if (it == routes_.end()) it = routes_.find(PathOnly(request.target));
        if (it != routes_.end()) {
            entry = it->second;
            const int limit = entry->route.faultyAnswers;
            faulty = limit < 0 || entry->answers < limit;
            ++entry->answers;
        } else {
            // The longest folder prefix that fits, its file streamed like a route's.
            const std::string path = PathOnly(request.target);
            for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
                if (path.compare(0, folder->first.size(), folder->first) != 0) continue;
                std::filesystem::path file = FileBelow(folder->second, path.substr(folder->first.size()));
                std::error_code ec;
                if (file.empty() || !std::filesystem::is_regular_file(file, ec)) break;
                entry = std::make_shared<Entry>();
                entry->route.file = file;
                break;
            }
        }
    }

    auto simple = [&](int status, const std::string& extra, const std::string& text) {
        std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n" + extra +
                           "Content-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
                           "\r\n\r\n";
        return net::SendAll(s, head.data(), head.size(), stopping_) &&
               net::SendAll(s, text.data(), text.size(), stopping_);
    };

    if (!entry) return simple(404, "", "no such file\n");
    const Route& route = entry->route;

    if (faulty && route.stallBeforeHeadersMs > 0 && !Pause(route.stallBeforeHeadersMs)) return false;
    if (faulty && route.status != 0) return simple(route.status, "", "status " + std::to_string(route.status) + "\n");
    if (!route.redirect.empty()) {
        std::string location = route.redirect[0] == '/' ? Url(route.redirect) : route.redirect;
        return simple(route.redirectStatus, "Location: " + location + "\r\n", "moved\n");
    }

    uint64_t size = route.generated != 0 ? route.generated : route.body.size();
    if (!route.file.empty()) {
        std::error_code ec;
        size = std::filesystem::file_size(route.file, ec);
        if (ec) return simple(404, "", "no such file\n");
    }

    uint64_t from = 0;
    bool ranged = ParseRangeStart(request.range, from) && !(faulty && route.ignoreRange);
    // If-Range: the part only while the resource is still the one the client's bytes came from.
    if (ranged && !request.ifRange.empty() && request.ifRange != route.etag && request.ifRange != route.lastModified) {
        ranged = false;
    }
    if (ranged && from >= size) {
        return simple(416, "Content-Range: bytes */" + std::to_string(size) + "\r\n", "range not satisfiable\n");
    }
    if (!ranged) from = 0;
    if (ranged && faulty && route.answerFrom >= 0 && static_cast<uint64_t>(route.answerFrom) < size) {
        from = static_cast<uint64_t>(route.answerFrom);
    }
    uint64_t count = size - from;
    // A part of the resource, though the client may have asked for all of it.
    if (faulty && route.partLimit >= 0 && static_cast<uint64_t>(route.partLimit) < count) {
        count = static_cast<uint64_t>(route.partLimit);
        ranged = true;
    }
    const bool fakeLength = faulty && !route.length.empty();
    const bool endless = route.generated == kEndless;
    const bool chunked = route.chunkSize > 0;

    std::string head = "HTTP/1.1 " + std::string(ranged ? "206 Partial Content" : "200 OK") + "\r\n";
    head += "Content-Type: " + route.contentType + "\r\n";
    if (ranged) {
        head += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(from + count - 1) + "/" +
                std::to_string(size) + "\r\n";
    }
    if (!route.etag.empty()) head += "ETag: " + route.etag + "\r\n";
    if (!route.lastModified.empty()) head += "Last-Modified: " + route.lastModified + "\r\n";
    if (!route.contentEncoding.empty()) head += "Content-Encoding: " + route.contentEncoding + "\r\n";
    if (fakeLength) head += "Content-Length: " + route.length + "\r\nConnection: close\r\n";
    else if (chunked) head += "Transfer-Encoding: chunked\r\n";
    else if (route.sendLength && !endless) head += "Content-Length: " + std::to_string(count) + "\r\n";
    else head += "Connection: close\r\n";
    head += "\r\n";
    if (!net::SendAll(s, head.data(), head.size(), stopping_)) return false;

    bool dropped = false;
    if (!SendBody(s, route, from, count, faulty, dropped)) return false;
    return !dropped && (route.sendLength || chunked) && !endless && !fakeLength;
}

bool HttpServer::Send(net::Socket s, const char* data, size_t size) {
    if (!net::SendAll(s, data, size, stopping_)) return false;
    bodyBytes_ += size;
    return true;
}

bool HttpServer::SendBody(net::Socket s, const Route& route, uint64_t from, uint64_t count, bool faulty,
                          bool& dropped) {
    // Where the body is cut short or paused, in bytes of this answer.
    uint64_t limit = count;
    if (faulty && route.dropAfter >= 0 && static_cast<uint64_t>(route.dropAfter) < count) {
        limit = static_cast<uint64_t>(route.dropAfter);
        dropped = true;
    }
    const bool stall = faulty && route.stallAfter >= 0 && route.stallMs > 0;
    const uint64_t stallAt = stall ? static_cast<uint64_t>(route.stallAfter) : UINT64_MAX;
    const bool corrupt = faulty && route.corrupt && count > 0;
    const uint64_t chunkSize = route.chunkSize > 0 ? static_cast<uint64_t>(route.chunkSize) : 0;
    const bool drip = faulty && route.dripMs > 0;

    std::ifstream in;
    std::string buffer;
    if (!route.file.empty()) {
        in.open(route.file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        buffer.resize(kSendPiece);
    }
    // A generated body repeats one piece of test bytes, so its size costs no memory.
    static const std::string pattern = TestBytes(kSendPiece, 5);

    uint64_t sent = 0;
    uint64_t chunkLeft = 0;  // of the chunk under way
    bool stalled = false;
    while (sent < limit) {
        if (stopping_) return false;
        if (stall && !stalled && sent == stallAt) {
            stalled = true;
            if (!Pause(route.stallMs)) return false;
        }
        if (chunkSize > 0 && chunkLeft == 0) {
            chunkLeft = std::min(chunkSize, count - sent);
            char line[32];
            const int n = std::snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(chunkLeft));
            if (!net::SendAll(s, line, static_cast<size_t>(n), stopping_)) return false;
        }
        uint64_t piece = std::min<uint64_t>(kSendPiece, limit - sent);
        if (stall && !stalled && sent < stallAt) piece = std::min(piece, stallAt - sent);
        if (chunkSize > 0) piece = std::min(piece, chunkLeft);
        if (drip) {
            if (sent > 0 && !Pause(route.dripMs)) return false;
            piece = std::min(piece, std::max<uint64_t>(route.dripBytes, 1));
        }
        const char* data;
        if (route.generated != 0) {
            const uint64_t at = (from + sent) % kSendPiece;
            piece = std::min<uint64_t>(piece, kSendPiece - at);
            data = pattern.data() + at;
        } else if (route.file.empty()) {
            data = route.body.data() + from + sent;
        } else {
            in.read(buffer.data(), static_cast<std::streamsize>(piece));
            if (static_cast<uint64_t>(in.gcount()) != piece) return false;
            data = buffer.data();
        }
        // The last byte of the answer goes out flipped.
        if (corrupt && sent + piece == count) {
            if (piece > 1 && !Send(s, data, static_cast<size_t>(piece - 1))) return false;
            char last = static_cast<char>(data[piece - 1] ^ 0x5a);
            if (!Send(s, &last, 1)) return false;
        } else if (!Send(s, data, static_cast<size_t>(piece))) {
            return false;
        }
        sent += piece;
        if (chunkSize > 0 && (chunkLeft -= piece) == 0 && !net::SendAll(s, "\r\n", 2, stopping_)) return false;
    }
    if (stall && !stalled && sent == stallAt && stallAt < count && !Pause(route.stallMs)) return false;
    if (chunkSize > 0 && !dropped && !net::SendAll(s, "0\r\n\r\n", 5, stopping_)) return false;
    return true;
}

}  // namespace launcher::test
