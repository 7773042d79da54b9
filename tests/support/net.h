#pragma once

// The few socket calls the loopback test server needs, over BSD sockets or Winsock.
//
// Every socket is non-blocking and every wait is a poll of at most kStepMs: under Wine a blocking send is
// not always woken when the peer resets the connection, and neither shutdown nor closesocket on our own
// side wakes it, so a blocked call could hold the server's stop (and the test) for ever.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace launcher::test::net {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;
// The longest single wait of any call here.
inline constexpr int kStepMs = 50;
// What Receive returns when nothing has arrived yet.
inline constexpr long kNothingYet = -2;

// A listening socket on 127.0.0.1 with a port the system picks; kNoSocket on failure.
Socket ListenLoopback(uint16_t& port);
// A loopback port on which nothing listens (bound once, then closed), for refused connections.
uint16_t UnusedLoopbackPort();
// 1 when the socket can be read (or accepted from) within `ms`, 0 on time-out, -1 on error.
int WaitReadable(Socket s, int ms);
// A waiting connection; kNoSocket when there is none (any more).
Socket Accept(Socket listener);
// Bytes read, 0 at the end of the stream, kNothingYet when nothing is there, -1 on error.
long Receive(Socket s, char* buffer, size_t size);
// Sends everything, waiting for room in steps; false when the peer went away, when `stop` is set, or when
// the peer took nothing for `idleMs`.
bool SendAll(Socket s, const char* data, size_t size, const std::atomic<bool>& stop, int idleMs = 30000);
// Ends both directions: the peer sees the end; our own waits end at their next step.
void Shutdown(Socket s);
void Close(Socket s);

}  // namespace launcher::test::net
