// Linux random source: the kernel's CSPRNG through getrandom(2), which
// blocks only until the pool is first initialised.
#include "tk_osrandom.h"

#include <errno.h>
#include <sys/random.h>

extern "C" int T_OSRandomBytes(unsigned char *buffer, uint32_t length)
{
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(buffer + done, length - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return 0;
}
