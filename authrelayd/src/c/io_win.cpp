#include <winsock2.h>

#include <climits>

#include "io.h"

namespace authrelay::io_platform {

namespace {
constexpr size_t kChunk = INT_MAX / 2;
} // namespace

long Receive(Socket socket, void *destination, size_t n, uint32_t *error)
{
    int got = recv(static_cast<SOCKET>(socket), static_cast<char *>(destination),
                   static_cast<int>(n < kChunk ? n : kChunk), 0);
    if (got == SOCKET_ERROR) {
        *error = static_cast<uint32_t>(WSAGetLastError());
        return -1;
    }
    return got;
}

long Send(Socket socket, const void *source, size_t n, uint32_t *error)
{
    int sent = send(static_cast<SOCKET>(socket), static_cast<const char *>(source),
                    static_cast<int>(n < kChunk ? n : kChunk), 0);
    if (sent == SOCKET_ERROR) {
        *error = static_cast<uint32_t>(WSAGetLastError());
        return -1;
    }
    return sent;
}

uint32_t LastError()
{
    return static_cast<uint32_t>(WSAGetLastError());
}

bool IsTerminated(uint32_t error)
{
    // A blocking receive gets WSAEINTR when another thread closes the socket.
    return error == WSAEINTR;
}

} // namespace authrelay::io_platform
