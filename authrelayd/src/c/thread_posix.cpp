// POSIX threads. A thread's state is shared between its handle and the thread
// itself, so either may go first: a thread abandoned by JoinThread runs on
// detached with everything it uses still alive.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <sys/syscall.h>

#include "failure.h"
#include "log.h"
#include "thread.h"

namespace authrelay {

namespace {

constexpr char kLogUnit[] = "src/c/thread";

struct ThreadState {
    std::mutex lock;
    std::condition_variable changed;
    bool started = false;
    bool ended = false;
    uint32_t id = 0;
    uint32_t exitCode = kStillActive;
};

template <typename Predicate>
bool WaitFor(std::unique_lock<std::mutex> &held, std::condition_variable &cv, uint32_t timeoutMs,
             Predicate done)
{
    if (timeoutMs == kInfinite) {
        cv.wait(held, done);
        return true;
    }
    return cv.wait_for(held, std::chrono::milliseconds(timeoutMs), done);
}

} // namespace

struct ThreadHandle {
    std::thread thread;
    std::shared_ptr<ThreadState> state;
    bool abandoned = false;

    ~ThreadHandle()
    {
        if (!thread.joinable())
            return;
        bool ended;
        {
            std::lock_guard<std::mutex> g(state->lock);
            ended = state->ended;
        }
        // An ended thread is only leaving its start routine: join it. A
        // running one is never waited for here.
        if (ended)
            thread.join();
        else
            thread.detach();
    }
};

uint32_t CurrentThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

void StartThread(ThreadRecord &record, ThreadRoutine routine, void *parameter,
                 std::shared_ptr<void> keepAlive)
{
    std::shared_ptr<ThreadHandle> handle;
    std::shared_ptr<ThreadState> state;
    try {
        handle = std::make_shared<ThreadHandle>();
        state = std::make_shared<ThreadState>();
    } catch (const std::bad_alloc &) {
        ThrowFailure(kFailOutOfMemory);
    }
    handle->state = state;
    try {
        handle->thread = std::thread([state, routine, parameter, keepAlive]() mutable {
            {
                std::lock_guard<std::mutex> g(state->lock);
                state->id = CurrentThreadId();
                state->started = true;
            }
            state->changed.notify_all();
            uint32_t code = routine(parameter);
            {
                std::lock_guard<std::mutex> g(state->lock);
                state->exitCode = code;
                state->ended = true;
            }
            state->changed.notify_all();
            // What the routine used goes last, after its end is published.
            state.reset();
            keepAlive.reset();
        });
    } catch (const std::system_error &e) {
        int err = e.code().value();
        AR_LOG_SYSTEM(kLogError, static_cast<uint32_t>(err), u"Failed to create thread");
        ThrowFailure(ConvertWindowsError(WindowsErrorFromErrno(err)));
    }
    std::unique_lock<std::mutex> held(state->lock);
    state->changed.wait(held, [&] { return state->started; });
    record.id = state->id;
    record.handle = std::move(handle);
}

namespace thread_platform {

bool Wait(ThreadHandle &handle, uint32_t timeoutMs)
{
    ThreadState &s = *handle.state;
    std::unique_lock<std::mutex> held(s.lock);
    return WaitFor(held, s.changed, timeoutMs, [&] { return s.ended; });
}

void Terminate(ThreadHandle &handle, uint32_t)
{
    // No safe forced end: let it run on detached; its state stays shared.
    if (handle.thread.joinable())
        handle.thread.detach();
    handle.abandoned = true;
}

bool ExitCode(ThreadHandle &handle, uint32_t *code)
{
    std::lock_guard<std::mutex> g(handle.state->lock);
    if (handle.state->ended)
        *code = handle.state->exitCode;
    else
        *code = handle.abandoned ? kTerminatedExitCode : kStillActive;
    return true;
}

} // namespace thread_platform

struct RecursiveLock::Impl {
    std::recursive_mutex mutex;
};

RecursiveLock::RecursiveLock() = default;
RecursiveLock::~RecursiveLock() = default;

uint32_t RecursiveLock::Open()
{
    impl_ = std::make_unique<Impl>();
    return 0;
}

uint32_t RecursiveLock::Acquire()
{
    if (!impl_)
        return EINVAL;
    try {
        impl_->mutex.lock();
    } catch (const std::system_error &e) {
        return static_cast<uint32_t>(e.code().value());
    }
    return 0;
}

void RecursiveLock::Release()
{
    impl_->mutex.unlock();
}

struct Event::Impl {
    std::mutex lock;
    std::condition_variable changed;
    bool manualReset = true;
    bool signalled = false;
};

Event::Event() = default;
Event::~Event() = default;

uint32_t Event::Open(bool manualReset, bool signalled)
{
    impl_ = std::make_unique<Impl>();
    impl_->manualReset = manualReset;
    impl_->signalled = signalled;
    return 0;
}

void Event::Set()
{
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        impl_->signalled = true;
    }
    impl_->changed.notify_all();
}

void Event::Reset()
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->signalled = false;
}

bool Event::Wait(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> held(impl_->lock);
    if (!WaitFor(held, impl_->changed, timeoutMs, [&] { return impl_->signalled; }))
        return false;
    if (!impl_->manualReset)
        impl_->signalled = false;
    return true;
}

} // namespace authrelay
