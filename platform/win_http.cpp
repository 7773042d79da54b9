// Http on WinHTTP in asynchronous mode: each step of a request is waited for in short steps, so that a
// stop is seen at once even while the server sends nothing (a synchronous call cannot be woken: Wine
// does not end one when its request is closed).
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <memory>

#include "platform/http.h"
#include "platform/process.h"

namespace launcher {

namespace {

constexpr DWORD kBufferSize = 64 * 1024;

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

// A header of the answer as text; false when the answer has none. One too long for any value of ours
// comes back as a text no parser takes.
bool HeaderText(HINTERNET request, DWORD query, std::string& out) {
    wchar_t buffer[128] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size, WINHTTP_NO_HEADER_INDEX)) {
        out = ToUtf8(std::wstring(buffer, size / sizeof(wchar_t)));
        return true;
    }
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        out = "(too long)";
        return true;
    }
    out.clear();
    return false;
}

// Closes a WinHTTP handle when it goes out of scope.
struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

// What one request shares with WinHTTP's status callback. The callback may come on another thread and,
// after a stop, even once Get has returned, so the record lives on the heap until WinHTTP's last word on
// the request (its closing) frees it; the read buffer lives there for the same reason.
struct Pending {
    HANDLE finished = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // the step just started has ended
    DWORD error = 0;                                                  // its error code, 0 when it succeeded
    DWORD bytes = 0;                                                  // what a read brought
    std::unique_ptr<char[]> buffer{new char[kBufferSize]};
    ~Pending() {
        if (finished) CloseHandle(finished);
    }
};

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* pending = reinterpret_cast<Pending*>(context);
    if (!pending) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            pending->error = 0;
            SetEvent(pending->finished);
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            pending->error = 0;
            pending->bytes = info && length >= sizeof(DWORD) ? *static_cast<const DWORD*>(info) : 0;
            SetEvent(pending->finished);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            pending->error = 0;
            pending->bytes = length;
            SetEvent(pending->finished);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const DWORD error = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
            pending->error = error != 0 ? error : ERROR_WINHTTP_INTERNAL_ERROR;
            SetEvent(pending->finished);
            break;
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            delete pending;
            break;
        default:
            break;
    }
}

enum class Step { kDone, kFailed, kStopped };

