/*
 * passcheck: answers password, status and expiry questions about local
 * accounts from the shadow database for an unprivileged caller, once per
 * invocation or as a helper datagram server.
 */
#ifndef PASSCHECK_H
#define PASSCHECK_H

#include "helperproto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: the exit status in one-shot mode, the response status in server mode. */
enum {
    PASSCHECK_OK = 0,
    PASSCHECK_NO_USER = 1,
    PASSCHECK_BAD_PASSWORD = 2,
    PASSCHECK_ACCOUNT_EXPIRED = 4,
    PASSCHECK_PASSWORD_EXPIRED = 5,
    PASSCHECK_BAD_REQUEST = 51,
    PASSCHECK_NO_ACCESS = 53
};

/* Request types of the server. */
enum { PASSCHECK_REQ_VERIFY = 1, PASSCHECK_REQ_STATUS = 2, PASSCHECK_REQ_EXPIRY = 3 };

/* Status bits. */
enum { PASSCHECK_LOCKED = 1, PASSCHECK_EXPIRED = 2, PASSCHECK_PASSWORD_STALE = 4 };

/* uid of the user last looked up by checkPassword, and whether it is set. */
extern int hisuid;
extern int haveuid;

/* Checks password against user's shadow entry. Returns a result code. */
int checkPassword(const char *user, const char *password);
/* Status bits of user's account. Returns a result code; *bits on success. */
int accountStatus(const char *user, long *bits);
/* Stored expiry day of user's account (-1 when none). Returns a result code. */
int accountExpiry(const char *user, long *day);
/* Writes the last-login record of hisuid; failures are silent. */
void recordLogin(void);
/* The server's request handler. */
int handleRequest(HelperMessage *msg);
/* The whole program. */
int passcheckMain(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
