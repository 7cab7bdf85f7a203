// Arbitrary datagrams through the server's validation and request handler,
// as runSocketServer would pass them on. The checksum is also repaired so
// that most inputs reach the handler instead of stopping at validation.
// The rejections go to stderr: run with -close_fd_mask=2 to keep them quiet.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "passcheck.h"

namespace {

void handle(HelperMessage *msg)
{
    handleRequest(msg);
    // The server trusts the handler to leave a sendable message.
    if (static_cast<uint32_t>(msg->length) > HELPER_MAX_PAYLOAD)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HelperMessage msg;
    memset(&msg, 0, sizeof(msg));
    memcpy(&msg, data, size < sizeof(msg) ? size : sizeof(msg));
    if (verifyChecksum(&msg, static_cast<ssize_t>(size)) && msg.type != HELPER_TYPE_SHUTDOWN) {
        HelperMessage copy = msg;
        handle(&copy);
    }
    if (static_cast<uint32_t>(msg.length) <= HELPER_MAX_PAYLOAD && msg.type != HELPER_TYPE_SHUTDOWN) {
        msg.checksum = computeChecksum(&msg);
        if (verifyChecksum(&msg, HELPER_HEADER_SIZE + msg.length))
            handle(&msg);
    }
    return 0;
}
