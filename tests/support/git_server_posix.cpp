#include "support/git_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "programs/pipe_io.h"
#include "support/net.h"

extern char** environ;

namespace launcher::test {

namespace fs = std::filesystem;

namespace {

// Writes to a pipe whose reader may be gone (git ended early) without the SIGPIPE that would end the test:
// the signal is held back for this thread while it writes, and taken away.
bool WritePipe(int fd, const char* data, size_t size) {
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    const bool ok = pipe_io::WriteAll(fd, data, size);
    if (!ok && errno == EPIPE) {
        const timespec now{};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// One run of the system's git with its input and output on pipes; its errors go nowhere.
struct GitChild {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output

    GitChild(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
        int input[2], output[2];
        if (::pipe2(input, O_CLOEXEC) != 0) return;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> env;
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp, argv;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> all = {"git"};
        all.insert(all.end(), args.begin(), args.end());
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, "git", &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        in = input[1];
        out = output[0];
    }
    ~GitChild() {
        CloseInput();
        if (out >= 0) ::close(out);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    void CloseInput() {
        if (in >= 0) ::close(in);
        in = -1;
    }
    bool Write(const std::string& bytes) { return WritePipe(in, bytes.data(), bytes.size()); }
};

// Up to `size` bytes from the pipe `fd`, waiting in steps; 0 at its end or once `stop` is set.
long ReadPipe(int fd, char* buffer, size_t size, const std::atomic<bool>& stop) {
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, net::kStepMs);
        if (ready < 0 && errno != EINTR) return 0;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? 0 : static_cast<long>(n);
    }
    return 0;
}

// Up to `size` bytes from the client; 0 at its end, on an error or once `stop` is set.
long ReadSocket(net::Socket s, char* buffer, size_t size, const std::atomic<bool>& stop) {
    while (!stop) {
        const int ready = net::WaitReadable(s, net::kStepMs);
        if (ready < 0) return 0;
        if (ready == 0) continue;
        const long n = net::Receive(s, buffer, size);
        if (n == net::kNothingYet) continue;
        return n < 0 ? 0 : n;
    }
    return 0;
}

// Exactly `size` bytes from the client onto `out`.
bool ReadExactly(net::Socket s, size_t size, std::string& out, const std::atomic<bool>& stop) {
    char buffer[4096];
    while (size > 0) {
        const long n = ReadSocket(s, buffer, std::min(size, sizeof buffer), stop);
        if (n <= 0) return false;
        out.append(buffer, static_cast<size_t>(n));
        size -= static_cast<size_t>(n);
    }
    return true;
}

long HexLength(const std::string& four) {
    char* end = nullptr;
    const long n = std::strtol(four.c_str(), &end, 16);
    return end == four.c_str() + 4 ? n : -1;
}

}  // namespace

GitServer::GitServer(Speaks speaks, fs::path root) : speaks_(speaks), root_(std::move(root)) {
    listener_ = net::ListenLoopback(port_);
    if (listener_ != net::kNoSocket) acceptor_ = std::thread([this] { Accept(); });
}

GitServer::~GitServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (net::Socket s : held_) net::Shutdown(s);
        threads.swap(threads_);
    }
    for (std::thread& t : threads) t.join();
    for (net::Socket s : held_) net::Close(s);
    if (listener_ != net::kNoSocket) net::Close(listener_);
}

std::string GitServer::Url(const std::string& scheme, const std::string& path) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

void GitServer::DelayPack(std::chrono::milliseconds delay, std::chrono::milliseconds every) {
    delayMs_ = delay.count();
    everyMs_ = std::max<long long>(every.count(), 1);
    delayNext_ = true;
}

void GitServer::Accept() {
    while (!stop_) {
        if (net::WaitReadable(listener_, net::kStepMs) <= 0) continue;
        const net::Socket client = net::Accept(listener_);
        if (client == net::kNoSocket) continue;
        ++connections_;
        std::lock_guard lock(mutex_);
        held_.push_back(client);
        if (speaks_ != Speaks::Nothing) threads_.emplace_back([this, client] { Serve(client); });
    }
}

void GitServer::Serve(net::Socket client) {
    if (speaks_ == Speaks::Git) {
        ServeGit(client);
    } else {
        ServeHttp(client);
    }
    net::Shutdown(client);
}

