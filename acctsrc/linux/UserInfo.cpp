/* Users: single lookups, the passwd file listing, user records. */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acctsrc_common.h"
#include "acctsrc_linux.h"

namespace acctsrc {

namespace {

const char kPasswdFile[] = "/etc/passwd";

int FillUserInfoByName(UserInfo *user, const char *name)
{
    if (ACCTSRC_NULL_PARAMS("FillUserInfoByName", user, name))
        return ACCTSRC_NULL_PARAMETER;
    Owned<char> scratch;
    passwd entry;
    const int rc = LookupUserByName(name, &entry, scratch.out());
    return rc != ACCTSRC_OK ? rc : FillUserInfo(user, &entry);
}

int FillUserInfoByUID(UserInfo *user, uid_t uid)
{
    if (ACCTSRC_NULL_PARAMS("FillUserInfoByUID", user))
        return ACCTSRC_NULL_PARAMETER;
    Owned<char> scratch;
    passwd entry;
    const int rc = LookupUserByUID(uid, &entry, scratch.out());
    return rc != ACCTSRC_OK ? rc : FillUserInfo(user, &entry);
}

/* Allocates a record and fills it with fill(record); hands it out only on success. */
template <typename Fill> int NewUser(UserInfo **out, Fill fill)
{
    UserInfo *user = static_cast<UserInfo *>(AllocZeroed(sizeof(UserInfo)));
    if (user == nullptr)
        return ACCTSRC_NO_MEMORY;
    const int rc = fill(user);
    if (rc != ACCTSRC_OK) {
        FreeUserInfo(&user);
        return rc;
    }
    *out = user;
    return ACCTSRC_OK;
}

} // namespace

int FillUserInfo(UserInfo *user, const struct passwd *entry)
{
    if (ACCTSRC_NULL_PARAMS("FillUserInfo", user, entry))
        return ACCTSRC_NULL_PARAMETER;
    std::memset(user, 0, sizeof(*user));
    int rc = ToWide(entry->pw_name, &user->name);
    if (rc == ACCTSRC_INVALID_PARAMETER)
        ACCTSRC_ERROR(EILSEQ, "mbstowcs failed");
    if (rc != ACCTSRC_OK)
        return rc;
    user->id = UnixIDtowcs(entry->pw_uid);
    if (user->id == nullptr) {
        FreeUserFields(user);
        return ACCTSRC_NO_MEMORY;
    }
    if (entry->pw_gecos != nullptr && entry->pw_gecos[0] != '\0') {
        wchar_t *gecos = nullptr;
        rc = ToWide(entry->pw_gecos, &gecos);
        if (rc == ACCTSRC_NO_MEMORY) {
            FreeUserFields(user);
            return rc;
        }
        /* A full name the locale cannot read leaves the names empty; the user is still there. */
        if (rc == ACCTSRC_INVALID_PARAMETER)
            ACCTSRC_ERROR(EILSEQ, "mbstowcs failed");
        rc = rc == ACCTSRC_OK ? SplitFullName(gecos, &user->firstName, &user->middleName, &user->lastName)
                              : ACCTSRC_OK;
        std::free(gecos);
        if (rc != ACCTSRC_OK) {
            FreeUserFields(user);
            return rc;
        }
    }
    user->reserved = nullptr;
    user->lastLogon = 0;
    /* The helper's answers never fail the record; their errors stay recorded. */
    long value = 0;
    user->accountExpires = do_get_account_expire_time(entry->pw_name, &value) == ACCTSRC_OK ? value : -1;
    value = 0;
    user->status = do_get_account_status(entry->pw_name, &value) == ACCTSRC_OK ? value : 0;
    return ACCTSRC_OK;
}

} // namespace acctsrc

using namespace acctsrc;

