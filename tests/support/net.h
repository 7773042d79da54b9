#pragma once

// The few socket calls the loopback test server needs, over BSD sockets or Winsock.

#include <cstddef>
#include <cstdint>

namespace launcher::test::net {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// A listening socket on 127.0.0.1 with a port the system picks; kNoSocket on failure.
Socket ListenLoopback(uint16_t& port);
// A loopback port on which nothing listens (bound once, then closed), for refused connections.
uint16_t UnusedLoopbackPort();
// 1 when the socket can be read (or accepted from) within `ms`, 0 on time-out, -1 on error.
int WaitReadable(Socket s, int ms);
Socket Accept(Socket listener);
// Bytes read, 0 at the end of the stream, -1 on error.
long Receive(Socket s, char* buffer, size_t size);
// Sends everything; false when the peer went away.
bool SendAll(Socket s, const char* data, size_t size);
// Ends both directions, so a blocked send or receive on another thread returns.
void Shutdown(Socket s);
void Close(Socket s);

}  // namespace launcher::test::net
