#include "queue.h"

#include "log.h"

namespace authrelay {

namespace {
constexpr char kLogUnit[] = "src/c/queue";
} // namespace

QueueImpl::QueueImpl()
{
    try {
        list_ = std::make_unique<ListImpl>();
    } catch (...) {
        AR_LOG(kLogError, u"QueueImpl constructor failed");
        throw;
    }
}

QueueImpl::~QueueImpl()
{
    try {
        while (Dequeue()) {
        }
    } catch (...) {
        // Logged by the list; what is left goes with it.
    }
}

void QueueImpl::Enqueue(std::unique_ptr<ReqMsg> message)
{
    ListEntry *entry = list_->AddEntry(nullptr, 0, message.get(), nullptr);
    message.release(); // the entry holds it now
    // Left queued with no reference: Dequeue takes it.
    entry->Release(false);
}

std::unique_ptr<ReqMsg> QueueImpl::Dequeue()
{
    // Held from finding the entry to destroying it, so that two workers
    // never take the same message.
    list_->Acquire();
    std::unique_ptr<ReqMsg> message;
    try {
        if (ListEntry *entry = list_->First()) {
            message.reset(static_cast<ReqMsg *>(entry->GetUserData()));
            entry->Release(true);
        }
    } catch (...) {
        list_->ReleaseLock();
        throw;
    }
    list_->ReleaseLock();
    return message;
}

} // namespace authrelay
