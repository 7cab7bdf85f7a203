/* Groups: single lookups, the group file listing, group records, a user's groups. */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acctsrc_common.h"
#include "acctsrc_linux.h"

namespace acctsrc {

namespace {

const char kGroupFile[] = "/etc/group";

int ReadGroupEntry(FILE *file, group *entry, char **buffer, size_t *size)
{
    int failure = 0;
    const int rc = ReadFileEntry(file, entry, buffer, size,
                                 [](FILE *f, group *e, char *b, size_t n, group **found) {
                                     return fgetgrent_r(f, e, b, n, found);
                                 },
                                 &failure);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(static_cast<unsigned long>(failure), "fgetgrent_r failed");
    return rc;
}

/* Allocates a record and fills it with fill(record); hands it out only on success. */
template <typename Fill> int NewGroup(GroupInfo **out, Fill fill)
{
    GroupInfo *group = static_cast<GroupInfo *>(AllocZeroed(sizeof(GroupInfo)));
    if (group == nullptr)
        return ACCTSRC_NO_MEMORY;
    const int rc = fill(group);
    if (rc != ACCTSRC_OK) {
        FreeGroupInfo(&group);
        return rc;
    }
    *out = group;
    return ACCTSRC_OK;
}

/* Looks the user up for the groups of a user and hands out the list. */
int UserGroups(int lookup, const passwd &entry, size_t *count, GroupInfo ***groups)
{
    if (lookup != ACCTSRC_OK)
        return lookup;
    return GetUserGroups(&entry, count, groups);
}

} // namespace

int FillGroupInfoByName(GroupInfo *group, const char *name)
{
    if (ACCTSRC_NULL_PARAMS("FillGroupInfoByName", group, name))
        return ACCTSRC_NULL_PARAMETER;
    Owned<char> scratch;
    struct group entry;
    const int rc = LookupGroupByName(name, &entry, scratch.out());
    return rc != ACCTSRC_OK ? rc : FillGroupInfo(group, &entry);
}

} // namespace acctsrc

using namespace acctsrc;

