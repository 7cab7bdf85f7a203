#include "helperproto.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static_assert(sizeof(HelperMessage) == HELPER_MSG_SIZE, "a message is one 1024-byte datagram");
static_assert(offsetof(HelperMessage, payload) == HELPER_HEADER_SIZE, "the header is 32 bytes");
/* The sender address buffer of the protocol is 110 bytes: family plus sun_path. */
static_assert(sizeof(sockaddr_un) == 110, "sockaddr_un has a 108-byte sun_path");

namespace {

/* perror with a formatted prefix: "<prefix>: <reason>\n". */
void reportError(const char *fmt, const char *arg, int err)
{
    fprintf(stderr, fmt, arg);
    fprintf(stderr, ": %s\n", strerror(err));
}

/*
 * Builds the filesystem address of a server socket. A path of exactly 108
 * bytes fills sun_path without a terminator, which the kernel accepts; a
 * longer or empty one is refused instead of being cut or autobound.
 */
int makeServerAddress(const char *path, sockaddr_un *addr, socklen_t *len)
{
    if (path == nullptr || path[0] == '\0')
        return EINVAL;
    size_t n = strnlen(path, sizeof(addr->sun_path) + 1);
    if (n > sizeof(addr->sun_path))
        return ENAMETOOLONG;
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path, n);
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    return 0;
}

bool lengthInRange(int32_t length)
{
    return static_cast<uint32_t>(length) <= HELPER_MAX_PAYLOAD;
}

ssize_t datagramSize(const HelperMessage *msg)
{
    return HELPER_HEADER_SIZE + msg->length;
}

bool sameAddress(const sockaddr_un &a, socklen_t alen, const sockaddr_un &b, socklen_t blen)
{
    const socklen_t base = offsetof(sockaddr_un, sun_path);
    if (alen < base || blen < base || a.sun_family != b.sun_family)
        return false;
    /* The kernel reports the full length of an address that did not fit,
     * which for a 108-byte path includes a NUL beyond sun_path. */
    alen = std::min<socklen_t>(alen, sizeof(a));
    blen = std::min<socklen_t>(blen, sizeof(b));
    /* Pathname addresses may or may not count their terminating NUL. */
    size_t an = strnlen(a.sun_path, alen - base);
    size_t bn = strnlen(b.sun_path, blen - base);
    return an == bn && memcmp(a.sun_path, b.sun_path, an) == 0;
}

/*
 * A set-user-ID helper touches the socket path its caller names with the
 * caller's own rights: otherwise it would remove, create or write to socket
 * files wherever root may. A no-op in a process that is not set-user-ID.
 */
class CallerRights {
public:
    CallerRights()
    {
        if (geteuid() != getuid()) {
            saved_ = geteuid();
            if (seteuid(getuid()) == 0)
                switched_ = true;
            else
                error_ = errno;
        }
    }
    ~CallerRights()
    {
        if (switched_ && seteuid(saved_) != 0)
            abort(); /* the saved set-user-ID always allows this */
    }
    CallerRights(const CallerRights &) = delete;
    CallerRights &operator=(const CallerRights &) = delete;
    int error() const { return error_; }

private:
    uid_t saved_ = 0;
    bool switched_ = false;
    int error_ = 0;
};

long long monotonicMillis()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/*
 * Creates the client socket connected to the server. The socket is connected
 * before it is given its autobound abstract address, so from the moment the
 * address exists the kernel refuses datagrams to it from any socket other
 * than the server's (EPERM for the sender). Returns the socket or -errno.
 */
int openClientSocket(const char *path)
{
    sockaddr_un server;
    socklen_t serverLen = 0;
    int err = makeServerAddress(path, &server, &serverLen);
    if (err != 0) {
        reportError("sendto: %s", path ? path : "", err);
        return -err;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        perror("socket");
        return -err;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&server), serverLen) != 0) {
        int err = errno;
        reportError("sendto: %s", path, err);
        close(fd);
        return -err;
    }
    sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&self), sizeof(sa_family_t)) != 0) {
        int err = errno;
        perror("bind client");
        close(fd);
        return -err;
    }
    return fd;
}

/* Sends the request with its checksum set. Returns 0 or an errno value. */
int sendRequest(int fd, const char *path, HelperMessage *msg)
{
    if (!lengthInRange(msg->length)) {
        reportError("sendto: %s", path, EMSGSIZE);
        return EMSGSIZE;
    }
    msg->checksum = computeChecksum(msg);
    ssize_t sent;
    do {
        sent = send(fd, msg, static_cast<size_t>(datagramSize(msg)), 0);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        int err = errno;
        reportError("sendto: %s", path, err);
        return err;
    }
    return 0;
}

/*
 * Waits for the server's reply until the deadline. A datagram whose sender
 * is not the server is discarded (the connected socket should never see
 * one). Returns 0 with the validated reply in msg, or an errno value.
 */
