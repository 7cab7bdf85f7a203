#include "boardprobe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "smbios.h"

namespace {

const char kUsage[] = "Usage: boardprobe [[--server | --shutdown] socketPath]\n";

/* Test images are decided on before becomeRoot, while a set-user-ID start still shows. */
int readValues(char **area)
{
    int err = smbiosTakeTestSources();
    if (err == 0)
        err = becomeRoot();
    if (err == 0)
        err = accessSmBiosData(area);
    return err;
}

int printOnce()
{
    char *area = nullptr;
    int err = readValues(&area);
    if (err != 0)
        return err;
    printf("%s\n%s\n%s\n", area + SMBIOS_UUID_FIELD, area + SMBIOS_PROCESSOR_FIELD, area + SMBIOS_MEMORY_FIELD);
    fflush(stdout);
    return 0;
}

/*
 * becomeRoot makes a set-user-ID process root through and through, real
 * user included. The server needs root only for the read, so it returns to
 * the caller's user before it removes and creates the socket file of the
 * caller's choosing.
 */
int returnToCaller(uid_t caller)
{
    if (caller == 0 || getuid() == caller)
        return 0;
    if (setuid(caller) != 0) {
        int err = errno;
        perror("setuid");
        return err;
    }
    return 0;
}

int serve(const char *socketPath)
{
    const uid_t caller = getuid();
    char *area = nullptr;
    int err = readValues(&area);
    if (err == 0)
        err = returnToCaller(caller);
    if (err != 0)
        return err;
    return runSocketServer(socketPath, handleRequest);
}

} // namespace

extern "C" {

int formatAnswer(HelperMessage *msg, const char *uuid, const char *processor, const char *memory)
{
    char text[HELPER_MAX_PAYLOAD];
    int n = snprintf(text, sizeof(text), "%s\n%s\n%s\n", uuid, processor, memory);
    if (n < 0 || static_cast<size_t>(n) + 1 > sizeof(text)) {
        fputs("Result too large for maximum message size", stderr);
        return ENOMEM;
    }
    memcpy(msg->payload, text, static_cast<size_t>(n) + 1);
    msg->length = n + 1;
    return 0;
}

int handleRequest(HelperMessage *msg)
{
    if (msg->type != BOARDPROBE_REQ_VALUES) {
        fprintf(stderr, "Invalid request type %x", static_cast<unsigned>(msg->type));
        return EINVAL;
    }
    char *area = nullptr;
    int err = accessSmBiosData(&area);
    if (err != 0)
        return err;
    return formatAnswer(msg, area + SMBIOS_UUID_FIELD, area + SMBIOS_PROCESSOR_FIELD, area + SMBIOS_MEMORY_FIELD);
}

int boardprobeMain(int argc, char **argv)
{
    if (argc == 1)
        return printOnce();
    if (argc == 3 && strcmp(argv[1], "--server") == 0)
        return serve(argv[2]);
    if (argc == 3 && strcmp(argv[1], "--shutdown") == 0)
        return sendShutdown(argv[2]);
    fputs(kUsage, stderr);
    return 1;
}

} // extern "C"
