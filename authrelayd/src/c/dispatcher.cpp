// The session dispatcher: one reader thread per connection, a fixed number
// of workers that answer, and the four request handlers.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "dispatcher.h"
#include "failure.h"
#include "log.h"
#include "queue.h"
#include "reqmsg.h"
#include "reqmsgutil.h"

namespace authrelay {

namespace {
constexpr char kLogUnit[] = "src/c/dispatcher";
constexpr Socket kNoSocket = static_cast<Socket>(-1);
} // namespace

// Everything the connection's threads use. The threads keep it alive, so a
// thread that outlives its join limit never touches freed memory.
struct DispatcherState {
    String package;
    Socket socket = kNoSocket;
    std::atomic<bool> socketShut{false};
    uint32_t workerCount = 3;
    EndOfConnection onEnd = nullptr;
    void *server = nullptr;
    SecContextFactory factory = CreateSecContext;
    std::atomic<uint8_t> protocolVersion{0};
    std::atomic<bool> sessionActive{false};
    QueueImpl queue;
    List *contexts = nullptr;

    // One count per queued message, so no message waits while a worker is
    // idle; shutdown wakes every worker.
    std::mutex wakeLock;
    std::condition_variable wake;
    uint64_t pending = 0;
    bool shutdown = false;

    // Closed while the dispatcher is suspended: no new request is read.
    std::mutex gateLock;
    std::condition_variable gate;
    bool suspended = false;

    std::atomic<uint32_t> liveWorkers{0};
    std::weak_ptr<DispatcherState> self;

    // The dispatcher thread, touched by the owner only.
    std::mutex threadLock;
    ThreadRecord thread;
    bool threadRunning = false;

    ~DispatcherState()
    {
        if (socket != kNoSocket)
            dispatcher_platform::CloseSocket(socket);
    }

