#include "boardprobe.h"

#ifdef __SANITIZE_ADDRESS__
#include <sys/auxv.h>

/*
 * A set-user-ID or set-group-ID start is not dumpable, so LeakSanitizer
 * cannot inspect the process at exit and would fail the run instead.
 */
extern "C" int __lsan_is_turned_off()
{
    return getauxval(AT_SECURE) != 0;
}
#endif

int main(int argc, char **argv)
{
    return boardprobeMain(argc, argv);
}
