// Platform wrappers, memory pool and resize context.
#include "tk_internal.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Called through a volatile pointer so the compiler cannot prove the store
// dead when the block is freed right after it.
void *(*volatile const g_memset)(void *, int, size_t) = memset;

void releaseEntry(TK_MEMORY_POOL_ENTRY *e)
{
    if (e->release != nullptr) {
        e->release(e->block);
    } else {
        T_memset(e->block, 0, e->length);
        T_free(e->block);
    }
    e->block = nullptr;
    e->length = 0;
    e->release = nullptr;
}

// Grows the entry array without T_realloc: on failure the pool keeps its
// records instead of losing them with the old array.
unsigned growEntries(TK_MEMORY_POOL *pool)
{
    if (pool->count < pool->capacity)
        return 0;
    if (pool->capacity > UINT32_MAX / sizeof(TK_MEMORY_POOL_ENTRY) - TK_MEMORY_POOL_GROWTH)
        return TK_E_ALLOC;
    uint32_t capacity = pool->capacity + TK_MEMORY_POOL_GROWTH;
    auto *entries = static_cast<TK_MEMORY_POOL_ENTRY *>(
        T_malloc(capacity * static_cast<uint32_t>(sizeof(TK_MEMORY_POOL_ENTRY))));
    if (entries == nullptr)
        return TK_E_ALLOC;
    T_memcpy(entries, pool->entries,
             pool->count * static_cast<uint32_t>(sizeof(TK_MEMORY_POOL_ENTRY)));
    T_free(pool->entries);
    pool->entries = entries;
    pool->capacity = capacity;
    return 0;
}

} // namespace

extern "C" {

void *T_malloc(uint32_t size)
{
    return malloc(size == 0 ? 1 : size);
}

void *T_realloc(void *block, uint32_t size)
{
    if (block == nullptr)
        return T_malloc(size);
    void *p = realloc(block, size == 0 ? 1 : size);
    if (p == nullptr)
        free(block);
    return p;
}

void T_free(void *block)
{
    if (block != nullptr)
        free(block);
}

void T_memset(void *block, int value, uint32_t length)
{
    if (length != 0)
        g_memset(block, value, length);
}

void T_memcpy(void *dest, const void *src, uint32_t length)
{
    if (length != 0)
        memcpy(dest, src, length);
}

void TK_MemoryPoolConstructor(TK_MEMORY_POOL *pool)
{
    pool->count = 0;
    pool->capacity = 0;
    pool->entries = nullptr;
}

unsigned TK_MemoryPoolAdoptData(TK_MEMORY_POOL *pool, void *block, uint32_t length,
                                TK_RELEASE_FN release)
{
    TK_MEMORY_POOL_ENTRY e = {block, length, release};
    if (growEntries(pool) != 0) {
        releaseEntry(&e);
        return TK_E_ALLOC;
    }
    pool->entries[pool->count++] = e;
    return 0;
}

unsigned TK_MemoryPoolAlloc(TK_MEMORY_POOL *pool, void **block, uint32_t length)
{
    *block = nullptr;
    void *p = T_malloc(length);
    if (p == nullptr)
        return TK_E_ALLOC;
    unsigned rc = TK_MemoryPoolAdoptData(pool, p, length, nullptr);
    if (rc == 0)
        *block = p;
    return rc;
}

unsigned TK_MemoryPoolAllocAndCopy(TK_MEMORY_POOL *pool, void **block, const void *src,
                                   uint32_t length)
{
    unsigned rc = TK_MemoryPoolAlloc(pool, block, length);
    if (rc == 0)
        T_memcpy(*block, src, length);
    return rc;
}

int TK_MemoryPoolFindAllocedObject(const TK_MEMORY_POOL *pool, const void *block)
{
    if (block == nullptr)
        return -1;
    for (uint32_t i = 0; i < pool->count; ++i)
        if (pool->entries[i].block == block)
            return static_cast<int>(i);
    return -1;
}

unsigned TK_MemoryPoolRealloc(TK_MEMORY_POOL *pool, void **block, uint32_t length)
{
    if (*block == nullptr)
        return TK_MemoryPoolAlloc(pool, block, length);
    int i = TK_MemoryPoolFindAllocedObject(pool, *block);
    if (i < 0)
        return TK_E_BAD_PARAM;
    TK_MEMORY_POOL_ENTRY *e = &pool->entries[i];
    // Copy by hand rather than realloc: a moved block would be freed unwiped.
    void *p = T_malloc(length);
    if (p == nullptr)
        return TK_E_ALLOC;
    T_memcpy(p, e->block, e->length < length ? e->length : length);
    T_memset(e->block, 0, e->length);
    T_free(e->block);
    e->block = p;
    e->length = length;
    e->release = nullptr;
    *block = p;
    return 0;
}

void TK_MemoryPoolFree(TK_MEMORY_POOL *pool, void *block)
{
    int i = TK_MemoryPoolFindAllocedObject(pool, block);
    if (i < 0)
        return;
    releaseEntry(&pool->entries[i]);
    pool->entries[i] = pool->entries[--pool->count];
}

void TK_MemoryPoolReset(TK_MEMORY_POOL *pool)
{
    for (uint32_t i = 0; i < pool->count; ++i)
        releaseEntry(&pool->entries[i]);
    pool->count = 0;
}

void TK_MemoryPoolDestructor(TK_MEMORY_POOL *pool)
{
    TK_MemoryPoolReset(pool);
    T_free(pool->entries);
    TK_MemoryPoolConstructor(pool);
}

void ResizeContextConstructor(TK_RESIZE_CONTEXT *ctx, TK_RESIZE_HOOK hook)
{
    ctx->buffer = nullptr;
    ctx->length = 0;
    ctx->hook = hook;
}

unsigned ResizeContextMakeNewContext(TK_RESIZE_CONTEXT *ctx, uint32_t length)
{
    if (length == ctx->length && (ctx->buffer != nullptr || length == 0))
        return 0;
    if (ctx->hook != nullptr && ctx->buffer != nullptr)
        ctx->hook(ctx->buffer, ctx->length);
    // The old contents are wiped, so there is nothing to carry over: free and
    // allocate instead of reallocating.
    T_memset(ctx->buffer, 0, ctx->length);
    T_free(ctx->buffer);
    ctx->buffer = static_cast<unsigned char *>(T_malloc(length));
    if (ctx->buffer == nullptr) {
        ctx->length = 0;
        return TK_E_ALLOC;
    }
    ctx->length = length;
    return 0;
}

void ResizeContextDestructor(TK_RESIZE_CONTEXT *ctx)
{
    if (ctx->buffer != nullptr) {
        if (ctx->hook != nullptr)
            ctx->hook(ctx->buffer, ctx->length);
        T_memset(ctx->buffer, 0, ctx->length);
        T_free(ctx->buffer);
    }
    ctx->buffer = nullptr;
    ctx->length = 0;
}

} // extern "C"
