// Test helpers: records handed out by the library, held until the test ends,
// and the calling thread's extended error.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "acctsrc.h"

namespace acctsrc_test {

struct UserDeleter {
    void operator()(UserInfo *u) const { FreeUserInfo(&u); }
};
struct GroupDeleter {
    void operator()(GroupInfo *g) const { FreeGroupInfo(&g); }
};
using UserPtr = std::unique_ptr<UserInfo, UserDeleter>;
using GroupPtr = std::unique_ptr<GroupInfo, GroupDeleter>;

// A list result and its release function.
template <typename Record, void (*Free)(Record ***, size_t)> struct List {
    size_t count = 0;
    Record **items = nullptr;
    List() = default;
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    ~List() { Free(&items, count); }
    Record *operator[](size_t i) const { return items[i]; }
};
using Users = List<UserInfo, FreeUserInfos>;
using Groups = List<GroupInfo, FreeGroupInfos>;
using Members = List<MemberInfo, FreeMemberInfos>;

inline std::wstring W(const wchar_t *text)
{
    return text ? std::wstring(text) : std::wstring(L"(null)");
}

// The calling thread's extended error message, or "(none)".
inline std::wstring LastMessage()
{
    const wchar_t *message = nullptr;
    GetExtendedErrorMsg(&message);
    return message ? std::wstring(message) : std::wstring(L"(none)");
}

inline unsigned long LastCode()
{
    unsigned long code = 123456789;
    GetExtendedError(&code);
    return code;
}

inline bool EndsWith(const std::wstring &text, const std::wstring &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline bool Contains(const std::wstring &text, const std::wstring &part)
{
    return text.find(part) != std::wstring::npos;
}

inline std::wstring Widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

} // namespace acctsrc_test