int awaitReply(int fd, const char *path, HelperMessage *msg, int timeoutSeconds)
{
    sockaddr_un server;
    socklen_t serverLen = sizeof(server);
    memset(&server, 0, sizeof(server));
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&server), &serverLen) != 0) {
        int err = errno;
        reportError("recvfrom: %s", path, err);
        return err;
    }

    const long long deadline = monotonicMillis() + (timeoutSeconds > 0 ? timeoutSeconds * 1000LL : 0);
    HelperMessage reply;
    int result;
    for (;;) {
        long long left = deadline - monotonicMillis();
        pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            result = errno;
            perror("waitForResponse");
            break;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            perror("waitForResponse");
            result = ETIMEDOUT;
            break;
        }

        memset(&reply, 0, sizeof(reply));
        sockaddr_un from;
        socklen_t fromLen = sizeof(from);
        memset(&from, 0, sizeof(from));
        /* MSG_TRUNC reports the real size of an oversized datagram, which
         * then fails validation instead of passing as a cut-off message. */
        ssize_t n = recvfrom(fd, &reply, sizeof(reply), MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result = errno;
            reportError("recvfrom: %s", path, result);
            break;
        }
        if (!sameAddress(from, fromLen, server, serverLen))
            continue;
        if (!verifyChecksum(&reply, n)) {
            result = EINVAL;
            break;
        }
        memcpy(msg, &reply, sizeof(reply));
        result = 0;
        break;
    }
    explicit_bzero(&reply, sizeof(reply));
    return result;
}

/*
 * Replaces a stale socket file at path (anything else there is refused with
 * EINVAL and left alone) and binds a new socket to it, closed to other users.
 * Returns the socket or -errno.
 */
int bindServerSocket(const char *path)
{
    sockaddr_un addr;
    socklen_t addrLen = 0;
    int err = makeServerAddress(path, &addr, &addrLen);
    if (err != 0) {
        reportError("bind: %s", path ? path : "", err);
        return -err;
    }
    CallerRights caller;
    if (caller.error() != 0) {
        reportError("%s", "seteuid", caller.error());
        return -caller.error();
    }
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            errno = EINVAL;
            perror(path);
            return -EINVAL;
        }
        if (unlink(path) != 0) {
            int err = errno;
            reportError("unlink: %s", path, err);
            return -err;
        }
    }

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        perror("socket");
        return -err;
    }
    mode_t oldMask = umask(007);
    int rc = bind(fd, reinterpret_cast<const sockaddr *>(&addr), addrLen);
    err = errno;
    umask(oldMask);
    if (rc != 0) {
        reportError("bind: %s", path, err);
        close(fd);
        return -err;
    }
    return fd;
}

} // namespace

extern "C" {

int32_t computeChecksum(const HelperMessage *msg)
{
    uint32_t sum = static_cast<uint32_t>(msg->length) + static_cast<uint32_t>(msg->type) +
                   static_cast<uint32_t>(msg->status);
    for (int32_t word : msg->reserved)
        sum += static_cast<uint32_t>(word);
    const size_t n = lengthInRange(msg->length) ? static_cast<size_t>(msg->length) : static_cast<size_t>(HELPER_MAX_PAYLOAD);
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(msg->payload[i])));
    return static_cast<int32_t>(sum);
}

bool verifyChecksum(const HelperMessage *msg, ssize_t n)
{
    if (!lengthInRange(msg->length)) {
        fprintf(stderr, "Message type %x with length %d exceeds maximum message size",
                static_cast<unsigned>(msg->type), msg->length);
        return false;
    }
    if (datagramSize(msg) != n) {
        fprintf(stderr, "Message type %x with length %d does not match header length %d",
                static_cast<unsigned>(msg->type), msg->length, static_cast<int>(n));
        return false;
    }
    if (computeChecksum(msg) != msg->checksum) {
        fprintf(stderr, "Message type %x with length %d does not match checksum",
                static_cast<unsigned>(msg->type), msg->length);
        return false;
    }
    return true;
}

int sendMsg(const char *socketPath, HelperMessage *msg, int timeoutSeconds)
{
    int fd = openClientSocket(socketPath);
    if (fd < 0)
        return -fd;
    int err = sendRequest(fd, socketPath, msg);
    if (err == 0)
        err = awaitReply(fd, socketPath, msg, timeoutSeconds);
    close(fd);
    return err;
}

int sendShutdown(const char *socketPath)
{
    CallerRights caller;
    if (caller.error() != 0) {
        reportError("%s", "seteuid", caller.error());
        return caller.error();
    }
    int fd = openClientSocket(socketPath);
    if (fd < 0)
        return -fd;
    HelperMessage msg;
    memset(&msg, 0, sizeof(msg));
    msg.type = HELPER_TYPE_SHUTDOWN;
    int err = sendRequest(fd, socketPath, &msg);
    close(fd);
    return err;
}

int becomeRoot(void)
{
    if (setuid(0) != 0) {
        int err = errno;
        perror("setuid");
        return err;
    }
    return 0;
}

int runSocketServer(const char *socketPath, HelperRequestHandler handler)
{
    int fd = bindServerSocket(socketPath);
    if (fd < 0)
        return -fd;

    HelperMessage msg;
    sockaddr_un from;
    for (;;) {
        memset(&from, 0, sizeof(from));
        memset(&msg, 0, sizeof(msg));
        socklen_t fromLen = sizeof(from);
        ssize_t n = recvfrom(fd, &msg, sizeof(msg), MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0) {
            if (errno != EINTR)
                perror("recvfrom client");
            continue;
        }
        if (!verifyChecksum(&msg, n))
            continue;
        if (msg.type == HELPER_TYPE_SHUTDOWN) {
            if (msg.length == 0)
                break;
            fputs("Invalid shutdown request received", stderr);
            continue;
        }
        msg.status = handler(&msg);
        if (!lengthInRange(msg.length))
            msg.length = 0;
        msg.checksum = computeChecksum(&msg);
        /* Never block on a client that does not read its replies. */
        if (sendto(fd, &msg, static_cast<size_t>(datagramSize(&msg)), MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr *>(&from), fromLen) < 0)
            perror("sendto client");
    }
    explicit_bzero(&msg, sizeof(msg));
    puts("Server shutdown requested");
    fflush(stdout);
    close(fd);
    return 0;
}

} // extern "C"
