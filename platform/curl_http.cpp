// Http on libcurl, with the contract of the Windows client: the same user agent, time limits, Range
// header, status rules, totals and error sentences.
#include <curl/curl.h>

#include <chrono>
#include <mutex>
#include <system_error>

#include "platform/http.h"

namespace launcher {

namespace {

constexpr long kBufferSize = 64 * 1024;
constexpr long kMaxRedirects = 10;
constexpr int kStepMs = 100;

// Everything one Get shares with curl's callbacks.
struct Transfer {
    const ChunkSink* sink = nullptr;
    const std::atomic<bool>* stop = nullptr;
    bool stopped = false;      // the stop flag was seen
    uint64_t from = 0;
    uint64_t* total = nullptr;
    CURL* curl = nullptr;

    // Header state of the answer being read; curl reports every answer of a redirect chain.
    long status = 0;
    bool hasLocation = false;
    bool headersDone = false;  // the final answer's headers are in
    AnswerHead head;           // of the answer being read
    const std::string* url = nullptr;
    HttpExchange* exchange = nullptr;
    bool wholeOn200 = false;   // If-Range was sent
    std::string planError;     // why the final answer was refused

    bool checked = false;      // status and length examined, the body may flow
    bool badAnswer = false;
    bool refused = false;      // the sink returned false
    uint64_t skip = 0;
    uint64_t length = 0;       // Content-Length, 0 when missing
    bool hasLength = false;
    uint64_t received = 0;     // body bytes of the final answer, skipped ones included

    // The receive limit: the longest silence while waiting for an answer or for more of the body.
    std::chrono::milliseconds receiveLimit{0};
    std::chrono::steady_clock::time_point lastActivity;
    curl_off_t lastCount = 0;
    bool timedOut = false;
    SpeedWatch* speed = nullptr;
    bool tooSlow = false;
};

bool StartsWithNoCase(const char* data, size_t size, const char* prefix) {
    for (size_t i = 0; prefix[i]; ++i) {
        if (i >= size) return false;
        char c = data[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// The value of a header line, without the name, the surrounding blanks and the line end.
std::string HeaderValue(const char* data, size_t size, size_t nameLength) {
    size_t start = nameLength;
    while (start < size && (data[start] == ' ' || data[start] == '\t')) ++start;
    size_t end = size;
    while (end > start && (data[end - 1] == '\r' || data[end - 1] == '\n' || data[end - 1] == ' ' ||
                           data[end - 1] == '\t')) {
        --end;
    }
    return std::string(data + start, end - start);
}

size_t OnHeader(char* data, size_t, size_t size, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->lastActivity = std::chrono::steady_clock::now();
    if (StartsWithNoCase(data, size, "http/")) {
        // A new answer begins (after a redirect or an interim answer).
        t->status = 0;
        t->hasLocation = false;
        t->headersDone = false;
        t->head = AnswerHead{};
        size_t i = 0;
        while (i < size && data[i] != ' ') ++i;
        while (i < size && data[i] == ' ') ++i;
        long code = 0;
        for (; i < size && data[i] >= '0' && data[i] <= '9'; ++i) code = code * 10 + (data[i] - '0');
        t->status = code;
    } else if (StartsWithNoCase(data, size, "location:")) {
        t->hasLocation = true;
    } else if (StartsWithNoCase(data, size, "content-length:")) {
        t->head.hasLength = true;
        t->head.length = HeaderValue(data, size, sizeof "content-length:" - 1);
    } else if (StartsWithNoCase(data, size, "content-range:")) {
        t->head.hasRange = true;
        t->head.range = HeaderValue(data, size, sizeof "content-range:" - 1);
    } else if (StartsWithNoCase(data, size, "content-encoding:")) {
        t->head.encoding = HeaderValue(data, size, sizeof "content-encoding:" - 1);
    } else if (StartsWithNoCase(data, size, "etag:")) {
        t->head.etag = HeaderValue(data, size, sizeof "etag:" - 1);
    } else if (StartsWithNoCase(data, size, "last-modified:")) {
        t->head.lastModified = HeaderValue(data, size, sizeof "last-modified:" - 1);
    } else if ((size == 2 && data[0] == '\r' && data[1] == '\n') || (size == 1 && data[0] == '\n')) {
        const bool followed = t->status / 100 == 3 && t->hasLocation;
        t->headersDone = t->status >= 200 && !followed;
    }
    return size;
}

// Examines the final answer's status and length once, before any of its body is handed on.
void Check(Transfer& t) {
    if (t.checked) return;
    t.checked = true;
    long status = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    t.status = status;
    t.head.status = status;
    AnswerPlan plan;
    if (!PlanAnswer(t.head, t.from, t.wholeOn200, *t.url, plan, t.planError)) {
        t.badAnswer = true;
        return;
    }
    t.hasLength = plan.hasLength;
    t.length = plan.length;
    if (t.total) *t.total = plan.total;
    t.skip = plan.skip;
    if (t.exchange) {
        t.exchange->start = plan.start;
        t.exchange->validator = plan.validator;
    }
}

size_t OnBody(char* data, size_t, size_t size, void* user) {
    auto* t = static_cast<Transfer*>(user);
    Check(*t);
    if (t->badAnswer) return CURL_WRITEFUNC_ERROR;
    t->received += size;
    uint64_t n = size;
    if (t->skip > 0) {
        uint64_t drop = t->skip < n ? t->skip : n;
        t->skip -= drop;
        data += drop;
        n -= drop;
    }
    if (n > 0 && !(*t->sink)(data, n)) {
        t->refused = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return size;
}

// Looked at after every step of the transfer, and every kStepMs while nothing arrives; true when
// the transfer is to end: stopped, silent past the receive limit, or below the low-speed limit.
bool MustEnd(Transfer& t) {
    if (t.stop && t.stop->load()) {
        t.stopped = true;
        return true;
    }
    curl_off_t now = 0;
    curl_easy_getinfo(t.curl, CURLINFO_SIZE_DOWNLOAD_T, &now);
    const auto clock = std::chrono::steady_clock::now();
    if (now != t.lastCount) {
        t.lastCount = now;
        t.lastActivity = clock;
    } else if (clock - t.lastActivity > t.receiveLimit) {
        t.timedOut = true;
        return true;
    }
    if (t.speed->TooSlow(clock, t.received)) {
        t.tooSlow = true;
        return true;
    }
    return false;
}

// Runs the transfer in short steps, so that a stop is seen within a fraction of a second, also while a
// server sends nothing (curl's own progress calls come only about once a second then).
CURLcode Perform(Transfer& t) {
    CURLM* multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    curl_multi_add_handle(multi, t.curl);
    CURLcode code = CURLE_OK;
    for (int running = 1;;) {
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            code = CURLE_RECV_ERROR;
            break;
        }
        if (running == 0) {
            int left = 0;
            CURLMsg* message = curl_multi_info_read(multi, &left);
            code = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_RECV_ERROR;
            break;
        }
        if (MustEnd(t)) {
            code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kStepMs, nullptr);
    }
    curl_multi_remove_handle(multi, t.curl);
    curl_multi_cleanup(multi);
    return code;
}

// "what (code: text)": the system's error when curl saw one, else curl's own code and words.
std::string ErrorText(const std::string& what, CURL* curl, CURLcode code) {
    long os = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os);
    if (os != 0) {
        return what + " (" + std::to_string(os) + ": " +
               std::error_code(static_cast<int>(os), std::generic_category()).message() + ")";
    }
    return what + " (" + std::to_string(static_cast<int>(code)) + ": " + curl_easy_strerror(code) + ")";
}

// Only absolute http and https addresses with a host are taken, as the Windows URL cracker does.
bool SplitsAsUrl(const std::string& url) {
    CURLU* u = curl_url();
    if (!u) return false;
    bool ok = false;
    char* scheme = nullptr;
    char* host = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        std::string s = scheme;
        ok = (s == "http" || s == "https") && host[0] != '\0';
    }
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(u);
    return ok;
}

class CurlHttp final : public Http {
public:
    explicit CurlHttp(const HttpTimeouts& timeouts) : timeouts_(timeouts) {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    bool Get(const std::string& url, uint64_t from, const ChunkSink& sink, uint64_t* total, std::string& err,
             const std::atomic<bool>* stop, HttpExchange* exchange) override {
        if (!SplitsAsUrl(url)) {
            err = "bad address " + url;
            return false;
        }
        CURL* curl = curl_easy_init();
        if (!curl) {
            err = "the request failed (libcurl could not start a transfer)";
            return false;
        }
        Transfer t;
        t.sink = &sink;
        t.stop = stop;
        t.from = from;
        t.total = total;
        t.curl = curl;
        t.url = &url;
        t.exchange = exchange;
        const std::string ifRange = exchange ? exchange->ifRange : std::string();
        t.wholeOn200 = from > 0 && !ifRange.empty();

        curl_slist* headers = nullptr;
        const std::string lines = RequestHeaders(from, ifRange);
        for (size_t pos = 0; pos < lines.size();) {
            const size_t end = lines.find("\r\n", pos);
            headers = curl_slist_append(headers, lines.substr(pos, end - pos).c_str());
            pos = end + 2;
        }

        t.receiveLimit = std::chrono::milliseconds(timeouts_.receiveMs);
        t.lastActivity = std::chrono::steady_clock::now();
        SpeedWatch speed(timeouts_, t.lastActivity);
        t.speed = &speed;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kestrel launcher/1.0");
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connectMs));
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kBufferSize);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);

