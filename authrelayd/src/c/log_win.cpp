#include <windows.h>

#include "log.h"

namespace authrelay {

std::u16string SystemErrorText(uint32_t code)
{
    wchar_t *text = nullptr;
    DWORD units = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    if (units == 0 || !text)
        return {};
    std::u16string out(reinterpret_cast<const char16_t *>(text), units);
    LocalFree(text);
    StripLineBreaks(out);
    return out;
}

} // namespace authrelay