void GitServer::ServeGit(net::Socket client) {
    // "git-upload-pack /path\0host=...\0" and, from a client that speaks it, "\0version=2\0".
    std::string head;
    if (!ReadExactly(client, 4, head, stop_)) return;
    const long length = HexLength(head);
    std::string request;
    if (length < 4 || !ReadExactly(client, static_cast<size_t>(length - 4), request, stop_)) return;
    const size_t blank = request.find(' '), nul = request.find('\0');
    if (blank == std::string::npos || nul == std::string::npos || request.substr(0, blank) != "git-upload-pack") {
        return;
    }
    std::string path = request.substr(blank + 1, nul - blank - 1);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    std::string protocol;
    const size_t extra = request.find(std::string("\0\0", 2));
    if (extra != std::string::npos) {
        for (size_t at = extra + 2; at < request.size();) {
            const size_t cut = request.find('\0', at);
            const std::string param = request.substr(at, cut == std::string::npos ? std::string::npos : cut - at);
            if (!param.empty()) protocol += (protocol.empty() ? "" : ":") + param;
            if (cut == std::string::npos) break;
            at = cut + 1;
        }
    }
    GitChild git({"upload-pack", "--strict", (root_ / path).string()},
                 protocol.empty() ? std::vector<std::string>{} : std::vector<std::string>{"GIT_PROTOCOL=" + protocol});
    if (git.pid <= 0) return;
    std::thread toGit([&] {
        char buffer[4096];
        for (long n; (n = ReadSocket(client, buffer, sizeof buffer, stop_)) > 0;) {
            if (!git.Write(std::string(buffer, static_cast<size_t>(n)))) break;
        }
        git.CloseInput();
    });
    PassAnswer(git.out, client);
    net::Shutdown(client);
    toGit.join();
}

void GitServer::ServeHttp(net::Socket client) {
    std::string data;
    size_t headEnd;
    char buffer[4096];
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const long n = ReadSocket(client, buffer, sizeof buffer, stop_);
        if (n <= 0) return;
        data.append(buffer, static_cast<size_t>(n));
    }
    std::string body = data.substr(headEnd + 4);
    const std::string head = data.substr(0, headEnd);
    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t s1 = requestLine.find(' '), s2 = requestLine.rfind(' ');
    if (s1 == std::string::npos || s2 <= s1) return;
    const std::string method = requestLine.substr(0, s1), target = requestLine.substr(s1 + 1, s2 - s1 - 1);
    std::map<std::string, std::string> headers;
    for (size_t at = lineEnd + 2; at < head.size() && lineEnd != std::string::npos;) {
        const size_t cut = head.find("\r\n", at);
        const std::string line = head.substr(at, cut == std::string::npos ? std::string::npos : cut - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        if (cut == std::string::npos) break;
        at = cut + 2;
    }
    if (headers["transfer-encoding"] == "chunked") {
        // The chunks, decoded; git sends its larger requests so.
        std::string raw = body, decoded;
        for (;;) {
            size_t sizeEnd;
            while ((sizeEnd = raw.find("\r\n")) == std::string::npos) {
                const long n = ReadSocket(client, buffer, sizeof buffer, stop_);
                if (n <= 0) return;
                raw.append(buffer, static_cast<size_t>(n));
            }
            const size_t chunk = std::strtoul(raw.substr(0, sizeEnd).c_str(), nullptr, 16);
            while (raw.size() < sizeEnd + 2 + chunk + 2) {
                const long n = ReadSocket(client, buffer, sizeof buffer, stop_);
                if (n <= 0) return;
                raw.append(buffer, static_cast<size_t>(n));
            }
            if (chunk == 0) break;
            decoded += raw.substr(sizeEnd + 2, chunk);
            raw.erase(0, sizeEnd + 2 + chunk + 2);
        }
        body = decoded;
    } else if (headers.count("content-length") != 0) {
        const size_t length = std::strtoul(headers["content-length"].c_str(), nullptr, 10);
        if (body.size() < length && !ReadExactly(client, length - body.size(), body, stop_)) return;
    }

    const size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    std::vector<std::string> env = {"GIT_PROJECT_ROOT=" + root_.string(), "GIT_HTTP_EXPORT_ALL=1",
                                    "REQUEST_METHOD=" + method,           "PATH_INFO=" + path,
                                    "REMOTE_ADDR=127.0.0.1",              "SERVER_PROTOCOL=HTTP/1.1",
                                    "GATEWAY_INTERFACE=CGI/1.1",          "CONTENT_LENGTH=" + std::to_string(body.size())};
    env.push_back("QUERY_STRING=" + (question == std::string::npos ? std::string() : target.substr(question + 1)));
    if (headers.count("content-type")) env.push_back("CONTENT_TYPE=" + headers["content-type"]);
    if (headers.count("content-encoding")) env.push_back("HTTP_CONTENT_ENCODING=" + headers["content-encoding"]);
    if (headers.count("git-protocol")) env.push_back("HTTP_GIT_PROTOCOL=" + headers["git-protocol"]);
    GitChild git({"http-backend"}, env);
    if (git.pid <= 0) return;
    git.Write(body);
    git.CloseInput();

    // The program's header block, turned into the answer's status line and headers.
    std::string answer;
    size_t blank;
    while ((blank = answer.find("\r\n\r\n")) == std::string::npos && answer.find("\n\n") == std::string::npos) {
        const long n = ReadPipe(git.out, buffer, sizeof buffer, stop_);
        if (n <= 0) return;
        answer.append(buffer, static_cast<size_t>(n));
    }
    const bool crlf = blank != std::string::npos && blank <= answer.find("\n\n");
    const size_t cgiEnd = crlf ? blank : answer.find("\n\n");
    const std::string cgi = answer.substr(0, cgiEnd);
    std::string rest = answer.substr(cgiEnd + (crlf ? 4 : 2));
    std::string status = "200 OK", out;
    for (size_t at = 0; at < cgi.size();) {
        size_t cut = cgi.find('\n', at);
        std::string line = cgi.substr(at, cut == std::string::npos ? std::string::npos : cut - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("Status:", 0) == 0) {
            status = line.substr(line.find_first_not_of(' ', 7));
        } else if (!line.empty()) {
            out += line + "\r\n";
        }
        if (cut == std::string::npos) break;
        at = cut + 1;
    }
    const std::string start = "HTTP/1.1 " + status + "\r\n" + out + "Connection: close\r\n\r\n";
    if (!net::SendAll(client, start.data(), start.size(), stop_)) return;
    // What came with the header block goes first, then the rest as the program writes it.
    PassAnswer(git.out, client, rest);
}

