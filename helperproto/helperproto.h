/*
 * Datagram protocol between the privileged Linux helpers (passcheck,
 * boardprobe) and their clients (acctsrc, hostseal).
 *
 * One request datagram, one response datagram, over an AF_UNIX SOCK_DGRAM
 * socket. Fields travel in host byte order: both ends are on one machine.
 */
#ifndef HELPERPROTO_H
#define HELPERPROTO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    HELPER_MSG_SIZE = 1024,
    HELPER_HEADER_SIZE = 32,
    HELPER_MAX_PAYLOAD = HELPER_MSG_SIZE - HELPER_HEADER_SIZE, /* 992 */
    HELPER_TYPE_SHUTDOWN = -1,
    /* The timeout every client in the system passes to sendMsg. */
    HELPER_CLIENT_TIMEOUT = 5
};

typedef struct HelperMessage {
    int32_t length;   /* payload bytes, 0..992 */
    int32_t checksum; /* see computeChecksum */
    int32_t type;     /* request type; -1 is shutdown */
    int32_t status;   /* set by the server in the response; 0 in requests */
    int32_t reserved[4];
    unsigned char payload[HELPER_MAX_PAYLOAD];
} HelperMessage;

/* Returns the status to put in the response. May rewrite payload and length. */
typedef int (*HelperRequestHandler)(HelperMessage *msg);

/*
 * Wrapping 32-bit sum of length, type, status, the reserved words and every
 * payload byte (as signed char) up to length. The checksum field is not part
 * of it. A length outside 0..992 is summed over the full 992-byte area, so
 * the call never reads outside the message.
 */
int32_t computeChecksum(const HelperMessage *msg);

/*
 * Validates a received datagram of n bytes: length in range, 32 + length == n,
 * checksum right. Returns true if valid; otherwise writes the reason to
 * stderr (no line break) and returns false.
 */
bool verifyChecksum(const HelperMessage *msg, ssize_t n);

/*
 * Sends the request in msg (checksum filled in here) to the server bound at
 * socketPath and waits up to timeoutSeconds for its response, which replaces
 * the request in msg. Only a datagram from that server is accepted.
 * Returns 0 with a validated response, ETIMEDOUT, EINVAL for an invalid
 * response, or the errno of the failing call.
 */
int sendMsg(const char *socketPath, HelperMessage *msg, int timeoutSeconds);

/* Sends the shutdown request (type -1, length 0). Returns 0 or an errno. */
int sendShutdown(const char *socketPath);

/* setuid(0). Returns 0, or errno after perror("setuid"). */
int becomeRoot(void);

/*
 * Binds socketPath (replacing a stale socket file, refusing anything else
 * with EINVAL) and answers requests with handler until a valid shutdown
 * request arrives. Returns 0 after shutdown, else an errno value.
 */
int runSocketServer(const char *socketPath, HelperRequestHandler handler);

#ifdef __cplusplus
}
#endif

#endif
