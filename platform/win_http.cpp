// Http on WinHTTP. Each request runs WinHTTP's blocking calls on a thread of its own, and the caller
// waits for it in short steps, so a stop (or the low-speed limit) is seen within a fraction of a second
// in every state of a transfer: Wine reads the head of a chunked answer's next chunk inside the read
// that ends the last one and waits out a silent server there, and no call of WinHTTP's can be woken on
// Wine. The caller then simply leaves: the request's thread ends on its own once its call returns (at
// the latest at the receive limit), closes its handles and hands nothing on any more. Only the caller's
// thread ever calls the sink.
#include <windows.h>
#include <winhttp.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/http.h"
#include "platform/process.h"

namespace launcher {

namespace {

constexpr DWORD kBufferSize = 64 * 1024;
constexpr int kMaxRedirects = 10;
constexpr std::chrono::milliseconds kStep{100};
// The longest header value taken; a longer one comes back as a text no parser takes.
constexpr DWORD kMostHeaderChars = 16384;

// Words for the codes a transfer meets, for systems whose message tables lack them (Wine has none
// for WinHTTP's codes).
const char* KnownText(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT: return "The operation timed out";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "The server name or address could not be resolved";
        case ERROR_WINHTTP_CANNOT_CONNECT: return "A connection with the server could not be established";
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return "The connection with the server was reset or terminated, or an incompatible SSL protocol was "
                   "encountered";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "The server response could not be parsed";
        case ERROR_WINHTTP_REDIRECT_FAILED: return "The redirection failed";
        case ERROR_WINHTTP_SECURE_FAILURE: return "A security error occurred";
        case WSAETIMEDOUT:
            return "A connection attempt failed because the connected party did not properly respond after a "
                   "period of time";
        case WSAECONNRESET: return "An existing connection was forcibly closed by the remote host";
        case WSAECONNREFUSED: return "No connection could be made because the target machine actively refused it";
        default: return nullptr;
    }
}

// "what (code: system text)". WinHTTP's own codes (12000 and up) have their words in winhttp.dll,
// not in the system's table, so that is asked too.
std::string ErrorText(const std::string& what, DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageW(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0) {
        if (HMODULE module = GetModuleHandleW(L"winhttp.dll")) {
            n = FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, module, code, 0,
                               reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        }
    }
    std::string message;
    if (n > 0 && buffer) message = ToUtf8(std::wstring(buffer, n));
    if (buffer) LocalFree(buffer);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    if (message.empty() && KnownText(code)) message = KnownText(code);
    std::string out = what + " (" + std::to_string(code);
    if (!message.empty()) out += ": " + message;
    return out + ")";
}

// A header of the answer as text; empty and false when the answer has none.
bool HeaderText(HINTERNET request, DWORD query, std::string& out) {
    out.clear();
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    if (size > kMostHeaderChars * sizeof(wchar_t)) {
        out = "(too long)";
        return true;
    }
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    buffer.resize(size / sizeof(wchar_t));
    out = ToUtf8(buffer);
    return true;
}

// What one request's thread and its caller share. The thread owns the handles; the caller owns the
// decision to leave. Two buffers go back and forth, so reading and writing to disk overlap.
struct Line {
    std::mutex mutex;
    std::condition_variable changed;

    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    std::wstring headers;

    // Written by the thread.
    bool headIn = false;
    AnswerHead head;
    std::string location;
    bool failed = false;
    bool failedInHead = false;
    DWORD code = 0;
    bool ended = false;
    std::unique_ptr<char[]> buffers[2] = {std::make_unique<char[]>(kBufferSize),
                                          std::make_unique<char[]>(kBufferSize)};
    DWORD sizes[2] = {0, 0};
    int first = 0;   // the filled buffer the caller takes next
    int filled = 0;  // filled buffers not yet taken

    // Written by the caller.
    bool left = false;

