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
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
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
    BOOL one = TRUE;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Socket>(c);
}

long Receive(Socket s, char* buffer, size_t size) {
    int r = ::recv(S(s), buffer, static_cast<int>(size), 0);
    return r == SOCKET_ERROR ? -1 : r;
}

bool SendAll(Socket s, const char* data, size_t size) {
    while (size > 0) {
        int piece = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
        int r = ::send(S(s), data, piece, 0);
        if (r == SOCKET_ERROR || r == 0) return false;
        data += r;
        size -= static_cast<size_t>(r);
    }
    return true;
}

void Shutdown(Socket s) { ::shutdown(S(s), SD_BOTH); }

void Close(Socket s) { ::closesocket(S(s)); }

}  // namespace launcher::test::net
