// Allocation used by both libraries (each carries a hidden copy).  Every record, block and buffer goes
// through these calls so that tests can make the Nth allocation fail and
// walk every failure path.  Failures set errno to ENOMEM.
#pragma once

#include <cstddef>

void *zt_malloc(size_t n) noexcept;
void *zt_calloc(size_t count, size_t size) noexcept;
void *zt_realloc(void *p, size_t n) noexcept;
void zt_free(void *p) noexcept;

// The test switch's per-thread state (alloc.cpp).
extern __thread long zt_alloc_fail_left __attribute__((tls_model("initial-exec")));  // countdown to the failing allocation; 0: off
extern __thread long zt_alloc_counted __attribute__((tls_model("initial-exec")));    // allocations since the last zt_alloc_fail_at

// Counts one allocation; false (errno ENOMEM) when it is the one to fail.
bool zt_alloc_should_fail() noexcept;

// Counts an allocation served from a cache of the caller's own, so that the
// test switch reaches it too; false (errno ENOMEM) when it is to fail.
// Inline: a view record comes from the cache once per parser event.
inline bool zt_alloc_tick() noexcept
{
    if (__builtin_expect(zt_alloc_fail_left > 0, 0))
        return !zt_alloc_should_fail();
    ++zt_alloc_counted;
    return true;
}

// Test switch, per thread: the calling thread's `nth` allocation from now on (1 = the next one) fails;
// 0 switches failures off.  Returns the allocations counted since the last
// call, so a test can first count a call's allocations and then fail each.
long zt_alloc_fail_at(long nth) noexcept;
