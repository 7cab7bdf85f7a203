#include "wipe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<const void *> g_block{nullptr};
size_t g_size = 0;
std::atomic<bool> g_freed{false};
bool g_zeroed = false;

void Check(void *p)
{
    if (p && p == g_block.load()) {
        const unsigned char *b = static_cast<const unsigned char *>(p);
        bool zero = true;
        for (size_t i = 0; i < g_size; ++i)
            zero = zero && b[i] == 0;
        g_zeroed = zero;
        g_block = nullptr;
        g_freed = true;
    }
}

} // namespace

namespace authrelay_test {

void WatchBlock(const void *p, size_t n)
{
    g_size = n;
    g_freed = false;
    g_zeroed = false;
    g_block = p;
}

bool WatchedBlockFreed(bool *zeroed)
{
    *zeroed = g_zeroed;
    return g_freed;
}

} // namespace authrelay_test

void *operator new[](size_t n)
{
    if (void *p = malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept
{
    return malloc(n ? n : 1);
}
void operator delete[](void *p) noexcept
{
    Check(p);
    free(p);
}
void operator delete[](void *p, size_t) noexcept
{
    Check(p);
    free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept
{
    Check(p);
    free(p);
}
