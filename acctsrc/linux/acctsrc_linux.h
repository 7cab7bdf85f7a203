/*
 * The Linux back end's building blocks. The extern "C" ones are exported by
 * the library (see acctsrc.map); the rest are shared between its units only.
 */
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <cstdio>

#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/types.h>

#include "acctsrc.h"
#include "acctsrc_common.h"
#include "helperproto.h"

/* The invalid id: also what the id text -1 and the uid 4294967295 stand for. */
#define ACCTSRC_INVALID_ID 4294967295u

/* Result codes of the in-process shadow checks (check_auth and friends). */
enum {
    PASSCHECK_CALL_OK = 0,
    PASSCHECK_CALL_NO_USER = 1,
    PASSCHECK_CALL_BAD_PASSWORD = 2,
    PASSCHECK_CALL_ACCOUNT_EXPIRED = 4,
    PASSCHECK_CALL_PASSWORD_EXPIRED = 5,
    PASSCHECK_CALL_NO_MEMORY = 12,
    PASSCHECK_CALL_LOOKUP_FAILED = 52,
    PASSCHECK_CALL_NO_ACCESS = 53
};

extern "C" {

/* uid of the user whose password check_auth looked at last, and whether it is set. */
extern int hisuid;
extern int haveuid;

/*
 * Single lookups through the name service. *buffer is the caller's scratch
 * buffer (realloc'd here, freed by the caller, may start NULL).
 * Return 0 found, 8 not found, 2 no memory, 6 other failure (recorded).
 */
int LookupUserByName(const char *name, struct passwd *entry, char **buffer);
int LookupUserByUID(uid_t uid, struct passwd *entry, char **buffer);
int LookupGroupByName(const char *name, struct group *entry, char **buffer);
int LookupGroupByGID(gid_t gid, struct group *entry, char **buffer);

/*
 * Next entry of an open passwd file; the buffer and its size stay with the
 * caller between calls. Returns 0, 8 at the end, 2 no memory, 6 failure.
 */
int fgetpwent_alloc(FILE *file, struct passwd *entry, char **buffer, size_t *size);

/* Fill a group record from an entry / from a gid lookup. 0, 2, 3, or a lookup code. */
int FillGroupInfo(GroupInfo *group, const struct group *entry);
int FillGroupInfoByGID(GroupInfo *group, gid_t gid);

/* All groups of a looked-up user, the primary one included. 0, 2, 8 or a fill code. */
int GetUserGroups(const struct passwd *entry, size_t *count, GroupInfo ***groups);

/* Id text to number; ACCTSRC_INVALID_ID when it is not one. */
unsigned int wcsIDtoUnixID(const wchar_t *id);
/* Number to new id text (signed decimal), or NULL (recorded). */
wchar_t *UnixIDtowcs(unsigned int id);

/*
 * Conversions in the current locale to a new text. NULL when out of memory
 * (bare code recorded) or when the text has no form in the locale (recorded
 * with EILSEQ).
 */
wchar_t *mbstowcs_dup(const char *text);
char *wcstombs_dup(const wchar_t *text);

/* The password helper in the configured mode: the ACCTSRC_ result codes. */
int do_check_auth(const char *user, const char *password);
int do_get_account_status(const char *user, long *status);
int do_get_account_expire_time(const char *user, long *expireSeconds);

/* In-process shadow checks: PASSCHECK_CALL_ codes. */
int check_auth(const char *user, const char *password);
int get_account_status(const char *user, long *status);
int get_account_expire_time(const char *user, long *expireDay);
int getspnam_alloc(const char *name, struct spwd *entry, char **buffer);
int getpwnam_alloc(const char *name, struct passwd *entry, char **buffer);

} // extern "C"

namespace acctsrc {

/* Fill a user record from a passwd entry; the helper queries never fail it. */
int FillUserInfo(UserInfo *user, const struct passwd *entry);
int FillGroupInfoByName(GroupInfo *group, const char *name);

/*
 * Converts a caller's wide text for a lookup. Returns 0, 2 (recorded) or 4
 * when the text has no multibyte form (recorded as "<function> parameter
 * <position> invalid").
 */
int ConvertParameter(const char *file, int line, const wchar_t *text, const char *function, int position,
                     char **out);
#define ACCTSRC_CONVERT(text, function, position, out) \
    ::acctsrc::ConvertParameter(__FILE__, __LINE__, (text), (function), (position), (out))

/* Conversions that tell the two failures apart: 0, 2 (recorded), 4 (no form in the locale, not recorded). */
int ToMultibyte(const wchar_t *text, char **out);
int ToWide(const char *text, wchar_t **out);

/*
 * Runs a reentrant name-service lookup, call(entry, buffer, size, &found),
 * in the caller's scratch buffer, which starts at 40 bytes and doubles on
 * ERANGE. Returns 0 found, 8 not found, 2 no memory, or 6 with *failure set
 * to the call's result (for the caller to record).
 */
template <typename Entry, typename Call> int ReentrantLookup(Entry *entry, char **buffer, Call call, int *failure)
{
    std::memset(entry, 0, sizeof(*entry));
    size_t size = 40;
    for (;;) {
        errno = 0;
        void *grown = Reallocate(*buffer, size);
        if (grown == nullptr)
            return ACCTSRC_NO_MEMORY;
        *buffer = static_cast<char *>(grown);
        Entry *found = nullptr;
        const int rc = call(entry, *buffer, size, &found);
        if (rc == 0)
            return found != nullptr ? ACCTSRC_OK : ACCTSRC_NOT_FOUND;
        if (rc == ENOMEM)
            return ACCTSRC_NO_MEMORY;
        if (rc == ERANGE && size <= SIZE_MAX / 2) {
            size *= 2;
            continue;
        }
        *failure = rc;
        return ACCTSRC_SYSTEM_FAILURE;
    }
}

/*
 * Reads the next entry of an open account file with call(file, entry,
 * buffer, size, &found). The buffer and its size live with the caller; on
 * ERANGE the size doubles and the same line is read again. Returns 0, 8 at
 * the end of the file, 2, or 6 with *failure set.
 */
template <typename Entry, typename Call>
int ReadFileEntry(FILE *file, Entry *entry, char **buffer, size_t *size, Call call, int *failure)
{
    std::memset(entry, 0, sizeof(*entry));
    if (*size == 0)
        *size = 32;
    for (;;) {
        errno = 0;
        void *grown = Reallocate(*buffer, *size);
        if (grown == nullptr)
            return ACCTSRC_NO_MEMORY;
        *buffer = static_cast<char *>(grown);
        const off_t position = ftello(file);
        Entry *found = nullptr;
        const int rc = call(file, entry, *buffer, *size, &found);
        if (rc == 0)
            return found != nullptr ? ACCTSRC_OK : ACCTSRC_NOT_FOUND;
        if (rc == ENOENT)
            return ACCTSRC_NOT_FOUND;
        if (rc == ENOMEM)
            return ACCTSRC_NO_MEMORY;
        if (rc == ERANGE && *size <= SIZE_MAX / 2) {
            *size *= 2;
            if (position >= 0 && fseeko(file, position, SEEK_SET) == 0)
                continue;
            *failure = errno;
            return ACCTSRC_SYSTEM_FAILURE;
        }
        *failure = rc;
        return ACCTSRC_SYSTEM_FAILURE;
    }
}

/* A malloc'd multibyte text that is wiped before it is freed. */
void FreeSecret(char *text);

} // namespace acctsrc
