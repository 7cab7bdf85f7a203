/*
 * acctsrc: the accounts of the local operating system behind one C interface.
 *
 * Texts are NUL-terminated wchar_t strings (UTF-16 on Windows, UTF-32 on
 * Linux). Everything a successful call hands out belongs to the caller and
 * goes back only through the matching Free function: the library allocates
 * from its own heap. A failing call hands out nothing.
 *
 * Every function except the Free functions returns one of the ACCTSRC_
 * codes. On failure the calling thread's extended error (GetExtendedError,
 * GetExtendedErrorMsg) usually says why; successful calls leave it alone.
 */
#ifndef ACCTSRC_H
#define ACCTSRC_H

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(ACCTSRC_BUILD)
#define ACCTSRC_API __declspec(dllexport)
#elif defined(_WIN32)
#define ACCTSRC_API __declspec(dllimport)
#else
#define ACCTSRC_API __attribute__((visibility("default")))
#endif

enum {
    ACCTSRC_OK = 0,
    ACCTSRC_FAILURE = 1,         /* general failure, e.g. the password helper was not reached */
    ACCTSRC_NO_MEMORY = 2,       /* extended error code: bytes asked for */
    ACCTSRC_NULL_PARAMETER = 3,
    ACCTSRC_INVALID_PARAMETER = 4,
    ACCTSRC_REJECTED = 5,        /* ValidateCredentials: name and password not valid */
    ACCTSRC_SYSTEM_FAILURE = 6,  /* a system call failed or a setting is missing */
    ACCTSRC_UNEXPECTED = 7,
    ACCTSRC_NOT_FOUND = 8
};

/* UserInfo.status bits. */
enum {
    ACCTSRC_STATUS_LOCKED = 1,
    ACCTSRC_STATUS_DISABLED = 2, /* disabled, or the account has expired */
    ACCTSRC_STATUS_PASSWORD_EXPIRED = 4
};

/* MemberInfo.type */
enum {
    ACCTSRC_MEMBER_USER = 0,
    ACCTSRC_MEMBER_GROUP = 1,
    ACCTSRC_MEMBER_WELL_KNOWN_GROUP = 2,
    ACCTSRC_MEMBER_DELETED = 3,
    ACCTSRC_MEMBER_OTHER = 4
};

typedef struct UserInfo {
    wchar_t *name;
    wchar_t *id;          /* Windows: SID text; Linux: uid as signed decimal */
    wchar_t *description; /* NULL when there is none (always on Linux) */
    wchar_t *reserved;    /* NULL */
    wchar_t *firstName;   /* split from the full name; each may be NULL */
    wchar_t *middleName;
    wchar_t *lastName;
    long accountExpires;  /* seconds since 1970-01-01, -1 when unknown */
    long lastLogon;       /* seconds since 1970-01-01 (Linux: 0) */
    long status;          /* ACCTSRC_STATUS_ bits */
} UserInfo;

typedef struct GroupInfo {
    wchar_t *name;
    wchar_t *id;          /* Windows: COMPUTER\group; Linux: gid as signed decimal */
    wchar_t *description;
} GroupInfo;

typedef struct MemberInfo {
    wchar_t *name;
    wchar_t *id;          /* the id the member has as a user or group record */
    int type;             /* ACCTSRC_MEMBER_ */
} MemberInfo;

typedef struct DomainInfo {
    wchar_t *dnsName;
    wchar_t *netbiosName; /* NULL when the system gave none */
} DomainInfo;

/* Single lookups. On failure *user / *group is not written. */
ACCTSRC_API int GetUserByName(const wchar_t *name, UserInfo **user);
ACCTSRC_API int GetUserByID(const wchar_t *id, UserInfo **user);
ACCTSRC_API int GetGroupByName(const wchar_t *name, GroupInfo **group);
ACCTSRC_API int GetGroupByID(const wchar_t *id, GroupInfo **group);

/*
 * Complete listings, stopping after maxCount records. On failure, and for a
 * maxCount of 0, *count is 0 and the list is empty (NULL on Linux).
 */
ACCTSRC_API int GetAllUsers(size_t maxCount, size_t *count, UserInfo ***users);
ACCTSRC_API int GetAllGroups(size_t maxCount, size_t *count, GroupInfo ***groups);

/* Groups of a user. On failure the outputs are not written. */
ACCTSRC_API int GetUserGroupsByName(const wchar_t *name, size_t *count, GroupInfo ***groups);
ACCTSRC_API int GetUserGroupsByID(const wchar_t *id, size_t *count, GroupInfo ***groups);

/* Members of a group. A NULL parameter of GetGroupMembersByName gives 1. */
ACCTSRC_API int GetGroupMembersByName(const wchar_t *name, size_t *count, MemberInfo ***members);
ACCTSRC_API int GetGroupMembersByID(const wchar_t *id, size_t *count, MemberInfo ***members);

/* 0 when the name and password are valid, 5 when they are not. */
ACCTSRC_API int ValidateCredentials(const wchar_t *user, const wchar_t *password);

#if defined(_WIN32)
ACCTSRC_API int GetAllLocalOSDomains(size_t *count, DomainInfo ***domains);
#endif

/*
 * The calling thread's last recorded error. With none recorded yet the
 * output is left unchanged (Linux). The message stays valid until the
 * thread records its next error or ends; it is never freed by the caller.
 */
ACCTSRC_API int GetExtendedError(unsigned long *code);
ACCTSRC_API int GetExtendedErrorMsg(const wchar_t **message);

/* Release functions: NULL, or a pointer to NULL, is accepted; the pointer is set to NULL. */
ACCTSRC_API void FreeUserInfo(UserInfo **user);
ACCTSRC_API void FreeGroupInfo(GroupInfo **group);
ACCTSRC_API void FreeUserInfos(UserInfo ***users, size_t count);
ACCTSRC_API void FreeGroupInfos(GroupInfo ***groups, size_t count);
ACCTSRC_API void FreeMemberInfos(MemberInfo ***members, size_t count);
ACCTSRC_API void FreeDomainInfos(DomainInfo ***domains, size_t count);

#if !defined(_WIN32)
/*
 * How the Linux library reaches the password check helper: "Fork" runs the
 * helper program per question, "Socket" asks a running helper server,
 * "Call" reads the shadow database in this process (which then needs the
 * rights to). Until a mode is set, password checks fail with 6 and user
 * records carry expiry -1 and status 0. Set these before other threads use
 * the library.
 */
ACCTSRC_API int SetPasscheckMode(const wchar_t *mode);
ACCTSRC_API int SetPasscheckPath(const wchar_t *path);
ACCTSRC_API int SetPasscheckUnixSocketPath(const wchar_t *path);
/* Stops the helper server at the socket path. */
ACCTSRC_API int ShutdownUnixSocketServer(void);
#endif

#ifdef __cplusplus
}
#endif

#endif