    ~Line() {
        if (request) WinHttpCloseHandle(request);
        if (connection) WinHttpCloseHandle(connection);
    }
};

void Fail(Line& line, bool inHead) {
    const DWORD code = GetLastError();
    std::lock_guard<std::mutex> lock(line.mutex);
    line.failed = true;
    line.failedInHead = inHead;
    line.code = code != 0 ? code : ERROR_WINHTTP_INTERNAL_ERROR;
    line.changed.notify_all();
}

// The request's thread: sends, takes the head, then reads the body into the free buffer, each read
// asking for no more than has come (a read asked for more waits, under Wine, until it is all there).
void RunLine(std::shared_ptr<Line> line) {
    HINTERNET request = line->request;
    const DWORD headerLength = line->headers.empty() ? 0 : static_cast<DWORD>(-1);
    if (!WinHttpSendRequest(request, line->headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : line->headers.c_str(),
                            headerLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        Fail(*line, true);
        return;
    }
    AnswerHead head;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        head.status = static_cast<long>(status);
    }
    head.hasLength = HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH, head.length);
    head.hasRange = HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE, head.range);
    HeaderText(request, WINHTTP_QUERY_CONTENT_ENCODING, head.encoding);
    HeaderText(request, WINHTTP_QUERY_ETAG, head.etag);
    HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED, head.lastModified);
    std::string location;
    if (head.status / 100 == 3) HeaderText(request, WINHTTP_QUERY_LOCATION, location);
    int slot = 0;
    {
        std::lock_guard<std::mutex> lock(line->mutex);
        line->head = std::move(head);
        line->location = std::move(location);
        line->headIn = true;
        line->changed.notify_all();
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(line->mutex);
            line->changed.wait(lock, [&] { return line->left || line->filled < 2; });
            if (line->left) return;
            slot = (line->first + line->filled) % 2;
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            Fail(*line, false);
            return;
        }
        DWORD got = 0;
        if (available > 0 &&
            !WinHttpReadData(request, line->buffers[slot].get(), available < kBufferSize ? available : kBufferSize,
                             &got)) {
            Fail(*line, false);
            return;
        }
        std::lock_guard<std::mutex> lock(line->mutex);
        if (got == 0) {
            line->ended = true;
            line->changed.notify_all();
            return;
        }
        line->sizes[slot] = got;
        ++line->filled;
        line->changed.notify_all();
    }
}

// The caller's side of one request.
class Caller {
public:
    Caller(std::shared_ptr<Line> line, const std::atomic<bool>* stop, SpeedWatch& speed, const uint64_t& received)
        : line_(std::move(line)), stop_(stop), speed_(speed), received_(received) {}
    ~Caller() { Leave(); }

    enum class Wait { kReady, kStopped, kTooSlow };

    // Waits until `ready` holds (under the lock), looking at the stop flag and the speed every step.
    template <typename Ready>
    Wait Until(Ready ready) {
        std::unique_lock<std::mutex> lock(line_->mutex);
        for (;;) {
            if (ready()) return Wait::kReady;
            if (stop_ && stop_->load()) return Wait::kStopped;
            if (speed_.TooSlow(SpeedWatch::Clock::now(), received_)) return Wait::kTooSlow;
            line_->changed.wait_for(lock, kStep);
        }
    }

    // From here on the request's thread hands nothing on; it ends once its call returns.
    void Leave() {
        std::lock_guard<std::mutex> lock(line_->mutex);
        line_->left = true;
        line_->changed.notify_all();
    }

    Line& line() { return *line_; }

private:
    std::shared_ptr<Line> line_;
    const std::atomic<bool>* stop_;
    SpeedWatch& speed_;
    const uint64_t& received_;
};

