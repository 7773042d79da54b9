#include "support/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace launcher::test::net {

namespace {

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// 1 when `events` came within `ms`, 0 on time-out, -1 on error.
int Wait(Socket s, short events, int ms) {
    pollfd p{static_cast<int>(s), events, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    return r > 0 ? 1 : 0;
}

}  // namespace

Socket ListenLoopback(uint16_t& port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return kNoSocket;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(s);
        return kNoSocket;
    }
    port = ntohs(addr.sin_port);
    return s;
}

uint16_t UnusedLoopbackPort() {
    uint16_t port = 0;
    Socket s = ListenLoopback(port);
    if (s != kNoSocket) Close(s);
    return port;
}

int WaitReadable(Socket s, int ms) { return Wait(s, POLLIN, ms); }

Socket Accept(Socket listener) {
    int c = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) return kNoSocket;
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return c;
}

long Receive(Socket s, char* buffer, size_t size) {
    ssize_t r;
    do {
        r = ::recv(static_cast<int>(s), buffer, size, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return WouldBlock(errno) ? kNothingYet : -1;
    return static_cast<long>(r);
}

bool SendAll(Socket s, const char* data, size_t size, const std::atomic<bool>& stop, int idleMs) {
    int idle = 0;
    while (size > 0) {
        if (stop) return false;
        ssize_t r = ::send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && WouldBlock(errno)) {
            if (idle >= idleMs) return false;
            if (Wait(s, POLLOUT, kStepMs) < 0) return false;
            idle += kStepMs;
            continue;
        }
        if (r <= 0) return false;
        idle = 0;
        data += r;
        size -= static_cast<size_t>(r);
    }
    return true;
}

void Shutdown(Socket s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

void Close(Socket s) { ::close(static_cast<int>(s)); }

}  // namespace launcher::test::net
