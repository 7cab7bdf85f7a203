/*
 * Internals shared by the back ends: error recording, allocation that
 * records its failures, record lists, the full-name split.
 */
#pragma once

#include <cstddef>
#include <cstdlib>
#include <initializer_list>

#include "acctsrc.h"

namespace acctsrc {

/*
 * Records the calling thread's extended error: "[<base name of file>:line] "
 * followed by the formatted text and, for a nonzero code, the system's
 * description of it. Nothing is recorded if the thread's record cannot be made.
 */
void SetExtendedErrorMsg(const char *file, int line, unsigned long code, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
/* Records a bare code: the thread keeps the code and no message. */
void SetExtendedError(unsigned long code);

#define ACCTSRC_ERROR(code, ...) ::acctsrc::SetExtendedErrorMsg(__FILE__, __LINE__, (code), __VA_ARGS__)

/*
 * Tests the pointer parameters of an export in order; on the first NULL one
 * records "<function> parameter <position> NULL" with code 0 and returns true.
 */
bool NullParameter(const char *file, int line, const char *function, std::initializer_list<const void *> params);
#define ACCTSRC_NULL_PARAMS(function, ...) \
    ::acctsrc::NullParameter(__FILE__, __LINE__, (function), {__VA_ARGS__})

/* calloc / realloc that record the byte count as a bare code on failure. */
void *AllocZeroed(size_t bytes);
void *Reallocate(void *block, size_t bytes);
/* New copy of n wide characters plus a NUL; NULL (recorded) on failure. */
wchar_t *DupWide(const wchar_t *text, size_t n);

/* Zeroes len bytes in a way the compiler keeps, for secrets about to be released. */
void Wipe(void *block, size_t len);

void FreeUserFields(UserInfo *user);
void FreeGroupFields(GroupInfo *group);
void FreeMemberFields(MemberInfo *member);

/*
 * Splits a full name into first, middle and last name (each a new text or
 * NULL). Returns 0, or 2 when an allocation failed (nothing is handed out).
 */
int SplitFullName(const wchar_t *fullName, wchar_t **first, wchar_t **middle, wchar_t **last);

/*
 * A list of record pointers under construction: grows 20 entries at a time
 * and is shrunk to its count when handed out. Whatever is still in it when
 * it goes is released with the kind's Free function.
 */
template <typename Record, void (*FreeList)(Record ***, size_t)> class RecordList {
public:
    RecordList() = default;
    ~RecordList() { FreeList(&items_, count_); }
    RecordList(const RecordList &) = delete;
    RecordList &operator=(const RecordList &) = delete;

    size_t count() const { return count_; }

    /* Makes room for one more pointer. Returns 0 or 2. */
    int reserveOne()
    {
        if (count_ < capacity_)
            return ACCTSRC_OK;
        const size_t bytes = (capacity_ + kGrowth) * sizeof(Record *);
        void *grown = Reallocate(items_, bytes);
        if (grown == nullptr)
            return ACCTSRC_NO_MEMORY;
        items_ = static_cast<Record **>(grown);
        capacity_ += kGrowth;
        return ACCTSRC_OK;
    }
    /* Takes over record; room must have been reserved. */
    void push(Record *record) { items_[count_++] = record; }

    /* Hands out the exact-size array (NULL when empty). Returns 0 or 2. */
    int release(size_t *count, Record ***list)
    {
        if (count_ == 0) {
            std::free(items_);
            items_ = nullptr;
            capacity_ = 0;
        } else if (count_ < capacity_) {
            void *shrunk = Reallocate(items_, count_ * sizeof(Record *));
            if (shrunk == nullptr)
                return ACCTSRC_NO_MEMORY;
            items_ = static_cast<Record **>(shrunk);
            capacity_ = count_;
        }
        *count = count_;
        *list = items_;
        items_ = nullptr;
        count_ = capacity_ = 0;
        return ACCTSRC_OK;
    }

private:
    static constexpr size_t kGrowth = 20;
    Record **items_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

using UserList = RecordList<UserInfo, FreeUserInfos>;
using GroupList = RecordList<GroupInfo, FreeGroupInfos>;
using MemberList = RecordList<MemberInfo, FreeMemberInfos>;

/* Owns a malloc'd block until released. */
template <typename T> class Owned {
public:
    Owned() = default;
    explicit Owned(T *p) : p_(p) {}
    ~Owned() { std::free(p_); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    T *get() const { return p_; }
    T **out() { return &p_; }
    T *take()
    {
        T *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T *p = nullptr)
    {
        std::free(p_);
        p_ = p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T *p_ = nullptr;
};

} // namespace acctsrc