extern "C" {

int LookupGroupByName(const char *name, struct group *entry, char **buffer)
{
    int failure = 0;
    const int rc = ReentrantLookup(
        entry, buffer,
        [name](group *e, char *b, size_t n, group **found) { return getgrnam_r(name, e, b, n, found); },
        &failure);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(static_cast<unsigned long>(failure), "getgrnam_r(%s) failed", name);
    return rc;
}

int LookupGroupByGID(gid_t gid, struct group *entry, char **buffer)
{
    int failure = 0;
    const int rc = ReentrantLookup(
        entry, buffer,
        [gid](group *e, char *b, size_t n, group **found) { return getgrgid_r(gid, e, b, n, found); },
        &failure);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(static_cast<unsigned long>(failure), "getgrgid_r(%d) failed", static_cast<int>(gid));
    return rc;
}

int FillGroupInfo(GroupInfo *group, const struct group *entry)
{
    if (ACCTSRC_NULL_PARAMS("FillGroupInfo", group, entry))
        return ACCTSRC_NULL_PARAMETER;
    std::memset(group, 0, sizeof(*group));
    const int rc = ToWide(entry->gr_name, &group->name);
    if (rc == ACCTSRC_INVALID_PARAMETER)
        ACCTSRC_ERROR(EILSEQ, "mbstowcs failed");
    if (rc != ACCTSRC_OK)
        return rc;
    group->id = UnixIDtowcs(entry->gr_gid);
    if (group->id == nullptr) {
        FreeGroupFields(group);
        return ACCTSRC_NO_MEMORY;
    }
    group->description = nullptr;
    return ACCTSRC_OK;
}

int FillGroupInfoByGID(GroupInfo *group, gid_t gid)
{
    if (ACCTSRC_NULL_PARAMS("FillGroupInfoByGID", group))
        return ACCTSRC_NULL_PARAMETER;
    Owned<char> scratch;
    struct group entry;
    const int rc = LookupGroupByGID(gid, &entry, scratch.out());
    return rc != ACCTSRC_OK ? rc : FillGroupInfo(group, &entry);
}

int GetUserGroups(const struct passwd *entry, size_t *count, GroupInfo ***groups)
{
    int wanted = 0;
    if (getgrouplist(entry->pw_name, entry->pw_gid, nullptr, &wanted) >= 0 || wanted <= 0)
        return ACCTSRC_NOT_FOUND;
    const size_t gidBytes = static_cast<size_t>(wanted) * sizeof(gid_t);
    Owned<gid_t> gids(static_cast<gid_t *>(AllocZeroed(gidBytes)));
    if (!gids)
        return ACCTSRC_NO_MEMORY;
    int got = wanted;
    /* Groups added since the first call do not fit and are not used. */
    const int listed = getgrouplist(entry->pw_name, entry->pw_gid, gids.get(), &got);
    const size_t n = listed >= 0 ? static_cast<size_t>(listed) : static_cast<size_t>(wanted);
    if (n == 0)
        return ACCTSRC_NOT_FOUND;

    GroupInfo **list = static_cast<GroupInfo **>(AllocZeroed(n * sizeof(GroupInfo *)));
    if (list == nullptr)
        return ACCTSRC_NO_MEMORY;
    for (size_t i = 0; i < n; ++i) {
        const gid_t gid = gids.get()[i];
        const int rc = NewGroup(&list[i], [gid](GroupInfo *g) { return FillGroupInfoByGID(g, gid); });
        if (rc != ACCTSRC_OK) {
            FreeGroupInfos(&list, n);
            return rc;
        }
    }
    *count = n;
    *groups = list;
    return ACCTSRC_OK;
}

int GetGroupByName(const wchar_t *name, GroupInfo **group)
{
    if (ACCTSRC_NULL_PARAMS("GetGroupByName", name, group))
        return ACCTSRC_NULL_PARAMETER;
    return NewGroup(group, [name](GroupInfo *record) {
        Owned<char> converted;
        const int rc = ACCTSRC_CONVERT(name, "GetGroupByName", 0, converted.out());
        return rc != ACCTSRC_OK ? rc : FillGroupInfoByName(record, converted.get());
    });
}

int GetGroupByID(const wchar_t *id, GroupInfo **group)
{
    if (ACCTSRC_NULL_PARAMS("GetGroupByID", id, group))
        return ACCTSRC_NULL_PARAMETER;
    return NewGroup(group, [id](GroupInfo *record) {
        const unsigned int gid = wcsIDtoUnixID(id);
        if (gid == ACCTSRC_INVALID_ID) {
            ACCTSRC_ERROR(0, "GetGroupByID parameter %d invalid", 0);
            return static_cast<int>(ACCTSRC_INVALID_PARAMETER);
        }
        return FillGroupInfoByGID(record, gid);
    });
}

int GetAllGroups(size_t maxCount, size_t *count, GroupInfo ***groups)
{
    if (ACCTSRC_NULL_PARAMS("GetAllGroups", count, groups))
        return ACCTSRC_NULL_PARAMETER;
    *count = 0;
    *groups = nullptr;
    FILE *file = std::fopen(kGroupFile, "re");
    if (file == nullptr) {
        ACCTSRC_ERROR(static_cast<unsigned long>(errno), "fopen(/etc/group) failed");
        return ACCTSRC_SYSTEM_FAILURE;
    }
    GroupList list;
    Owned<char> scratch;
    size_t scratchSize = 32;
    int rc = ACCTSRC_OK;
    while (maxCount > 0) {
        struct group entry;
        rc = ReadGroupEntry(file, &entry, scratch.out(), &scratchSize);
        if (rc == ACCTSRC_NOT_FOUND) {
            rc = ACCTSRC_OK;
            break;
        }
        if (rc != ACCTSRC_OK)
            break;
        if (entry.gr_name == nullptr || entry.gr_name[0] == '\0')
            continue;
        if ((rc = list.reserveOne()) != ACCTSRC_OK)
            break;
        GroupInfo *group = static_cast<GroupInfo *>(AllocZeroed(sizeof(GroupInfo)));
        if (group == nullptr) {
            rc = ACCTSRC_NO_MEMORY;
            break;
        }
        /* A group whose record cannot be made is left out of the listing. */
        if (FillGroupInfo(group, &entry) != ACCTSRC_OK) {
            FreeGroupInfo(&group);
            continue;
        }
        list.push(group);
        if (list.count() == maxCount)
            break;
    }
    std::fclose(file);
    if (rc == ACCTSRC_OK)
        rc = list.release(count, groups);
    return rc;
}

int GetUserGroupsByName(const wchar_t *name, size_t *count, GroupInfo ***groups)
{
    if (ACCTSRC_NULL_PARAMS("GetUserGroupsByName", name, count, groups))
        return ACCTSRC_NULL_PARAMETER;
    Owned<char> converted;
    int rc = ACCTSRC_CONVERT(name, "GetUserGroupsByName", 0, converted.out());
    if (rc != ACCTSRC_OK)
        return rc;
    Owned<char> scratch;
    passwd entry;
    rc = LookupUserByName(converted.get(), &entry, scratch.out());
    return UserGroups(rc, entry, count, groups);
}

int GetUserGroupsByID(const wchar_t *id, size_t *count, GroupInfo ***groups)
{
    if (ACCTSRC_NULL_PARAMS("GetUserGroupsByID", id, count, groups))
        return ACCTSRC_NULL_PARAMETER;
    const unsigned int uid = wcsIDtoUnixID(id);
    if (uid == ACCTSRC_INVALID_ID) {
        ACCTSRC_ERROR(0, "GetUserGroupsByID parameter %d invalid", 0);
        return ACCTSRC_INVALID_PARAMETER;
    }
    Owned<char> scratch;
    passwd entry;
    const int rc = LookupUserByUID(uid, &entry, scratch.out());
    return UserGroups(rc, entry, count, groups);
}

} // extern "C"
