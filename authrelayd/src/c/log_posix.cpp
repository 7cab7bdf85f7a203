#include <cstring>

#include "log.h"
#include "text.h"

namespace authrelay {

std::u16string SystemErrorText(uint32_t code)
{
    char buffer[256];
    // GNU strerror_r: returns the text, which need not be in buffer.
    const char *text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (!text || !*text)
        return {};
    std::u16string out = Utf8ToUtf16(text, strlen(text));
    StripLineBreaks(out);
    return out;
}

} // namespace authrelay
