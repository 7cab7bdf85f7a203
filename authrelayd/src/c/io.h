// Whole reads and writes on a connected stream socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authrelay {

#ifdef _WIN32
using Socket = uintptr_t; // SOCKET
#else
using Socket = int;
#endif

// Reads exactly n bytes into destination. Returns 1 when all arrived, 0 when
// the connection ended first (closed by the peer, or by this process), or the
// negative receive result on error.
int ReadFull(Socket socket, void *destination, size_t n);

// Writes all n bytes. Returns 1 when they were written, 0 on error. Writers
// of one socket are serialised, so that concurrent messages never interleave
// on the stream.
int WriteFull(Socket socket, const void *source, size_t n);

// Platform primitives behind ReadFull and WriteFull (io_win.cpp, io_posix.cpp).
namespace io_platform {
// One receive or send of at most n bytes; returns the count, 0 at the end of
// the stream (receive only), or a negative value with *error set.
long Receive(Socket socket, void *destination, size_t n, uint32_t *error);
long Send(Socket socket, const void *source, size_t n, uint32_t *error);
// The socket's last error after a receive that returned 0.
uint32_t LastError();
// True when error means the socket was closed under a blocked receive.
bool IsTerminated(uint32_t error);
} // namespace io_platform

} // namespace authrelay