        CURLcode code = Perform(t);
        if (code == CURLE_ABORTED_BY_CALLBACK && t.timedOut) code = CURLE_OPERATION_TIMEDOUT;
        bool ok = false;
        if (code == CURLE_ABORTED_BY_CALLBACK && t.stopped) {
            err = "stopped";
        } else if (code == CURLE_ABORTED_BY_CALLBACK && t.tooSlow) {
            err = speed.Sentence();
            if (exchange) exchange->tooSlow = true;
        } else if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && (t.badAnswer || t.refused))) {
            Check(t);  // an answer without a body never reached OnBody
            if (t.badAnswer) {
                err = t.planError;
            } else if (t.refused) {
                err = "stopped";
            } else if (t.hasLength && t.received < t.length) {
                err = "the download stopped (the connection closed early)";
            } else {
                ok = true;
            }
        } else if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
                   code == CURLE_COULDNT_RESOLVE_PROXY) {
            err = ErrorText("cannot reach the server", curl, code);
        } else if (t.headersDone) {
            err = ErrorText("the download stopped", curl, code);
        } else {
            err = ErrorText("the request failed", curl, code);
        }
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return ok;
    }

private:
    HttpTimeouts timeouts_;
};

}  // namespace

std::unique_ptr<Http> MakeHttp() {
    return MakeHttp(HttpTimeouts{});
}

std::unique_ptr<Http> MakeHttp(const HttpTimeouts& timeouts) {
    return std::make_unique<CurlHttp>(timeouts);
}

}  // namespace launcher
