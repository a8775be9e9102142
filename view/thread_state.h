// Per-thread state of the view library.
//
// Everything the library keeps between calls lives here, one copy per
// thread, so that threads working on views of their own never touch the
// same memory: the live counts per module (written by their thread only,
// read by ztview_live_count from any thread), the view-record cache, the
// escape scratch slots and a cache of large freed blocks.  The state is
// made on a thread's first call and released when the thread ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct ztview;
struct zt_block;

constexpr int ZT_ACCOUNT_SLOTS = 32;

// Released view records kept for reuse: a parser makes and a host releases
// one view per event, and malloc/free of the record was about a sixth of the
// cost of a small event.  Sanitizer builds keep none, so that a use after
// release is still caught there.
#if defined(__SANITIZE_ADDRESS__)
constexpr int ZT_VIEW_CACHE = 0;
#else
constexpr int ZT_VIEW_CACHE = 32;
#endif

// Large freed blocks (of ZT_BIG_MIN bytes and more) kept for reuse, at most
// ZT_BIG_BLOCKS of them and ZT_BIG_KEEP bytes per thread (view.cpp).  None
// in AddressSanitizer builds, where a use after release must be caught.
constexpr size_t ZT_BIG_MIN = size_t{256} << 10;
constexpr int ZT_BIG_BLOCKS = 24;
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t ZT_BIG_KEEP = 0;
#else
constexpr size_t ZT_BIG_KEEP = size_t{80} << 20;
#endif

// Releases of a shared block are held back and counted per thread (view.cpp,
// zt_block_unref): a host that releases one event view after another, each
// cut from the parser's input block, would otherwise pay a locked decrement
// per event.  The count goes to the block in one decrement when the thread
// releases a view of another block, or when it ends.  Off in
// AddressSanitizer builds, where a held-back release could keep alive the
// bytes of a view used after its release.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ZT_DEFER_RELEASE = false;
#else
constexpr bool ZT_DEFER_RELEASE = true;
#endif

struct zt_scratch {
    char *text;
    size_t cap;
};

// A plain (trivial) record, so that it can be thread-local storage without
// a constructor; fields other threads read are accessed through
// std::atomic_ref.
struct zt_tls {
    long live[ZT_ACCOUNT_SLOTS];  // views made minus views released, per module
    const char *last_name;        // name pointer of the last module counted
    int32_t last_slot;
    int cached;
    ztview *cache[ZT_VIEW_CACHE > 0 ? ZT_VIEW_CACHE : 1];
    zt_scratch scratch[2];
    int nbig;
    size_t big_bytes;
    zt_block *big[ZT_BIG_BLOCKS];
    zt_block *defer_blk;  // the block whose releases are held back, or null
    uint32_t defer_n;     // how many
    zt_tls *prev, *next;  // the list of live thread states
};

// The calling thread's state.  The pointer uses the initial-exec model (one
// instruction to read); the record it points to is made by zt_tls_init.
extern __thread zt_tls *zt_tls_self __attribute__((tls_model("initial-exec")));

zt_tls *zt_tls_init() noexcept;

inline zt_tls *zt_tls_get() noexcept
{
    zt_tls *t = zt_tls_self;
    return __builtin_expect(t != nullptr, 1) ? t : zt_tls_init();
}

// Live-count updates: only the owning thread writes its counters, so a
// relaxed load and store (no locked instruction) is enough.
inline void zt_tls_count(zt_tls *t, int32_t slot, long delta) noexcept
{
    std::atomic_ref<long> c(t->live[slot]);
    c.store(c.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

// Sum of the live counts of `slot` over every thread, past and present.
long zt_tls_live_sum(int32_t slot) noexcept;
