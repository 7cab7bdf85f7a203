#include "log.h"

namespace authrelay {

void StripLineBreaks(std::u16string &text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text)
        if (c != u'\r' && c != u'\n')
            out += c;
    while (!out.empty() && out.back() == u' ')
        out.pop_back();
    text.swap(out);
}

void LogSystemError(LogLevel level, uint32_t code, const char *file, int line, const char16_t *text)
{
    if (!IsLogEnabled(level))
        return;
    std::u16string description = SystemErrorText(code);
    if (description.empty())
        description = u"Unknown error";
    if (text)
        LogMessage(file, line, level, u"%s:%s(0x%08x)", text, description.c_str(), code);
    else
        LogMessage(file, line, level, u"%s(0x%08x)", description.c_str(), code);
}

} // namespace authrelay
