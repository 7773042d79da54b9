// Http on WinHTTP in synchronous mode.
#include <windows.h>
#include <winhttp.h>

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

class WinHttp final : public Http {
public:
    explicit WinHttp(const HttpTimeouts& t) {
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

    bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total,
             std::string& err) override {
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
        const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
        Handle request{WinHttpOpenRequest(connection.h, L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags)};
        if (!request.h) {
            err = ErrorText("the request failed", GetLastError());
            return false;
        }

        std::wstring range;
        if (from > 0) range = L"Range: bytes=" + std::to_wstring(from) + L"-\r\n";
        BOOL sent = WinHttpSendRequest(request.h, range.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : range.c_str(),
                                       range.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
        if (!sent || !WinHttpReceiveResponse(request.h, nullptr)) {
            DWORD code = GetLastError();
            // WinHttpConnect only names the server; the connection is made here.
            const bool unreachable = code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED;
            err = ErrorText(unreachable ? "cannot reach the server" : "the request failed", code);
            return false;
        }

        AnswerHead head;
        DWORD status = 0;
        DWORD size = sizeof status;
        if (WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            head.status = static_cast<long>(status);
        }
        head.hasLength = HeaderText(request.h, WINHTTP_QUERY_CONTENT_LENGTH, head.length);
        head.hasRange = HeaderText(request.h, WINHTTP_QUERY_CONTENT_RANGE, head.range);
        AnswerPlan plan;
        if (!PlanAnswer(head, from, url, plan, err)) return false;
        if (total) *total = plan.total;
        const uint64_t length = plan.length;
        const bool hasLength = plan.hasLength;

        uint64_t skip = plan.skip;
        uint64_t received = 0;
        std::unique_ptr<char[]> buffer(new char[kBufferSize]);
        for (;;) {
            DWORD got = 0;
            if (!WinHttpReadData(request.h, buffer.get(), kBufferSize, &got)) {
                err = ErrorText("the download stopped", GetLastError());
                return false;
            }
            if (got == 0) break;
            received += got;
            const char* data = buffer.get();
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
