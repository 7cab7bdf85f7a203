// One connection: its socket, the dispatcher thread that reads requests, the
// worker threads that answer them, and the connection's session state.
//
// Security contexts live in the server-wide list handed in, keyed by the
// client's identifier bytes, so a handshake may continue on any connection.
#pragma once

#include <cstdint>
#include <memory>

#include "io.h"
#include "list.h"
#include "seccontext.h"
#include "thread.h"

namespace authrelay {

class Dispatcher {
public:
    virtual ~Dispatcher() = default;
    // Takes over socket and starts the dispatcher thread, unless one exists.
    // Throws a failure code when the thread cannot be started.
    virtual bool Start(Socket socket) = 0;
    // Ends the connection: shuts the socket down and, unless called from the
    // dispatcher thread itself, waits (10000 ms at most) for that thread.
    virtual bool Shutdown() = 0;
    // Stops and restarts the dispatcher thread taking new requests; workers
    // go on answering what is queued.
    virtual void Suspend() = 0;
    virtual void Resume() = 0;
};

// Called by the dispatcher thread, as its last act, when the connection has
// ended and its workers are joined. It may destroy the dispatcher.
using EndOfConnection = void (*)(Socket socket, void *server);

// Makes the context for a new identifier; null when memory is lacking.
using SecContextFactory = SecContext *(*)(const String &package);

// Refusal codes of the Error answer.
enum RefusalCode : uint32_t {
    kRefuseReservedType = 2,
    kRefuseUnknownType = 3,
    kRefuseLegFailed = 4,
    kRefuseNoContext = 5,
    kRefuseVersion = 6,
    kRefuseSessionActive = 7,
    kRefuseNoSession = 8,
    kRefuseMissingField = 9,
    kRefuseFailure = 10,
};

constexpr uint8_t kProtocolVersion = 1;
constexpr uint16_t kServerInfo = 1;
constexpr uint32_t kWorkerJoinMs = 5000;
constexpr uint32_t kDispatcherJoinMs = 10000;

struct DispatcherState; // shared with the connection's threads

class DispatcherImpl final : public Dispatcher {
public:
    // package null means "Negotiate". Throws a failure code.
    DispatcherImpl(List *contexts, uint32_t workerCount, const char16_t *package, EndOfConnection onEnd,
                   void *server, SecContextFactory factory = CreateSecContext);
    ~DispatcherImpl() override;
    DispatcherImpl(const DispatcherImpl &) = delete;
    DispatcherImpl &operator=(const DispatcherImpl &) = delete;

    bool Start(Socket socket) override;
    bool Shutdown() override;
    void Suspend() override;
    void Resume() override;

private:
    void DestroyDispatcher();

    std::shared_ptr<DispatcherState> state_;
};

// The context for identifier from contexts, with a reference held on its
// entry; with create, a new one is made and entered when none exists.
// Returns null (and sets nothing) when there is none.
ListEntry *FindOrCreateContext(List &contexts, const Blob &identifier, const String &package,
                               SecContextFactory factory, bool create, SecContext **context);

namespace dispatcher_platform {
void ShutdownSocket(Socket socket);
void CloseSocket(Socket socket);
} // namespace dispatcher_platform

} // namespace authrelay
