// Stand-in OS random source that always fails.
#include "tk_osrandom.h"

extern "C" int T_OSRandomBytes(unsigned char *, uint32_t)
{
    return -1;
}
