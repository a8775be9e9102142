// Inner layout of views, shared by the view library's source files.
//
// A block is one heap allocation: this header followed by its bytes (or, for
// a copy-0 view, a header pointing at the caller's bytes).  `fill` marks how
// far the block has been written; bytes below it never change again while
// more than one segment refers to the block.  A view is a deque of segments,
// each a window [p, p + n) inside one block, holding one reference to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "thread_state.h"
#include "ztview.h"

// Views that share a block may live in different threads: `refs` is
// atomic, and `fill` is claimed with a compare-and-swap whenever the block
// is shared (zt_block_claim), so two views never write the same bytes.
struct zt_block {
    std::atomic<uint32_t> refs;  // segments (and reservations) that refer to the block
    uint16_t external;           // 1: the bytes belong to the caller; never written
    uint16_t mapped;             // 1: a mapping of its own (view.cpp, block_map)
    size_t cap;                  // bytes of storage
    std::atomic<size_t> fill;    // bytes written so far
    unsigned char *data;
};

// True when the caller's reference is the only one: no other view, in any
// thread, can then reach the block, and it may be changed in place.  When
// the other references are this thread's held-back releases, they are
// taken off first (a plain store: no one else can reach the count).
inline bool zt_block_mine(zt_block *b) noexcept
{
    uint32_t r = b->refs.load(std::memory_order_acquire);
    if (r == 1)
        return true;
    zt_tls *t = zt_tls_self;
    if (t && t->defer_blk == b && r == t->defer_n + 1) {
        b->refs.store(1, std::memory_order_relaxed);
        t->defer_blk = nullptr;
        t->defer_n = 0;
        return true;
    }
    return false;
}

// Adds a reference for the caller, who holds one.  Held alone, no other
// thread can reach the count, and a plain store does (the usual case: a
// line cut from a parser's input block); otherwise a locked add.
inline void zt_block_ref(zt_block *b) noexcept
{
    // A release this thread holds back becomes the new reference: the
    // count already includes it.
    zt_tls *t = zt_tls_self;
    if (t && t->defer_blk == b && t->defer_n > 0) {
        t->defer_n--;
        return;
    }
    if (b->refs.load(std::memory_order_relaxed) == 1)
        b->refs.store(2, std::memory_order_relaxed);
    else
        b->refs.fetch_add(1, std::memory_order_relaxed);
}

// Claims the n bytes at `from` (the block's current fill) for writing;
// false when another view sharing the block claimed them first.
inline bool zt_block_claim(zt_block *b, size_t from, size_t n) noexcept
{
    if (zt_block_mine(b)) {
        b->fill.store(from + n, std::memory_order_relaxed);
        return true;
    }
    return b->fill.compare_exchange_strong(from, from + n, std::memory_order_acq_rel);
}

// The layout of zt_seg and ztview is read inline by libztmime
// (view_peek.h): a change here renames _ztview_record_layout_N.
struct zt_seg {
    zt_block *blk;
    unsigned char *p;
    size_t n;  // never 0 inside a view
};

constexpr uint32_t ZT_INLINE_SEGS = 2;

struct ztview {
    zt_seg *segs;     // inl, or a heap array of cap entries
    uint32_t head;    // index of the first segment
    uint32_t count;   // number of segments
    uint32_t cap;     // entries in segs
    int32_t slot;     // accounting slot of the module that made the view
    size_t len;       // sum of the segments' lengths
    zt_block *spare;  // a fresh block kept for the open reservation, or null
    unsigned char *resv;  // start of the open reservation, or null
    size_t resv_n;        // its size
    zt_seg inl[ZT_INLINE_SEGS];
};

struct ztiterator {
    const ztview *view;
    uint32_t seg;  // index from the view's head
    size_t off;    // offset inside that segment
};

// Accounting (accounting.cpp).  Views are made and released once per
// parser event, so the common cases are inline: a module whose name pointer
// is that of the last one this thread counted, and a release.  Counts are
// per thread (thread_state.h) and summed by ztview_live_count.
int32_t zt_account_find(zt_tls *t, const char *module) noexcept;

inline int32_t zt_account_add(zt_tls *t, const char *module) noexcept
{
    int32_t slot = module && module == t->last_name ? t->last_slot : zt_account_find(t, module);
    zt_tls_count(t, slot, 1);
    return slot;
}

inline void zt_account_drop(zt_tls *t, int32_t slot) noexcept
{
    if (slot >= 0 && slot < ZT_ACCOUNT_SLOTS)
        zt_tls_count(t, slot, -1);
}

// Frees what a thread's state holds (cached records, scratch texts, cached
// blocks); called when the thread ends.
void zt_tls_release_caches(zt_tls *t) noexcept;

// Segment deque and block helpers (view.cpp).
zt_seg &zt_front(ztview *v) noexcept;
void zt_block_unref(zt_block *b) noexcept;

// zt_block_unref for the calling thread's state `t`, with the common case
// inline: one more release of the block this thread already holds releases
// back for, which other views still share.  A host releasing event after
// event cut from a parser's input takes this path for every event.
inline void zt_block_unref_in(zt_tls *t, zt_block *b) noexcept
{
    if (ZT_DEFER_RELEASE && t->defer_blk == b) {
        const uint32_t n = t->defer_n + 1;
        if (b->refs.load(std::memory_order_acquire) != n) {
            t->defer_n = n;
            return;
        }
    }
    zt_block_unref(b);
}

// Hands this thread's held-back releases (zt_block_unref) to their block.
void zt_tls_flush_releases(zt_tls *t) noexcept;
void zt_pop_front(ztview *v, size_t n) noexcept;

// Checks every structural rule of a view; returns null when it holds, else
// a text naming the first broken rule.  Used by the tests after mutations.
const char *ztview_validate(const ztview *v) noexcept;
