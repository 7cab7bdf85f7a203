/* Splitting a person's full name into first, middle and last name. */
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "acctsrc_common.h"

namespace acctsrc {

namespace {

bool IsSpace(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

} // namespace

int SplitFullName(const wchar_t *fullName, wchar_t **first, wchar_t **middle, wchar_t **last)
{
    *first = *middle = *last = nullptr;
    if (fullName == nullptr || fullName[0] == L'\0')
        return ACCTSRC_OK;
    const size_t len = std::wcslen(fullName);

    size_t start = 0;
    while (start < len && IsSpace(fullName[start]))
        ++start;
    size_t end = start;
    while (end < len && !IsSpace(fullName[end]))
        ++end;
    /* A single word (or none) is kept as stored, leading blanks and all. */
    if (end == len) {
        *first = DupWide(fullName, len);
        return *first ? ACCTSRC_OK : ACCTSRC_NO_MEMORY;
    }

    Owned<wchar_t> firstName(DupWide(fullName + start, end - start));
    if (!firstName)
        return ACCTSRC_NO_MEMORY;
    size_t rest = end;
    while (rest < len && IsSpace(fullName[rest]))
        ++rest;
    if (rest == len) {
        *first = firstName.take();
        return ACCTSRC_OK;
    }

    /* fullName[rest] is not a space, so the scans below stop at or after rest. */
    size_t lastEnd = len;
    while (IsSpace(fullName[lastEnd - 1]))
        --lastEnd;
    size_t lastStart = lastEnd;
    while (lastStart > rest && !IsSpace(fullName[lastStart - 1]))
        --lastStart;
    Owned<wchar_t> lastName(DupWide(fullName + lastStart, lastEnd - lastStart));
    if (!lastName)
        return ACCTSRC_NO_MEMORY;
    Owned<wchar_t> middleName;
    if (lastStart > rest) {
        size_t middleEnd = lastStart;
        while (IsSpace(fullName[middleEnd - 1]))
            --middleEnd;
        middleName.reset(DupWide(fullName + rest, middleEnd - rest));
        if (!middleName)
            return ACCTSRC_NO_MEMORY;
    }
    *first = firstName.take();
    *middle = middleName.take();
    *last = lastName.take();
    return ACCTSRC_OK;
}

} // namespace acctsrc