    void ShutSocket()
    {
        if (socket != kNoSocket && !socketShut.exchange(true))
            dispatcher_platform::ShutdownSocket(socket);
    }
};

namespace {

// A refusal answered with an Error message; the connection stays.
struct Refusal {
    uint32_t code;
};

void DeleteContext(void *context) { delete static_cast<SecContext *>(context); }

// Releases a held context entry; with discard, the context leaves the list.
class HeldEntry {
public:
    ~HeldEntry() { Release(true); }
    ListEntry *entry = nullptr;
    SecContext *context = nullptr;
    void Release(bool discard)
    {
        if (entry)
            entry->Release(discard);
        entry = nullptr;
        context = nullptr;
    }
};

void BeginSession(DispatcherState &s, ReqMsg &request)
{
    AR_LOG(kLogTrace, u"Processing Begin Session message");
    if (s.sessionActive.load()) {
        AR_LOG(kLogWarning, u"Begin session failed: Session already active");
        throw Refusal{kRefuseSessionActive};
    }
    uint8_t low = 0;
    uint8_t high = request.GetVersion(&low);
    if (!(low <= kProtocolVersion && high >= kProtocolVersion)) {
        AR_LOG(kLogWarning, u"Invalid versions in request: high = %hu, low = %hu", high, low);
        throw Refusal{kRefuseVersion};
    }
    uint16_t clientInfo = 0;
    if (request.GetClientInfo(clientInfo) && clientInfo != 0)
        AR_LOG(kLogInfo, u"Client version: %hu", clientInfo);
    s.protocolVersion.store(kProtocolVersion);
    s.sessionActive.store(true);
    AR_LOG(kLogTrace, u"Established session: protocol verion = %d", kProtocolVersion);
    if (!SendBeginSessionMessage(s.socket, kProtocolVersion, kServerInfo)) {
        AR_LOG(kLogWarning, u"Failed to send response message to client: closing session");
        s.sessionActive.store(false);
    }
}

void EndSession(DispatcherState &s)
{
    AR_LOG(kLogTrace, u"Processing End Session message");
    if (!s.sessionActive.load()) {
        AR_LOG(kLogWarning, u"End session failed - no active session");
        throw Refusal{kRefuseNoSession};
    }
    AR_LOG(kLogTrace, u"Terminated session");
    s.sessionActive.store(false);
    s.protocolVersion.store(0);
    SendEndSessionMessage(s.socket);
}

// Runs handler; a refusal discards the held context and answers Error; any
// other failure does the same with code 10 and propagates.
template <typename Handler>
void Guarded(DispatcherState &s, HeldEntry &held, const char16_t *what, Handler handler)
{
    try {
        handler();
    } catch (const Refusal &refusal) {
        held.Release(true);
        SendErrorMessage(s.socket, refusal.code);
    } catch (...) {
        held.Release(true);
        AR_LOG(kLogError, u"%s", what);
        try {
            SendErrorMessage(s.socket, kRefuseFailure);
        } catch (...) {
        }
        throw;
    }
}

void ProcessEstablishContext(DispatcherState &s, ReqMsg &request)
{
    HeldEntry held;
    Guarded(s, held, u"Exception in ProcessEstablishContext", [&] {
        AR_LOG(kLogTrace, u"Processing Establish Context message");
        if (!s.sessionActive.load()) {
            AR_LOG(kLogWarning, u"Establish context failed: No active session");
            throw Refusal{kRefuseNoSession};
        }
        Blob identifier, token, output;
        if (!request.GetIdentifier(identifier) || identifier.IsEmpty()) {
            AR_LOG(kLogWarning, u"Failed to retrieve input token identifier");
            throw Refusal{kRefuseMissingField};
        }
        AR_LOG(kLogTrace, u"Message identifier is \"%.*S\"", static_cast<int>(identifier.Size()),
               reinterpret_cast<const char *>(identifier.Data()));
        if (!request.GetToken(token) || token.IsEmpty()) {
            AR_LOG(kLogWarning, u"Failed to retrieve input token");
            throw Refusal{kRefuseMissingField};
        }
        held.entry = FindOrCreateContext(*s.contexts, identifier, s.package, s.factory, true, &held.context);
        if (!held.entry) {
            AR_LOG(kLogWarning, u"Establish context failed: Failed to create or find context");
            throw Refusal{kRefuseNoContext};
        }
        if (!held.context->Accept(token, output)) {
            AR_LOG(kLogWarning, u"Failed to establish context");
            throw Refusal{kRefuseLegFailed};
        }
        String principal, package;
        if (held.context->IsEstablished()) {
            if (!held.context->GetClientName(principal) || principal.IsEmpty()) {
                AR_LOG(kLogWarning, u"Failed to retrieve principal name from security context");
                throw Refusal{kRefuseFailure};
            }
            if (!held.context->GetPackageName(package) || package.IsEmpty()) {
                AR_LOG(kLogWarning, u"Failed to retrieve package name from security context");
                throw Refusal{kRefuseFailure};
            }
            AR_LOG(kLogInfo, u"Established context: principal = \"%S\", package = \"%S\"", principal.GetUtf8(),
                   package.GetUtf8());
        } else {
            AR_LOG(kLogTrace, u"Context not established: sending new challenge");
        }
        held.Release(false);
        SendEstablishContextMessage(s.socket, output, identifier, principal, package);
    });
}

void ProcessReleaseContext(DispatcherState &s, ReqMsg &request)
{
    HeldEntry held;
    Guarded(s, held, u"Exception in ProcessReleaseContext", [&] {
        AR_LOG(kLogTrace, u"Processing Release Context message");
        if (!s.sessionActive.load()) {
            AR_LOG(kLogWarning, u"Release context failed:  No active session");
            throw Refusal{kRefuseNoSession};
        }
        Blob identifier;
        if (!request.GetIdentifier(identifier) || identifier.IsEmpty()) {
            AR_LOG(kLogWarning, u"Failed to retrieve input token identifier");
            throw Refusal{kRefuseMissingField};
        }
        held.entry = FindOrCreateContext(*s.contexts, identifier, s.package, s.factory, false, &held.context);
        if (!held.entry) {
            AR_LOG(kLogWarning, u"Release context failed: Failed to find context");
            throw Refusal{kRefuseNoContext};
        }
        held.Release(true);
        AR_LOG(kLogTrace, u"Released context");
        SendReleaseContextMessage(s.socket, identifier);
    });
}

void Dispatch(DispatcherState &s, ReqMsg &request)
{
    uint32_t type = request.GetType();
    switch (type) {
    case kMsgBeginSession:
    case kMsgEndSession:
        try {
            if (type == kMsgBeginSession)
                BeginSession(s, request);
            else
                EndSession(s);
        } catch (const Refusal &refusal) {
            SendErrorMessage(s.socket, refusal.code);
        }
        break;
    case kMsgEstablishContext:
        ProcessEstablishContext(s, request);
        break;
    case kMsgReleaseContext:
        ProcessReleaseContext(s, request);
        break;
    case 5:
    case 6:
        SendErrorMessage(s.socket, kRefuseReservedType);
        break;
    default:
        AR_LOG(kLogWarning, u"Invalid request type in messsage %u", type);
        SendErrorMessage(s.socket, kRefuseUnknownType);
        break;
    }
}

uint32_t WorkerThread(void *parameter)
{
    DispatcherState &s = *static_cast<DispatcherState *>(parameter);
    uint32_t status = 1;
    InstallExceptionTranslator();
    const uint32_t id = CurrentThreadId();
    AR_LOG(kLogDebug, u"Worker thread 0x%X starting", id);
    try {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(s.wakeLock);
                s.wake.wait(lock, [&] { return s.pending > 0 || s.shutdown; });
                if (s.shutdown) {
                    status = 0;
                    break;
                }
                --s.pending;
            }
            if (std::unique_ptr<ReqMsg> request = s.queue.Dequeue())
                Dispatch(s, *request);
        }
    } catch (long code) {
        AR_LOG(kLogError, u"Worker thread 0x%X exception: 0x%0.8X", id, static_cast<uint32_t>(code));
    } catch (const SE_Exception &e) {
        AR_LOG(kLogError, u"Worker thread 0x%X exception: 0x%0.8X", id, e.GetCode());
    } catch (...) {
        AR_LOG(kLogError, u"Dispatcher thread 0x%X unknown exception", id);
    }
    // With no worker left, queued requests would never be answered: end the
    // connection instead.
    if (s.liveWorkers.fetch_sub(1) == 1 && status != 0)
        s.ShutSocket();
    AR_LOG(kLogDebug, u"Worker thread 0x%X terminating: status %d", id, status);
    return status;
}