// One request handle with its Pending record; closing the handle leaves the record to the callback.
class Request {
public:
    Request(HINTERNET connection, const std::wstring& object, DWORD flags) {
        h_ = WinHttpOpenRequest(connection, L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!h_) {
            error_ = GetLastError();
            return;
        }
        auto pending = std::make_unique<Pending>();
        auto context = reinterpret_cast<DWORD_PTR>(pending.get());
        if (!pending->finished || !WinHttpSetOption(h_, WINHTTP_OPTION_CONTEXT_VALUE, &context,
                                                    sizeof context)) {
            error_ = GetLastError();
            Close();
            return;
        }
        if (WinHttpSetStatusCallback(h_, OnRequestStatus,
                                     WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                     0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            error_ = GetLastError();
            Close();
            return;
        }
        pending_ = pending.release();
    }
    ~Request() { Close(); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    bool ok() const { return pending_ != nullptr; }
    DWORD error() const { return error_; }
    HINTERNET get() const { return h_; }
    DWORD_PTR context() const { return reinterpret_cast<DWORD_PTR>(pending_); }
    char* buffer() const { return pending_->buffer.get(); }
    DWORD bytes() const { return pending_->bytes; }

    // Starts one step with `start` and waits for its end, looking at the stop flag every 100 ms. On
    // kFailed, `code` holds the error.
    template <typename Start>
    Step Run(Start start, const std::atomic<bool>* stop, DWORD& code) {
        ResetEvent(pending_->finished);
        if (!start(h_)) {
            code = GetLastError();
            return Step::kFailed;
        }
        DWORD waited;
        while ((waited = WaitForSingleObject(pending_->finished, 100)) == WAIT_TIMEOUT) {
            if (stop && stop->load()) return Step::kStopped;
        }
        code = waited == WAIT_OBJECT_0 ? pending_->error : GetLastError();
        return code == 0 ? Step::kDone : Step::kFailed;
    }

private:
    // A step still under way is cancelled; the callback frees the record once WinHTTP is done with it.
    void Close() {
        if (h_) WinHttpCloseHandle(h_);
        h_ = nullptr;
        pending_ = nullptr;
    }

    HINTERNET h_ = nullptr;
    Pending* pending_ = nullptr;
    DWORD error_ = 0;
};

class WinHttp final : public Http {
public:
    explicit WinHttp(const HttpTimeouts& t) {
        session_ = WinHttpOpen(L"Kestrel launcher/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        if (!session_) {
            session_ = WinHttpOpen(L"Kestrel launcher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
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
             const std::atomic<bool>* stop) override {
        if (!session_) {
            err = ErrorText("WinHTTP is unavailable", GetLastError());
            return false;
        }
        std::wstring wide = ToWide(url);
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
            err = "bad address " + url;
            return false;
        }
        std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
        if (parts.lpszExtraInfo) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

        Handle connection{WinHttpConnect(session_, host, parts.nPort, 0)};
        if (!connection.h) {
            err = ErrorText("cannot reach the server", GetLastError());
            return false;
        }
        Request request(connection.h, object, parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
        if (!request.ok()) {
            err = ErrorText("the request failed", request.error());
            return false;
        }

        std::wstring range;
        if (from > 0) range = L"Range: bytes=" + std::to_wstring(from) + L"-\r\n";
        DWORD code = 0;
        Step step = request.Run(
            [&](HINTERNET h) {
                return WinHttpSendRequest(h, range.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : range.c_str(),
                                          range.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                                          request.context());
            },
            stop, code);
        if (step == Step::kDone) {
            step = request.Run([](HINTERNET h) { return WinHttpReceiveResponse(h, nullptr); }, stop, code);
        }
        if (step == Step::kStopped) {
            err = "stopped";
            return false;
        }
        if (step == Step::kFailed) {
            // WinHttpConnect only names the server; the connection is made here.
            const bool unreachable = code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED;
            err = ErrorText(unreachable ? "cannot reach the server" : "the request failed", code);
            return false;
        }

        AnswerHead head;
        DWORD status = 0;
        DWORD size = sizeof status;
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            head.status = static_cast<long>(status);
        }
        head.hasLength = HeaderText(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, head.length);
        head.hasRange = HeaderText(request.get(), WINHTTP_QUERY_CONTENT_RANGE, head.range);
        AnswerPlan plan;
        if (!PlanAnswer(head, from, url, plan, err)) return false;
        if (total) *total = plan.total;
        const uint64_t length = plan.length;
        const bool hasLength = plan.hasLength;

        uint64_t skip = plan.skip;
        uint64_t received = 0;
        // A read asked for more than has come while some bytes already wait is done inside the call on
        // Wine, and that call waits out a silent server, deaf to a stop. So what waits is asked for
        // and taken first; only a read that starts on nothing waiting asks for a whole buffer (Wine then
        // reads in the background, as Windows does for any read).
        bool nothingWaits = false;  // the last read took all that was waiting
        for (;;) {
            DWORD want = kBufferSize;
            step = Step::kDone;
            if (nothingWaits) {
                nothingWaits = false;
            } else {
                step = request.Run([](HINTERNET h) { return WinHttpQueryDataAvailable(h, nullptr); }, stop, code);
                if (step == Step::kDone) {
                    const DWORD available = request.bytes();
                    if (available == 0) break;
                    if (available < want) want = available;
                    nothingWaits = available <= kBufferSize;
                }
            }
            if (step == Step::kDone) {
                step = request.Run([&](HINTERNET h) { return WinHttpReadData(h, request.buffer(), want, nullptr); },
                                   stop, code);
            }
            if (step == Step::kStopped) {
                err = "stopped";
                return false;
            }
            if (step == Step::kFailed) {
                err = ErrorText("the download stopped", code);
                return false;
            }
            const DWORD got = request.bytes();
            if (got == 0) break;
            received += got;
            const char* data = request.buffer();
            uint64_t n = got;
            if (skip > 0) {
                uint64_t drop = skip < n ? skip : n;
                skip -= drop;
                data += drop;
                n -= drop;
            }
            if (n > 0 && !sink(data, n)) {
                err = "stopped";
                return false;
            }
        }
        // A connection that closes before the announced length is a broken transfer, not the end.
        if (hasLength && received < length) {
            err = "the download stopped (the connection closed early)";
            return false;
        }
        return true;
    }

private:
    HINTERNET session_ = nullptr;
};

}  // namespace

std::unique_ptr<Http> MakeHttp() {
    return MakeHttp(HttpTimeouts{});
}

std::unique_ptr<Http> MakeHttp(const HttpTimeouts& timeouts) {
    return std::make_unique<WinHttp>(timeouts);
}

}  // namespace launcher
