// helperquery SOCKET TYPE [TEXT...]
//
// Sends one request of the given type to a helper server; each TEXT is put
// into the payload followed by a NUL. Prints the response status, and the
// payload as a 32-bit number (4 bytes) or as text (anything else).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helperproto.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s SOCKET TYPE [TEXT...]\n", argv[0]);
        return 2;
    }
    HelperMessage msg;
    memset(&msg, 0, sizeof(msg));
    char *end = nullptr;
    errno = 0;
    long type = strtol(argv[2], &end, 0);
    if (errno != 0 || *end != '\0' || type < INT32_MIN || type > INT32_MAX) {
        fprintf(stderr, "bad request type: %s\n", argv[2]);
        return 2;
    }
    msg.type = static_cast<int32_t>(type);
    size_t used = 0;
    for (int i = 3; i < argc; ++i) {
        size_t n = strlen(argv[i]) + 1;
        if (n > sizeof(msg.payload) - used) {
            fprintf(stderr, "payload longer than %d bytes\n", HELPER_MAX_PAYLOAD);
            return 2;
        }
        memcpy(msg.payload + used, argv[i], n);
        used += n;
    }
    msg.length = static_cast<int32_t>(used);
    // The request may carry a password; the response replaces it in msg.
    int rc = sendMsg(argv[1], &msg, HELPER_CLIENT_TIMEOUT);
    if (rc != 0) {
        explicit_bzero(&msg, sizeof(msg));
        fprintf(stderr, "\nrequest failed: %s\n", strerror(rc));
        return 1;
    }
    printf("status %d\n", msg.status);
    if (msg.length == 4) {
        int32_t word;
        memcpy(&word, msg.payload, sizeof(word));
        printf("value %d\n", word);
    } else if (msg.length > 0) {
        printf("%.*s\n", msg.length, reinterpret_cast<const char *>(msg.payload));
    }
    explicit_bzero(&msg, sizeof(msg));
    return 0;
}