void MessageLoop(DispatcherState &s, uint32_t id, uint32_t &status)
{
    try {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(s.gateLock);
                s.gate.wait(lock, [&] { return !s.suspended; });
            }
            std::unique_ptr<ReqMsg> request = ReqMsg::Receive(s.socket);
            if (!request) {
                status = 0;
                break;
            }
            s.queue.Enqueue(std::move(request));
            {
                std::lock_guard<std::mutex> lock(s.wakeLock);
                ++s.pending;
            }
            s.wake.notify_one();
        }
    } catch (long code) {
        AR_LOG(kLogWarning, u"Dispatcher thread 0x%X IO error 0x%0.8X in message loop", id,
               static_cast<uint32_t>(code));
    } catch (const SE_Exception &e) {
        AR_LOG(kLogError, u"Dispatcher thread 0x%X exception: 0x%0.8X in message loop", id, e.GetCode());
    } catch (...) {
        AR_LOG(kLogError, u"Dispatcher thread 0x%X unknown exception in message loop", id);
    }
}

uint32_t DispatcherThread(void *parameter)
{
    DispatcherState &s = *static_cast<DispatcherState *>(parameter);
    uint32_t status = 1;
    InstallExceptionTranslator();
    const uint32_t id = CurrentThreadId();
    AR_LOG(kLogDebug, u"Dispatcher thread 0x%X starting", id);
    std::vector<ThreadRecord> workers;
    try {
        std::shared_ptr<DispatcherState> keep = s.self.lock();
        for (uint32_t i = 0; i < s.workerCount; ++i) {
            ThreadRecord record;
            s.liveWorkers.fetch_add(1);
            try {
                StartThread(record, WorkerThread, &s, keep);
            } catch (...) {
                s.liveWorkers.fetch_sub(1);
                throw;
            }
            workers.push_back(record);
        }
        MessageLoop(s, id, status);

        AR_LOG(kLogDebug, u"Dispatcher thread 0x%X terminating worker threads", id);
        {
            std::lock_guard<std::mutex> lock(s.wakeLock);
            s.shutdown = true;
        }
        s.wake.notify_all();
        for (ThreadRecord &worker : workers) {
            AR_LOG(kLogDebug, u"Shutting down worker thread 0x%X", worker.id);
            uint32_t code = JoinThread(worker, kWorkerJoinMs);
            AR_LOG(kLogDebug, u"Worker thread 0x%X termiated with status %d", worker.id, code);
            CloseThread(worker);
        }
        workers.clear();
        // No member is touched after this: the callback may destroy us.
        s.onEnd(s.socket, s.server);
    } catch (const SE_Exception &e) {
        AR_LOG(kLogError, u"Dispatcher thread 0x%X exception: 0x%0.8X", id, e.GetCode());
        status = 1;
    } catch (...) {
        AR_LOG(kLogError, u"Dispatcher thread 0x%X unknown exception", id);
        status = 1;
    }
    if (!workers.empty()) {
        // Workers started before a failure still need their signal.
        {
            std::lock_guard<std::mutex> lock(s.wakeLock);
            s.shutdown = true;
        }
        s.wake.notify_all();
        for (ThreadRecord &worker : workers) {
            JoinThread(worker, kWorkerJoinMs);
            CloseThread(worker);
        }
    }
    AR_LOG(kLogDebug, u"Dispatcher thread 0x%X terminating: status %d", id, status);
    return status;
}

} // namespace

