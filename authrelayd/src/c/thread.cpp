#include "thread.h"

#include "log.h"

namespace authrelay {

namespace {
constexpr char kLogUnit[] = "src/c/thread";
} // namespace

uint32_t JoinThread(ThreadRecord &record, uint32_t timeoutMs)
{
    if (!record.handle)
        return kStillActive;
    ThreadHandle &handle = *record.handle;
    if (!thread_platform::Wait(handle, timeoutMs)) {
        AR_LOG(kLogWarning, u"Thread 0x%X not responding: terminating", record.id);
        thread_platform::Terminate(handle, kTerminatedExitCode);
        thread_platform::Wait(handle, timeoutMs);
    }
    uint32_t code = kStillActive;
    if (!thread_platform::ExitCode(handle, &code))
        return kStillActive;
    return code;
}

void CloseThread(ThreadRecord &record)
{
    record.handle.reset();
    record.id = 0;
}

} // namespace authrelay
