// Windows random source: the system-preferred RNG of CNG (link bcrypt).
#include "tk_osrandom.h"

#include <windows.h>
#include <bcrypt.h>

extern "C" int T_OSRandomBytes(unsigned char *buffer, uint32_t length)
{
    NTSTATUS status = BCryptGenRandom(nullptr, buffer, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return status >= 0 ? 0 : -1;
}