class WinHttp final : public Http {
public:
    explicit WinHttp(const HttpTimeouts& t) : timeouts_(t) {
        session_ = WinHttpOpen(L"Kestrel launcher/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
        if (!session_) {
            session_ = WinHttpOpen(L"Kestrel launcher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0);
        }
        if (session_) {
            WinHttpSetTimeouts(session_, t.resolveMs, t.connectMs, t.sendMs, t.receiveMs);
            // The receive limit also bounds the wait for the answer's headers; Wine leaves that wait
            // unbounded unless told.
            DWORD headersMs = static_cast<DWORD>(t.receiveMs);
            WinHttpSetOption(session_, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersMs, sizeof headersMs);
        }
    }
    ~WinHttp() override {
        if (session_) WinHttpCloseHandle(session_);
    }

    bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total, std::string& err,
             const std::atomic<bool>* stop, HttpExchange* exchange) override {
        if (!session_) {
            err = ErrorText("WinHTTP is unavailable", GetLastError());
            return false;
        }
        const std::string ifRange = exchange ? exchange->ifRange : std::string();
        const std::wstring headers = ToWide(RequestHeaders(from, ifRange));
        SpeedWatch speed(timeouts_, SpeedWatch::Clock::now());
        uint64_t received = 0;

        // WinHTTP follows the other redirects itself; 308 (Wine does not know it) is followed here, with
        // the same method and headers.
        std::string address = url;
        for (int hop = 0;; ++hop) {
            std::shared_ptr<Line> line;
            if (!Open(address, headers, line, err)) return false;
            Caller caller(line, stop, speed, received);
            try {
                std::thread(RunLine, line).detach();
            } catch (...) {
                err = "the request failed (no thread for it)";
                return false;
            }
            Line& l = caller.line();
            const Caller::Wait head = caller.Until([&] { return l.headIn || l.failed; });
            if (head != Caller::Wait::kReady) return Left(head, speed, exchange, err);
            if (l.failed) {
                // WinHttpConnect only names the server; the connection is made when the request is sent.
                const bool unreachable =
                    l.code == ERROR_WINHTTP_CANNOT_CONNECT || l.code == ERROR_WINHTTP_NAME_NOT_RESOLVED;
                err = ErrorText(unreachable ? "cannot reach the server" : "the request failed", l.code);
                return false;
            }
            if (l.head.status == 308 && !l.location.empty() && hop < kMaxRedirects) {
                address = ResolveLocation(address, l.location);
                continue;
            }
            return Body(caller, url, from, !ifRange.empty() && from > 0, sink, total, exchange, speed, received,
                        err);
        }
    }

private:
    bool Open(const std::string& address, const std::wstring& headers, std::shared_ptr<Line>& line,
              std::string& err) {
        std::wstring wide = ToWide(address);
        wchar_t host[256];
        wchar_t path[4096];
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        parts.lpszHostName = host;
        parts.dwHostNameLength = 256;
        parts.lpszUrlPath = path;
        parts.dwUrlPathLength = 4096;
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);  // the query, as a pointer into `wide`
        if (wide.empty() || !WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) {
            err = "bad address " + address;
            return false;
        }
        std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
        if (parts.lpszExtraInfo) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

        line = std::make_shared<Line>();
        line->headers = headers;
        line->connection = WinHttpConnect(session_, host, parts.nPort, 0);
        if (!line->connection) {
            err = ErrorText("cannot reach the server", GetLastError());
            return false;
        }
        line->request = WinHttpOpenRequest(line->connection, L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
        if (!line->request) {
            err = ErrorText("the request failed", GetLastError());
            return false;
        }
        return true;
    }

    static bool Left(Caller::Wait why, const SpeedWatch& speed, HttpExchange* exchange, std::string& err) {
        if (why == Caller::Wait::kStopped) {
            err = "stopped";
        } else {
            err = speed.Sentence();
            if (exchange) exchange->tooSlow = true;
        }
        return false;
    }

    static bool Body(Caller& caller, const std::string& url, uint64_t from, bool wholeOn200, const ChunkSink& sink,
                     uint64_t* total, HttpExchange* exchange, const SpeedWatch& speed, uint64_t& received,
                     std::string& err) {
        Line& line = caller.line();
        AnswerPlan plan;
        if (!PlanAnswer(line.head, from, wholeOn200, url, plan, err)) return false;
        if (total) *total = plan.total;
        if (exchange) {
            exchange->start = plan.start;
            exchange->validator = plan.validator;
        }
        uint64_t skip = plan.skip;
        uint64_t answered = 0;
        for (;;) {
            const Caller::Wait wait = caller.Until([&] { return line.filled > 0 || line.ended || line.failed; });
            if (wait != Caller::Wait::kReady) return Left(wait, speed, exchange, err);
            // The thread touches only the buffer that is not filled, so this one is read without the lock.
            int slot = 0;
            DWORD got = 0;
            {
                std::lock_guard<std::mutex> lock(line.mutex);
                if (line.filled == 0) {
                    if (line.failed) {
                        err = ErrorText(line.failedInHead ? "the request failed" : "the download stopped", line.code);
                        return false;
                    }
                    break;  // ended
                }
                slot = line.first;
                got = line.sizes[slot];
            }
            received += got;
            answered += got;
            const char* data = line.buffers[slot].get();
            uint64_t n = got;
            if (skip > 0) {
                const uint64_t drop = skip < n ? skip : n;
                skip -= drop;
                data += drop;
                n -= drop;
            }
            if (n > 0 && !sink(data, n)) {
                err = "stopped";
                return false;
            }
            std::lock_guard<std::mutex> lock(line.mutex);
            line.first = (line.first + 1) % 2;
            --line.filled;
            line.changed.notify_all();
        }
        // A connection that closes before the announced length is a broken transfer, not the end.
        if (plan.hasLength && answered < plan.length) {
            err = "the download stopped (the connection closed early)";
            return false;
        }
        return true;
    }

    HINTERNET session_ = nullptr;
    HttpTimeouts timeouts_;
};

}  // namespace

std::unique_ptr<Http> MakeHttp() {
    return MakeHttp(HttpTimeouts{});
}

std::unique_ptr<Http> MakeHttp(const HttpTimeouts& timeouts) {
    return std::make_unique<WinHttp>(timeouts);
}

}  // namespace launcher
