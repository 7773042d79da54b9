#pragma once

// A git server of the test's own on 127.0.0.1 (Linux, where the system's git runs): git's smart HTTP
// protocol through "git http-backend", the git:// protocol through "git upload-pack", or a server that
// takes every connection and never says a word (as a stuck ssh, git:// or HTTP server does). It can hold
// the pack back while it sends progress, as a large repository's server does while it counts objects.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace launcher::test {

class GitServer {
public:
    enum class Speaks { Http, Git, Nothing };

    // Serves the repositories below `root` (a path in a URL names a folder there).
    GitServer(Speaks speaks, std::filesystem::path root = {});
    ~GitServer();
    GitServer(const GitServer&) = delete;
    GitServer& operator=(const GitServer&) = delete;

    bool ok() const { return listener_ != -1; }
    uint16_t port() const { return port_; }
    // `scheme`://127.0.0.1:port/`path`.
    std::string Url(const std::string& scheme, const std::string& path) const;

    // Holds the next pack back for `delay`, sending a progress line every `every` meanwhile.
    void DelayPack(std::chrono::milliseconds delay, std::chrono::milliseconds every);
    // The connections taken so far.
    int Connections() const { return connections_; }

private:
    void Accept();
    void Serve(std::intptr_t client);
    void ServeGit(std::intptr_t client);
    void ServeHttp(std::intptr_t client);
    // Passes git's answer on from `from`, after the part of it already read (`pending`), holding the pack
    // back as DelayPack says.
    void PassAnswer(int from, std::intptr_t client, std::string pending = {});

    const Speaks speaks_;
    const std::filesystem::path root_;
    std::intptr_t listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<long long> delayMs_{0}, everyMs_{1000};
    std::atomic<bool> delayNext_{false};
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::vector<std::intptr_t> held_;
    std::thread acceptor_;
};

}  // namespace launcher::test
