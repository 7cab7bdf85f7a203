/* Members of a group: each member name resolved as a user, else as a group. */
#include <cerrno>
#include <cstdlib>

#include "acctsrc_common.h"
#include "acctsrc_linux.h"

namespace acctsrc {

namespace {

/* Fills member from its name: a user's id, else a group's. Returns 0 or the group lookup's code. */
int ResolveMember(MemberInfo *member)
{
    UserInfo *user = nullptr;
    if (GetUserByName(member->name, &user) == ACCTSRC_OK) {
        member->type = ACCTSRC_MEMBER_USER;
        member->id = user->id;
        user->id = nullptr;
        FreeUserInfo(&user);
        return ACCTSRC_OK;
    }
    GroupInfo *group = nullptr;
    const int rc = GetGroupByName(member->name, &group);
    if (rc != ACCTSRC_OK)
        return rc;
    member->type = ACCTSRC_MEMBER_GROUP;
    member->id = group->id;
    group->id = nullptr;
    FreeGroupInfo(&group);
    return ACCTSRC_OK;
}

int ListMembers(const group &entry, size_t *count, MemberInfo ***members)
{
    MemberList list;
    for (char **name = entry.gr_mem; name != nullptr && *name != nullptr; ++name) {
        int rc = list.reserveOne();
        if (rc != ACCTSRC_OK)
            return rc;
        MemberInfo *member = static_cast<MemberInfo *>(AllocZeroed(sizeof(MemberInfo)));
        if (member == nullptr)
            return ACCTSRC_NO_MEMORY;
        list.push(member);
        rc = ToWide(*name, &member->name);
        if (rc == ACCTSRC_INVALID_PARAMETER)
            ACCTSRC_ERROR(EILSEQ, "mbstowcs failed");
        if (rc != ACCTSRC_OK)
            return rc;
        if ((rc = ResolveMember(member)) != ACCTSRC_OK)
            return rc;
    }
    return list.release(count, members);
}

/* The listing's outputs are cleared on every failure after the parameter test. */
int Members(int lookup, const group &entry, size_t *count, MemberInfo ***members)
{
    *count = 0;
    *members = nullptr;
    if (lookup != ACCTSRC_OK)
        return lookup;
    return ListMembers(entry, count, members);
}

} // namespace
} // namespace acctsrc

using namespace acctsrc;

extern "C" {

int GetGroupMembersByName(const wchar_t *name, size_t *count, MemberInfo ***members)
{
    /* This one answers a NULL parameter with 1, as callers have always seen. */
    if (ACCTSRC_NULL_PARAMS("GetGroupMembersByName", name, count, members))
        return ACCTSRC_FAILURE;
    Owned<char> converted;
    Owned<char> scratch;
    group entry{};
    int rc = ACCTSRC_CONVERT(name, "GetGroupMembersByName", 0, converted.out());
    if (rc == ACCTSRC_OK)
        rc = LookupGroupByName(converted.get(), &entry, scratch.out());
    return Members(rc, entry, count, members);
}

int GetGroupMembersByID(const wchar_t *id, size_t *count, MemberInfo ***members)
{
    if (ACCTSRC_NULL_PARAMS("GetGroupMembersByID", id, count, members))
        return ACCTSRC_NULL_PARAMETER;
    const unsigned int gid = wcsIDtoUnixID(id);
    Owned<char> scratch;
    group entry{};
    int rc = ACCTSRC_INVALID_PARAMETER;
    if (gid == ACCTSRC_INVALID_ID)
        ACCTSRC_ERROR(0, "GetGroupMembersByID parameter %d invalid", 0);
    else
        rc = LookupGroupByGID(gid, &entry, scratch.out());
    return Members(rc, entry, count, members);
}

} // extern "C"
