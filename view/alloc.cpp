#include "alloc.h"

#include <cerrno>
#include <cstdlib>

// Per thread: a test that fails allocations in its own thread never makes
// another thread's allocation fail, and counting costs no locked
// instruction.
__thread long zt_alloc_fail_left __attribute__((tls_model("initial-exec")));
__thread long zt_alloc_counted __attribute__((tls_model("initial-exec")));

bool zt_alloc_should_fail() noexcept
{
    ++zt_alloc_counted;
    if (zt_alloc_fail_left > 0 && --zt_alloc_fail_left == 0) {
        errno = ENOMEM;
        return true;
    }
    return false;
}

void *zt_malloc(size_t n) noexcept
{
    if (zt_alloc_should_fail())
        return nullptr;
    void *p = std::malloc(n ? n : 1);
    if (!p)
        errno = ENOMEM;
    return p;
}

void *zt_calloc(size_t count, size_t size) noexcept
{
    if (zt_alloc_should_fail())
        return nullptr;
    void *p = std::calloc(count ? count : 1, size ? size : 1);
    if (!p)
        errno = ENOMEM;
    return p;
}

void *zt_realloc(void *p, size_t n) noexcept
{
    if (zt_alloc_should_fail())
        return nullptr;
    void *q = std::realloc(p, n ? n : 1);
    if (!q)
        errno = ENOMEM;
    return q;
}

void zt_free(void *p) noexcept { std::free(p); }

long zt_alloc_fail_at(long nth) noexcept
{
    long n = zt_alloc_counted;
    zt_alloc_counted = 0;
    zt_alloc_fail_left = nth > 0 ? nth : 0;
    return n;
}
