#include "list.h"

#include <cstring>
#include <memory>
#include <new>

#include "failure.h"
#include "log.h"

namespace authrelay {

namespace {

constexpr char kLogUnit[] = "src/c/list";

// Holds the list's lock for one scope.
class Held {
public:
    explicit Held(ListImpl &list) : list_(list) { list_.Acquire(); }
    ~Held() { list_.ReleaseLock(); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

private:
    ListImpl &list_;
};

} // namespace

ListImpl::ListImpl()
{
    try {
        if (uint32_t error = lock_.Open()) {
            AR_LOG_SYSTEM(kLogError, error, u"CreateMutex failed in ListImpl constructor");
            ThrowFailure(ConvertWindowsError(error));
        }
        if (uint32_t error = empty_.Open(true, true)) {
            AR_LOG_SYSTEM(kLogError, error, u"CreateEvent failed in ListImpl constructor");
            ThrowFailure(ConvertWindowsError(error));
        }
    } catch (...) {
        AR_LOG(kLogError, u"ListImpl constructor failed");
        throw;
    }
}

ListImpl::~ListImpl()
{
    try {
        Clear(false);
        Held held(*this);
        DetachAll();
    } catch (...) {
        // Logged where it failed; a destructor cannot pass it on.
    }
}

void ListImpl::Acquire()
{
    if (uint32_t error = lock_.Acquire()) {
        AR_LOG_SYSTEM(kLogError, error, u"WaitForSingleObject failed in ListImpl::Acquire");
        ThrowFailure(ConvertWindowsError(error));
    }
}

ListEntry *ListImpl::AddEntry(const void *key, uint32_t keyLength, void *userData,
                              UserDataDeleter deleter)
{
    std::unique_ptr<ListEntryImpl> entry;
    try {
        entry.reset(new ListEntryImpl(key, keyLength, userData, deleter));
    } catch (const std::bad_alloc &) {
        AR_LOG(kLogError, u"ListEntryImpl constructor failed");
        ThrowFailure(kFailOutOfMemory);
    }
    try {
        Held held(*this);
        entry->InsertAfter(this, tail_);
        if (!tail_)
            head_ = entry.get();
        tail_ = entry.get();
        empty_.Reset();
    } catch (...) {
        AR_LOG(kLogError, u"Exception in ListImpl::AddEntry");
        // Not linked: destroy it without calling the caller's deleter, whose
        // data the caller still owns after a failure.
        entry->SetUserData(nullptr);
        entry->deleter_ = nullptr;
        throw;
    }
    return entry.release();
}

void ListImpl::Remove(ListEntry *entry)
{
    auto *e = static_cast<ListEntryImpl *>(entry);
    Held held(*this);
    // An entry detached by a forced clear is no longer ours to unlink.
    if (!e || e->GetOwner() != this)
        return;
    if (e == head_)
        head_ = e->next_;
    if (e == tail_)
        tail_ = e->prev_;
    e->Unlink();
    if (!head_)
        empty_.Set();
}

ListEntry *ListImpl::Find(const void *key, uint32_t keyLength)
{
    Held held(*this);
    for (ListEntryImpl *e = head_; e; e = e->next_) {
        if (e->IsRemoved())
            continue;
        if (key && (e->keyLength_ != keyLength ||
                    (keyLength && memcmp(e->key_.get(), key, keyLength) != 0)))
            continue;
        e->AddRef();
        return e;
    }
    return nullptr;
}

void ListImpl::Walk(const std::function<void(ListEntry *)> &work, bool markRemoved)
{
    ListEntry *entry = First();
    while (entry) {
        try {
            work(entry);
        } catch (...) {
            entry->Release(markRemoved);
            throw;
        }
        ListEntry *next;
        {
            // The step and its reference are taken together, so the next
            // entry cannot go between them.
            Held held(*this);
            next = entry->Next(true);
            if (next)
                next->AddRef();
        }
        entry->Release(markRemoved);
        entry = next;
    }
}

void ListImpl::MarkRemoved(ListEntryImpl *entry)
{
    Held held(*this);
    entry->removed_.store(1, std::memory_order_release);
}

void ListImpl::DetachAll()
{
    while (ListEntryImpl *e = head_) {
        head_ = e->next_;
        e->Detach();
    }
    tail_ = nullptr;
    empty_.Set();
}

bool ListImpl::Clear(bool force)
{
    try {
        Held held(*this);
        while (ListEntry *e = First())
            e->Release(true);
        if (force)
            DetachAll();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace authrelay
