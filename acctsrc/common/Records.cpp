/* Records, their release, allocation that records its failures, parameter tests. */
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "acctsrc_common.h"

namespace acctsrc {

void *AllocZeroed(size_t bytes)
{
    void *block = std::calloc(1, bytes);
    if (block == nullptr)
        SetExtendedError(bytes);
    return block;
}

void *Reallocate(void *block, size_t bytes)
{
    void *moved = std::realloc(block, bytes);
    if (moved == nullptr)
        SetExtendedError(bytes);
    return moved;
}

wchar_t *DupWide(const wchar_t *text, size_t n)
{
    const size_t bytes = (n + 1) * sizeof(wchar_t);
    wchar_t *copy = static_cast<wchar_t *>(std::malloc(bytes));
    if (copy == nullptr) {
        SetExtendedError(bytes);
        return nullptr;
    }
    std::wmemcpy(copy, text, n);
    copy[n] = L'\0';
    return copy;
}

void Wipe(void *block, size_t len)
{
    if (block != nullptr)
        explicit_bzero(block, len);
}

bool NullParameter(const char *file, int line, const char *function, std::initializer_list<const void *> params)
{
    int position = 0;
    for (const void *p : params) {
        if (p == nullptr) {
            SetExtendedErrorMsg(file, line, 0, "%s parameter %d NULL", function, position);
            return true;
        }
        ++position;
    }
    return false;
}

void FreeUserFields(UserInfo *user)
{
    for (wchar_t **text : {&user->name, &user->id, &user->description, &user->reserved, &user->firstName,
                           &user->middleName, &user->lastName}) {
        std::free(*text);
        *text = nullptr;
    }
}

void FreeGroupFields(GroupInfo *group)
{
    for (wchar_t **text : {&group->name, &group->id, &group->description}) {
        std::free(*text);
        *text = nullptr;
    }
}

void FreeMemberFields(MemberInfo *member)
{
    std::free(member->name);
    std::free(member->id);
    member->name = member->id = nullptr;
}

namespace {

void FreeDomainFields(DomainInfo *domain)
{
    std::free(domain->dnsName);
    std::free(domain->netbiosName);
    domain->dnsName = domain->netbiosName = nullptr;
}

template <typename Record, void (*FreeFields)(Record *)> void FreeOne(Record **record)
{
    if (record == nullptr || *record == nullptr)
        return;
    FreeFields(*record);
    std::free(*record);
    *record = nullptr;
}

template <typename Record, void (*FreeFields)(Record *)> void FreeMany(Record ***list, size_t count)
{
    if (list == nullptr || *list == nullptr)
        return;
    for (size_t i = 0; i < count; ++i)
        FreeOne<Record, FreeFields>(&(*list)[i]);
    std::free(*list);
    *list = nullptr;
}

} // namespace
} // namespace acctsrc

using namespace acctsrc;

extern "C" {

void FreeUserInfo(UserInfo **user)
{
    FreeOne<UserInfo, FreeUserFields>(user);
}

void FreeGroupInfo(GroupInfo **group)
{
    FreeOne<GroupInfo, FreeGroupFields>(group);
}

void FreeUserInfos(UserInfo ***users, size_t count)
{
    FreeMany<UserInfo, FreeUserFields>(users, count);
}

void FreeGroupInfos(GroupInfo ***groups, size_t count)
{
    FreeMany<GroupInfo, FreeGroupFields>(groups, count);
}

void FreeMemberInfos(MemberInfo ***members, size_t count)
{
    FreeMany<MemberInfo, FreeMemberFields>(members, count);
}

void FreeDomainInfos(DomainInfo ***domains, size_t count)
{
    FreeMany<DomainInfo, FreeDomainFields>(domains, count);
}

} // extern "C"