ListEntry *FindOrCreateContext(List &contexts, const Blob &identifier, const String &package,
                               SecContextFactory factory, bool create, SecContext **context)
{
    if (ListEntry *entry = contexts.Find(identifier.Data(), identifier.Size())) {
        AR_LOG(kLogTrace, u"Found existing security context for request");
        *context = static_cast<SecContext *>(entry->GetUserData());
        return entry;
    }
    if (!create)
        return nullptr;
    std::unique_ptr<SecContext> made(factory(package));
    if (!made) {
        AR_LOG(kLogError, u"Failed to create a security context");
        return nullptr;
    }
    AR_LOG(kLogTrace, u"Created new security context for request");
    ListEntry *entry = contexts.AddEntry(identifier.Data(), identifier.Size(), made.get(), DeleteContext);
    *context = made.release();
    return entry;
}

DispatcherImpl::DispatcherImpl(List *contexts, uint32_t workerCount, const char16_t *package, EndOfConnection onEnd,
                               void *server, SecContextFactory factory)
{
    try {
        state_ = std::make_shared<DispatcherState>();
        state_->self = state_;
        state_->package.Set(package ? package : u"Negotiate");
        state_->workerCount = workerCount;
        state_->onEnd = onEnd;
        state_->server = server;
        state_->factory = factory;
        state_->contexts = contexts;
    } catch (...) {
        AR_LOG(kLogError, u"DispatcherImpl constructor failed");
        throw;
    }
}

DispatcherImpl::~DispatcherImpl()
{
    try {
        DestroyDispatcher();
    } catch (...) {
        AR_LOG(kLogError, u"Exception in DispatcherImpl::DestroyDispatcher");
    }
}

void DispatcherImpl::DestroyDispatcher()
{
    Shutdown();
    std::lock_guard<std::mutex> lock(state_->threadLock);
    if (state_->threadRunning)
        CloseThread(state_->thread);
    state_->threadRunning = false;
    state_->protocolVersion.store(0);
    state_->sessionActive.store(false);
}

bool DispatcherImpl::Start(Socket socket)
{
    std::lock_guard<std::mutex> lock(state_->threadLock);
    if (state_->threadRunning)
        return true;
    state_->socket = socket;
    StartThread(state_->thread, DispatcherThread, state_.get(), state_);
    state_->threadRunning = true;
    AR_LOG(kLogDebug, u"Started dispatcher thread 0x%X", state_->thread.id);
    return true;
}

bool DispatcherImpl::Shutdown()
{
    state_->ShutSocket();
    Resume(); // a suspended reader must see the closed socket
    ThreadRecord thread;
    {
        // The join runs without the lock: the thread's end-of-connection
        // callback may destroy this dispatcher.
        std::lock_guard<std::mutex> lock(state_->threadLock);
        if (!state_->threadRunning || state_->thread.id == CurrentThreadId())
            return true;
        thread = state_->thread;
        state_->thread = ThreadRecord{};
        state_->threadRunning = false;
    }
    AR_LOG(kLogDebug, u"Shutting down dispatcher for thread 0x%X", thread.id);
    uint32_t code = JoinThread(thread, kDispatcherJoinMs);
    CloseThread(thread);
    AR_LOG(kLogDebug, u"Dispatcher thread 0x%X terminated with status %d", thread.id, code);
    return true;
}

void DispatcherImpl::Suspend()
{
    std::lock_guard<std::mutex> lock(state_->gateLock);
    state_->suspended = true;
}

void DispatcherImpl::Resume()
{
    {
        std::lock_guard<std::mutex> lock(state_->gateLock);
        state_->suspended = false;
    }
    state_->gate.notify_all();
}

} // namespace authrelay
