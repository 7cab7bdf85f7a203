#include "failure.h"

#include <cerrno>

namespace authrelay {

void ThrowFailure(FailureCode code)
{
    throw static_cast<long>(code);
}

uint32_t WindowsErrorFromErrno(int err)
{
    switch (err) {
    case 0:
        return 0;
    case ENOMEM:
    case EAGAIN: // no resources for another thread or lock
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    case EPERM:
    case EACCES:
        return 5; // ERROR_ACCESS_DENIED
    case EINVAL:
        return 87; // ERROR_INVALID_PARAMETER
    case EDEADLK:
        return 1131; // ERROR_POSSIBLE_DEADLOCK
    case EBADF:
        return 6; // ERROR_INVALID_HANDLE
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

} // namespace authrelay
