#include <cerrno>
#include <climits>
#include <sys/socket.h>

#include "io.h"

namespace authrelay::io_platform {

namespace {
// Each call moves at most this much, so the result always fits an int.
constexpr size_t kChunk = INT_MAX / 2;
} // namespace

long Receive(Socket socket, void *destination, size_t n, uint32_t *error)
{
    for (;;) {
        // Cleared so that an orderly end reports no stale error.
        errno = 0;
        ssize_t got = recv(socket, destination, n < kChunk ? n : kChunk, 0);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno == EINTR) // a signal, not the end of the connection
            continue;
        *error = static_cast<uint32_t>(errno);
        return -1;
    }
}

long Send(Socket socket, const void *source, size_t n, uint32_t *error)
{
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone is an error result, not SIGPIPE.
        ssize_t sent = send(socket, source, n < kChunk ? n : kChunk, MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<long>(sent);
        if (errno == EINTR)
            continue;
        *error = static_cast<uint32_t>(errno);
        return -1;
    }
}

uint32_t LastError()
{
    return static_cast<uint32_t>(errno);
}

bool IsTerminated(uint32_t error)
{
    // The descriptor was closed by another thread while this one waited.
    return error == EBADF;
}

} // namespace authrelay::io_platform
