/*
 * boardprobe: prints the system UUID, processor ID and first memory serial
 * from the SMBIOS tables once, or serves them as a helper datagram server.
 */
#ifndef BOARDPROBE_H
#define BOARDPROBE_H

#include "helperproto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The one request type of the server. */
enum { BOARDPROBE_REQ_VALUES = 1 };

/*
 * Puts the three values, each followed by a line break, and a NUL into the
 * payload. Returns 0, or 12 (ENOMEM) with the payload unchanged when they
 * do not fit a message.
 */
int formatAnswer(HelperMessage *msg, const char *uuid, const char *processor, const char *memory);
/* The server's request handler. */
int handleRequest(HelperMessage *msg);
/* The whole program. */
int boardprobeMain(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
