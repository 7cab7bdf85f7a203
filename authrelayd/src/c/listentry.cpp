#include "listentry.h"

#include <cstring>
#include <new>

#include "failure.h"
#include "list.h"
#include "log.h"
#include "text.h"

namespace authrelay {

namespace {
constexpr char kLogUnit[] = "src/c/listentry";
} // namespace

ListEntryImpl::ListEntryImpl(const void *key, uint32_t keyLength, void *userData,
                             UserDataDeleter deleter)
    : userData_(userData), deleter_(deleter)
{
    try {
        if (key && keyLength > 0) {
            key_.reset(new (std::nothrow) uint8_t[keyLength]);
            if (!key_)
                ThrowFailure(kFailOutOfMemory);
            memcpy(key_.get(), key, keyLength);
            keyLength_ = keyLength;
        }
        count_.reset(new (std::nothrow) Counter);
        if (!count_) {
            AR_LOG(kLogError, u"Failed to allocate list entry reference count ");
            ThrowFailure(kFailOutOfMemory);
        }
    } catch (...) {
        AR_LOG(kLogError, u"ListEntryImpl constructor failed");
        if (key_)
            SecureZero(key_.get(), keyLength_);
        throw;
    }
}

ListEntryImpl::~ListEntryImpl()
{
    // Keys are client identifiers: wiped like every other token.
    if (key_)
        SecureZero(key_.get(), keyLength_);
    if (deleter_)
        deleter_(userData_);
}

ListEntry *ListEntryImpl::Next(bool skipRemoved)
{
    ListEntryImpl *e = next_;
    while (skipRemoved && e && e->IsRemoved())
        e = e->next_;
    return e;
}

ListEntry *ListEntryImpl::Prev(bool skipRemoved)
{
    ListEntryImpl *e = prev_;
    while (skipRemoved && e && e->IsRemoved())
        e = e->prev_;
    return e;
}

void ListEntryImpl::InsertAfter(List *list, ListEntry *previous)
{
    owner_.store(list, std::memory_order_release);
    auto *p = static_cast<ListEntryImpl *>(previous);
    if (p) {
        prev_ = p;
        next_ = p->next_;
        if (p->next_)
            p->next_->prev_ = this;
        p->next_ = this;
    }
}

void ListEntryImpl::Unlink()
{
    if (prev_)
        prev_->next_ = next_;
    if (next_)
        next_->prev_ = prev_;
    next_ = prev_ = nullptr;
    owner_.store(nullptr, std::memory_order_release);
}

void ListEntryImpl::Detach()
{
    Unlink();
}

const uint8_t *ListEntryImpl::GetKey(uint32_t *length)
{
    if (length)
        *length = keyLength_;
    return key_.get();
}

int32_t ListEntryImpl::AddRef()
{
    return count_->value.fetch_add(1, std::memory_order_acq_rel) + 1;
}

int32_t ListEntryImpl::Release(bool markRemoved)
{
    // The mark is set under the list's lock: a Find that saw the entry
    // unmarked has then already taken its reference, so a count of 0 below
    // can no longer be revived and only one release destroys the entry.
    if (markRemoved) {
        if (auto *owner = static_cast<ListImpl *>(GetOwner()))
            owner->MarkRemoved(this);
        else
            removed_.store(1, std::memory_order_release);
    }
    int32_t count = count_->value.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0 && IsRemoved() && !claimed_.exchange(true, std::memory_order_acq_rel)) {
        if (List *owner = GetOwner())
            owner->Remove(this);
        delete this;
    }
    return count;
}

} // namespace authrelay
