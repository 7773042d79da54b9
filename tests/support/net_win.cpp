#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/net.h"

namespace launcher::test::net {

namespace {

// Winsock wants one start-up per process before any socket call.
bool Started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET S(Socket s) { return static_cast<SOCKET>(s); }

bool MakeNonBlocking(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

// 1 when the socket can be written to (or has failed) within `ms`, 0 on time-out, -1 on error.
int WaitWritable(SOCKET s, int ms) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int r = ::select(0, nullptr, &writable, &failed, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

}  // namespace

Socket ListenLoopback(uint16_t& port) {
    if (!Started()) return kNoSocket;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoSocket;
    // No other socket may take over this port while it listens.
    BOOL exclusive = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int len = sizeof addr;
    if (!MakeNonBlocking(s) || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s, 64) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    port = ntohs(addr.sin_port);
    return static_cast<Socket>(s);
}

uint16_t UnusedLoopbackPort() {
    uint16_t port = 0;
    Socket s = ListenLoopback(port);
    if (s != kNoSocket) Close(s);
    return port;
}

int WaitReadable(Socket s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int r = ::select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

Socket Accept(Socket listener) {
    SOCKET c = ::accept(S(listener), nullptr, nullptr);
    if (c == INVALID_SOCKET) return kNoSocket;
    // An accepted socket takes the listener's mode; said again so that no wait here can be unbounded.
    if (!MakeNonBlocking(c)) {
        ::closesocket(c);
        return kNoSocket;
    }
    BOOL one = TRUE;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Socket>(c);
}

long Receive(Socket s, char* buffer, size_t size) {
    int r = ::recv(S(s), buffer, static_cast<int>(size), 0);
    if (r == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingYet : -1;
    return r;
}

bool SendAll(Socket s, const char* data, size_t size, const std::atomic<bool>& stop, int idleMs) {
    int idle = 0;
    while (size > 0) {
        if (stop) return false;
        int piece = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
        int r = ::send(S(s), data, piece, 0);
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (idle >= idleMs) return false;
            if (WaitWritable(S(s), kStepMs) < 0) return false;
            idle += kStepMs;
            continue;
        }
        if (r == SOCKET_ERROR || r == 0) return false;
        idle = 0;
        data += r;
        size -= static_cast<size_t>(r);
    }
    return true;
}

void Shutdown(Socket s) { ::shutdown(S(s), SD_BOTH); }

void Close(Socket s) { ::closesocket(S(s)); }

}  // namespace launcher::test::net