extern "C" {

int LookupUserByName(const char *name, struct passwd *entry, char **buffer)
{
    int failure = 0;
    const int rc = ReentrantLookup(
        entry, buffer,
        [name](passwd *e, char *b, size_t n, passwd **found) { return getpwnam_r(name, e, b, n, found); },
        &failure);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(static_cast<unsigned long>(failure), "getpwnam(%s) failed", name);
    return rc;
}

int LookupUserByUID(uid_t uid, struct passwd *entry, char **buffer)
{
    int failure = 0;
    const int rc = ReentrantLookup(
        entry, buffer,
        [uid](passwd *e, char *b, size_t n, passwd **found) { return getpwuid_r(uid, e, b, n, found); },
        &failure);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(static_cast<unsigned long>(failure), "getpwuid_r(%d) failed", static_cast<int>(uid));
    return rc;
}

int fgetpwent_alloc(FILE *file, struct passwd *entry, char **buffer, size_t *size)
{
    int failure = 0;
    const int rc = ReadFileEntry(file, entry, buffer, size,
                                 [](FILE *f, passwd *e, char *b, size_t n, passwd **found) {
                                     return fgetpwent_r(f, e, b, n, found);
                                 },
                                 &failure);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(static_cast<unsigned long>(failure), "fgetpwent_r failed");
    return rc;
}

int GetUserByName(const wchar_t *name, UserInfo **user)
{
    if (ACCTSRC_NULL_PARAMS("GetUserByName", name, user))
        return ACCTSRC_NULL_PARAMETER;
    return NewUser(user, [name](UserInfo *record) {
        Owned<char> converted;
        const int rc = ACCTSRC_CONVERT(name, "GetUserByName", 0, converted.out());
        return rc != ACCTSRC_OK ? rc : FillUserInfoByName(record, converted.get());
    });
}

int GetUserByID(const wchar_t *id, UserInfo **user)
{
    if (ACCTSRC_NULL_PARAMS("GetUserByID", id, user))
        return ACCTSRC_NULL_PARAMETER;
    return NewUser(user, [id](UserInfo *record) {
        const unsigned int uid = wcsIDtoUnixID(id);
        if (uid == ACCTSRC_INVALID_ID) {
            ACCTSRC_ERROR(0, "GetUserByID parameter %d invalid", 0);
            return static_cast<int>(ACCTSRC_INVALID_PARAMETER);
        }
        return FillUserInfoByUID(record, uid);
    });
}

int GetAllUsers(size_t maxCount, size_t *count, UserInfo ***users)
{
    if (ACCTSRC_NULL_PARAMS("GetAllUsers", count, users))
        return ACCTSRC_NULL_PARAMETER;
    *count = 0;
    *users = nullptr;
    FILE *file = std::fopen(kPasswdFile, "re");
    if (file == nullptr) {
        ACCTSRC_ERROR(static_cast<unsigned long>(errno), "fopen(/etc/passwd) failed");
        return ACCTSRC_SYSTEM_FAILURE;
    }
    UserList list;
    Owned<char> scratch;
    size_t scratchSize = 32;
    int rc = ACCTSRC_OK;
    while (maxCount > 0) {
        passwd entry;
        rc = fgetpwent_alloc(file, &entry, scratch.out(), &scratchSize);
        if (rc == ACCTSRC_NOT_FOUND) {
            rc = ACCTSRC_OK;
            break;
        }
        if (rc != ACCTSRC_OK)
            break;
        if (entry.pw_name == nullptr || entry.pw_name[0] == '\0')
            continue;
        if ((rc = list.reserveOne()) != ACCTSRC_OK)
            break;
        UserInfo *user = static_cast<UserInfo *>(AllocZeroed(sizeof(UserInfo)));
        if (user == nullptr) {
            rc = ACCTSRC_NO_MEMORY;
            break;
        }
        /* A user whose record cannot be made is left out of the listing. */
        if (FillUserInfo(user, &entry) != ACCTSRC_OK) {
            FreeUserInfo(&user);
            continue;
        }
        list.push(user);
        if (list.count() == maxCount)
            break;
    }
    std::fclose(file);
    if (rc == ACCTSRC_OK)
        rc = list.release(count, users);
    return rc;
}

} // extern "C"
