// The locked, doubly linked list of reference-counted entries that holds the
// dispatchers, the security contexts and each connection's messages.
#pragma once

#include <cstdint>
#include <functional>

#include "listentry.h"
#include "thread.h"

namespace authrelay {

class List {
public:
    virtual ~List() = default;
    // Releases every entry with the removed mark; entries still held by
    // others stay, marked, until their last release. With force, those are
    // also taken out of the list at once (see ListImpl). False when a failure
    // interrupted it.
    virtual bool Clear(bool force) = 0;
    // Appends a new entry holding a copy of the key; the entry carries the
    // caller's reference. Throws a failure code.
    virtual ListEntry *AddEntry(const void *key, uint32_t keyLength, void *userData,
                                UserDataDeleter deleter) = 0;
    virtual void Remove(ListEntry *entry) = 0;
    // The first entry not marked removed whose key matches (any entry when
    // key is null), with a reference taken for the caller; or null.
    virtual ListEntry *Find(const void *key, uint32_t keyLength) = 0;
    virtual ListEntry *First() = 0;
};

class ListImpl final : public List {
public:
    // Throws the converted system error when the lock or event cannot be made.
    ListImpl();
    // Clears the list. Entries other threads still hold leave it detached
    // and are destroyed by their last release, which no longer touches it.
    ~ListImpl() override;

    // Entries nobody holds are destroyed; with force, held entries are
    // detached from the list (which is then empty) and destroyed by their
    // holder's last release, never under the holder.
    bool Clear(bool force) override;
    ListEntry *AddEntry(const void *key, uint32_t keyLength, void *userData,
                        UserDataDeleter deleter) override;
    void Remove(ListEntry *entry) override;
    ListEntry *Find(const void *key, uint32_t keyLength) override;
    ListEntry *First() override { return Find(nullptr, 0); }

    // Takes the list's lock (it nests); throws the converted system error.
    void Acquire();
    void ReleaseLock() { lock_.Release(); }
    // Runs work on every live entry in order, holding a reference on the
    // entry (but not the lock) while work runs, and releases each visited
    // entry with markRemoved. Entries added or removed meanwhile are safe.
    void Walk(const std::function<void(ListEntry *)> &work, bool markRemoved);
    // Sets the entry's removed mark under the lock.
    void MarkRemoved(ListEntryImpl *entry);
    // True when the list is (or becomes) empty within timeoutMs.
    bool WaitUntilEmpty(uint32_t timeoutMs) { return empty_.Wait(timeoutMs); }

private:
    void DetachAll();

    RecursiveLock lock_;
    Event empty_;
    ListEntryImpl *head_ = nullptr;
    ListEntryImpl *tail_ = nullptr;
};

} // namespace authrelay
