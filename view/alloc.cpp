#include "alloc.h"

#include <cerrno>
#include <cstdlib>

namespace {
// Per thread: a test that fails allocations in its own thread never makes
// another thread's allocation fail, and counting costs no locked
// instruction.
__thread long fail_at __attribute__((tls_model("initial-exec")));  // countdown to the failing allocation; 0: off
__thread long counted __attribute__((tls_model("initial-exec")));  // allocations since the last zt_alloc_fail_at

bool should_fail() noexcept
{
    ++counted;
    if (fail_at > 0 && --fail_at == 0) {
        errno = ENOMEM;
        return true;
    }
    return false;
}
} // namespace

void *zt_malloc(size_t n) noexcept
{
    if (should_fail())
        return nullptr;
    void *p = std::malloc(n ? n : 1);
    if (!p)
        errno = ENOMEM;
    return p;
}

void *zt_calloc(size_t count, size_t size) noexcept
{
    if (should_fail())
        return nullptr;
    void *p = std::calloc(count ? count : 1, size ? size : 1);
    if (!p)
        errno = ENOMEM;
    return p;
}

void *zt_realloc(void *p, size_t n) noexcept
{
    if (should_fail())
        return nullptr;
    void *q = std::realloc(p, n ? n : 1);
    if (!q)
        errno = ENOMEM;
    return q;
}

void zt_free(void *p) noexcept { std::free(p); }

bool zt_alloc_tick() noexcept { return !should_fail(); }

long zt_alloc_fail_at(long nth) noexcept
{
    long n = counted;
    counted = 0;
    fail_at = nth > 0 ? nth : 0;
    return n;
}
