/* The per-thread extended error, kept under a thread-specific key. */
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <pthread.h>

#include "acctsrc_common.h"

namespace acctsrc {

namespace {

struct ErrorRecord {
    unsigned long code;
    wchar_t *message;
};

constexpr size_t kTextSize = 256;

pthread_once_t g_once = PTHREAD_ONCE_INIT;
pthread_key_t g_key;
bool g_keyMade = false;

void DestroyRecord(void *p)
{
    ErrorRecord *record = static_cast<ErrorRecord *>(p);
    std::free(record->message);
    std::free(record);
}

void MakeKey()
{
    g_keyMade = pthread_key_create(&g_key, DestroyRecord) == 0;
}

ErrorRecord *ThisThreadsRecord(bool create)
{
    pthread_once(&g_once, MakeKey);
    if (!g_keyMade)
        return nullptr;
    ErrorRecord *record = static_cast<ErrorRecord *>(pthread_getspecific(g_key));
    if (record != nullptr || !create)
        return record;
    record = static_cast<ErrorRecord *>(std::calloc(1, sizeof(ErrorRecord)));
    if (record == nullptr)
        return nullptr;
    if (pthread_setspecific(g_key, record) != 0) {
        std::free(record);
        return nullptr;
    }
    return record;
}

/*
 * Wide form of a message. The text may hold bytes the locale cannot convert
 * (a user name, or a character cut at the length limit); they become '?'
 * rather than losing the whole message.
 */
wchar_t *WidenMessage(const char *text)
{
    const size_t len = std::strlen(text);
    wchar_t *wide = static_cast<wchar_t *>(std::malloc((len + 1) * sizeof(wchar_t)));
    if (wide == nullptr)
        return nullptr;
    std::mbstate_t state;
    std::memset(&state, 0, sizeof(state));
    size_t in = 0, out = 0;
    while (in < len) {
        size_t n = std::mbrtowc(&wide[out], text + in, len - in, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            wide[out] = L'?';
            n = 1;
            std::memset(&state, 0, sizeof(state));
        } else if (n == 0) {
            break;
        }
        in += n;
        ++out;
    }
    wide[out] = L'\0';
    return wide;
}

} // namespace

void SetExtendedErrorMsg(const char *file, int line, unsigned long code, const char *format, ...)
{
    const int savedErrno = errno;
    ErrorRecord *record = ThisThreadsRecord(true);
    if (record == nullptr) {
        errno = savedErrno;
        return;
    }

    char text[kTextSize] = "";
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof(text), format, args);
        va_end(args);
    }
    if (code != 0) {
        const size_t used = std::strlen(text);
        if (code <= INT_MAX && strerrordesc_np(static_cast<int>(code)) != nullptr) {
            char reason[kTextSize];
            const char *description = strerror_r(static_cast<int>(code), reason, sizeof(reason));
            std::snprintf(text + used, sizeof(text) - used, ": error: %s", description);
        } else {
            std::snprintf(text + used, sizeof(text) - used, ": error: %lu", code);
        }
    }

    const char *slash = file != nullptr ? std::strrchr(file, '/') : nullptr;
    const char *base = slash != nullptr ? slash + 1 : (file != nullptr ? file : "");
    const int needed = std::snprintf(nullptr, 0, "[%s:%d] %s", base, line, text);
    wchar_t *message = nullptr;
    if (needed >= 0) {
        char *full = static_cast<char *>(std::malloc(static_cast<size_t>(needed) + 1));
        if (full != nullptr) {
            std::snprintf(full, static_cast<size_t>(needed) + 1, "[%s:%d] %s", base, line, text);
            message = WidenMessage(full);
            std::free(full);
        }
    }
    std::free(record->message);
    record->code = code;
    record->message = message;
    errno = savedErrno;
}

void SetExtendedError(unsigned long code)
{
    ErrorRecord *record = ThisThreadsRecord(true);
    if (record == nullptr)
        return;
    std::free(record->message);
    record->message = nullptr;
    record->code = code;
}

} // namespace acctsrc

using namespace acctsrc;

extern "C" {

int GetExtendedError(unsigned long *code)
{
    if (code == nullptr)
        return ACCTSRC_NULL_PARAMETER;
    const ErrorRecord *record = ThisThreadsRecord(false);
    if (record != nullptr)
        *code = record->code;
    return ACCTSRC_OK;
}

int GetExtendedErrorMsg(const wchar_t **message)
{
    if (message == nullptr)
        return ACCTSRC_NULL_PARAMETER;
    const ErrorRecord *record = ThisThreadsRecord(false);
    if (record != nullptr && record->message != nullptr)
        *message = record->message;
    return ACCTSRC_OK;
}

} // extern "C"