void GitServer::PassAnswer(int from, net::Socket client, std::string pending) {
    // git's answer is a run of packet lines ("XXXX" hex length, then the data; "0000" and the like stand
    // alone). The first packet on a side band starts the pack: before it, the progress of a server that
    // is still counting goes out on band 2.
    bool released = !delayNext_, lines = true;
    char buffer[4096];
    auto more = [&] {
        const long n = ReadPipe(from, buffer, sizeof buffer, stop_);
        if (n > 0) pending.append(buffer, static_cast<size_t>(n));
        return n > 0;
    };
    auto send = [&](const std::string& bytes) { return net::SendAll(client, bytes.data(), bytes.size(), stop_); };
    for (;;) {
        if (!lines || released) {
            if (!pending.empty() && !send(pending)) return;
            pending.clear();
            if (!more()) return;
            continue;
        }
        while (pending.size() < 4) {
            if (!more()) {
                send(pending);
                return;
            }
        }
        const long length = HexLength(pending.substr(0, 4));
        if (length < 0) {
            lines = false;
            continue;
        }
        const size_t whole = length < 4 ? 4 : static_cast<size_t>(length);
        while (pending.size() < whole) {
            if (!more()) {
                send(pending);
                return;
            }
        }
        if (length > 4 && (pending[4] == 1 || pending[4] == 2 || pending[4] == 3)) {
            released = true;
            if (!delayNext_.exchange(false)) continue;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs_.load());
            for (int count = 1; std::chrono::steady_clock::now() < until && !stop_; ++count) {
                const std::string progress = "\2Counting objects: " + std::to_string(count) + "\r";
                char size[5];
                std::snprintf(size, sizeof size, "%04zx", progress.size() + 4);
                if (!send(size + progress)) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(everyMs_.load()));
            }
            continue;
        }
        if (!send(pending.substr(0, whole))) return;
        pending.erase(0, whole);
    }
}

}  // namespace launcher::test
