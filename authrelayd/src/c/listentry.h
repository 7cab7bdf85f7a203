// Reference-counted entries of the shared lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace authrelay {

class List;

// Destroys an entry's user data when the entry is destroyed.
using UserDataDeleter = void (*)(void *userData);

class ListEntry {
public:
    virtual ~ListEntry() = default;
    virtual void *GetUserData() = 0;
    virtual void SetUserData(void *userData) = 0;
    // Neighbours; with skipRemoved, entries marked removed are passed over.
    // No lock is taken: call under the list's lock or on an entry you hold.
    virtual ListEntry *Next(bool skipRemoved) = 0;
    virtual ListEntry *Prev(bool skipRemoved) = 0;
    virtual void InsertAfter(List *list, ListEntry *previous) = 0;
    virtual void Unlink() = 0;
    virtual const uint8_t *GetKey(uint32_t *length) = 0;
    virtual bool IsRemoved() = 0;
    // Takes a reference; returns the new count.
    virtual int32_t AddRef() = 0;
    // Drops a reference, first marking the entry removed when markRemoved.
    // The release that leaves a marked entry unreferenced unlinks and
    // destroys it (calling the deleter). Returns the new count.
    virtual int32_t Release(bool markRemoved) = 0;
};

class ListEntryImpl final : public ListEntry {
public:
    // Copies the key. Throws kFailOutOfMemory.
    ListEntryImpl(const void *key, uint32_t keyLength, void *userData, UserDataDeleter deleter);
    ~ListEntryImpl() override;

    void *GetUserData() override { return userData_; }
    void SetUserData(void *userData) override { userData_ = userData; }
    ListEntry *Next(bool skipRemoved) override;
    ListEntry *Prev(bool skipRemoved) override;
    void InsertAfter(List *list, ListEntry *previous) override;
    void Unlink() override;
    const uint8_t *GetKey(uint32_t *length) override;
    bool IsRemoved() override { return removed_.load(std::memory_order_acquire) != 0; }
    int32_t AddRef() override;
    int32_t Release(bool markRemoved) override;

    List *GetOwner() const { return owner_.load(std::memory_order_acquire); }
    // Leaves the list without being destroyed: the last Release then
    // destroys the entry without touching any list.
    void Detach();

private:
    // The counter lives in its own aligned block, apart from the links.
    struct alignas(32) Counter {
        std::atomic<int32_t> value{1};
    };

    ListEntryImpl *next_ = nullptr;
    ListEntryImpl *prev_ = nullptr;
    std::atomic<List *> owner_{nullptr};
    std::unique_ptr<uint8_t[]> key_;
    uint32_t keyLength_ = 0;
    void *userData_;
    std::unique_ptr<Counter> count_;
    std::atomic<uint8_t> removed_{0};
    UserDataDeleter deleter_;
    // Set by whichever release or clear destroys the entry, so only one does.
    std::atomic<bool> claimed_{false};

    friend class ListImpl;
};

} // namespace authrelay
