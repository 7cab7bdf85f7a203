#include <windows.h>

#include <new>

#include "failure.h"
#include "log.h"
#include "thread.h"

namespace authrelay {

namespace {

constexpr char kLogUnit[] = "src/c/thread";

// What a new thread needs; freed by the thread when its routine returns.
struct StartBlock {
    ThreadRoutine routine;
    void *parameter;
    std::shared_ptr<void> keepAlive;
};

DWORD WINAPI ThreadStart(LPVOID p)
{
    std::unique_ptr<StartBlock> start(static_cast<StartBlock *>(p));
    return start->routine(start->parameter);
}

} // namespace

struct ThreadHandle {
    HANDLE handle = nullptr;
    ~ThreadHandle()
    {
        if (handle)
            CloseHandle(handle);
    }
};

uint32_t CurrentThreadId()
{
    return GetCurrentThreadId();
}

void StartThread(ThreadRecord &record, ThreadRoutine routine, void *parameter,
                 std::shared_ptr<void> keepAlive)
{
    auto handle = std::make_shared<ThreadHandle>();
    std::unique_ptr<StartBlock> start(new (std::nothrow) StartBlock{routine, parameter, std::move(keepAlive)});
    if (!start)
        ThrowFailure(kFailOutOfMemory);
    DWORD id = 0;
    handle->handle = CreateThread(nullptr, 0, ThreadStart, start.get(), 0, &id);
    if (!handle->handle) {
        DWORD error = GetLastError();
        AR_LOG_SYSTEM(kLogError, error, u"CreateThread failed");
        ThrowFailure(ConvertWindowsError(error));
    }
    start.release(); // the thread owns it now
    record.handle = std::move(handle);
    record.id = id;
}

namespace thread_platform {

bool Wait(ThreadHandle &handle, uint32_t timeoutMs)
{
    return WaitForSingleObject(handle.handle, timeoutMs) == WAIT_OBJECT_0;
}

void Terminate(ThreadHandle &handle, uint32_t exitCode)
{
    TerminateThread(handle.handle, exitCode);
}

bool ExitCode(ThreadHandle &handle, uint32_t *code)
{
    DWORD value = 0;
    if (!GetExitCodeThread(handle.handle, &value))
        return false;
    *code = value;
    return true;
}

} // namespace thread_platform

struct RecursiveLock::Impl {
    HANDLE mutex = nullptr;
    ~Impl()
    {
        if (mutex)
            CloseHandle(mutex);
    }
};

RecursiveLock::RecursiveLock() = default;
RecursiveLock::~RecursiveLock() = default;

uint32_t RecursiveLock::Open()
{
    auto impl = std::make_unique<Impl>();
    impl->mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!impl->mutex)
        return GetLastError();
    impl_ = std::move(impl);
    return 0;
}

uint32_t RecursiveLock::Acquire()
{
    DWORD result = WaitForSingleObject(impl_->mutex, INFINITE);
    if (result == WAIT_OBJECT_0)
        return 0;
    if (result == WAIT_ABANDONED) {
        // Acquired from a thread that died holding it: the data it guards may
        // be half-changed. Give it back and fail instead of going on.
        ReleaseMutex(impl_->mutex);
        return ERROR_ABANDONED_WAIT_0;
    }
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

void RecursiveLock::Release()
{
    ReleaseMutex(impl_->mutex);
}

struct Event::Impl {
    HANDLE event = nullptr;
    ~Impl()
    {
        if (event)
            CloseHandle(event);
    }
};

Event::Event() = default;
Event::~Event() = default;

uint32_t Event::Open(bool manualReset, bool signalled)
{
    auto impl = std::make_unique<Impl>();
    impl->event = CreateEventW(nullptr, manualReset, signalled, nullptr);
    if (!impl->event)
        return GetLastError();
    impl_ = std::move(impl);
    return 0;
}

void Event::Set()
{
    SetEvent(impl_->event);
}

void Event::Reset()
{
    ResetEvent(impl_->event);
}

bool Event::Wait(uint32_t timeoutMs)
{
    return WaitForSingleObject(impl_->event, timeoutMs) == WAIT_OBJECT_0;
}

} // namespace authrelay
