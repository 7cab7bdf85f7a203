// Threads, and the lock and event that the shared lists are built on.
#pragma once

#include <cstdint>
#include <memory>

namespace authrelay {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// Exit code reported for a thread that is still running.
constexpr uint32_t kStillActive = 259;
// Exit code given to a thread that JoinThread had to stop.
constexpr uint32_t kTerminatedExitCode = 2;

using ThreadRoutine = uint32_t (*)(void *parameter);

struct ThreadHandle; // per platform

// A started thread: its handle and id.
struct ThreadRecord {
    std::shared_ptr<ThreadHandle> handle;
    uint32_t id = 0;
};

// Starts routine(parameter) on a new thread with the default stack and fills
// record. keepAlive, if given, is held by the thread until routine returns:
// what the routine uses and the caller owns should be kept alive through it,
// because a thread that JoinThread gives up on may run on (see JoinThread).
// Throws the converted system error when the thread cannot be created.
void StartThread(ThreadRecord &record, ThreadRoutine routine, void *parameter,
                 std::shared_ptr<void> keepAlive = {});

// Waits up to timeoutMs for the thread to end. If it does not, warns and
// stops it with exit code 2, then waits up to timeoutMs again. Returns the
// exit code, or kStillActive when it cannot be read.
//
// Windows terminates the thread. POSIX has no safe way to do that, so there
// the thread is detached and left to finish on its own: it keeps its own
// state (and keepAlive) alive, nothing it uses is freed under it, and the
// result is 2 unless it ended during the second wait.
uint32_t JoinThread(ThreadRecord &record, uint32_t timeoutMs);

// Releases the record's handle; a thread still running goes on detached.
void CloseThread(ThreadRecord &record);

// Id of the calling thread, as recorded by StartThread.
uint32_t CurrentThreadId();

// Platform primitives behind JoinThread.
namespace thread_platform {
bool Wait(ThreadHandle &handle, uint32_t timeoutMs); // true when it has ended
void Terminate(ThreadHandle &handle, uint32_t exitCode);
bool ExitCode(ThreadHandle &handle, uint32_t *code);
} // namespace thread_platform

// A lock that its owning thread may acquire again while holding it.
class RecursiveLock {
public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock &) = delete;
    RecursiveLock &operator=(const RecursiveLock &) = delete;
    // Creates the system object; returns 0 or the system error.
    uint32_t Open();
    // Waits for the lock without time limit; returns 0 when held, else the
    // system error (the lock is then not held).
    uint32_t Acquire();
    void Release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A manual-reset or auto-reset event.
class Event {
public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    // Creates the system object; returns 0 or the system error.
    uint32_t Open(bool manualReset, bool signalled);
    void Set();
    void Reset();
    // True when the event was (or became) signalled within timeoutMs.
    bool Wait(uint32_t timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace authrelay
