// Inner layout of views, shared by the view library's source files.
//
// A block is one heap allocation: this header followed by its bytes (or, for
// a copy-0 view, a header pointing at the caller's bytes).  `fill` marks how
// far the block has been written; bytes below it never change again while
// more than one segment refers to the block.  A view is a deque of segments,
// each a window [p, p + n) inside one block, holding one reference to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ztview.h"

struct zt_block {
    uint32_t refs;      // segments (and reservations) that refer to the block
    uint32_t external;  // 1: the bytes belong to the caller; never written
    size_t cap;         // bytes of storage
    size_t fill;        // bytes written so far
    unsigned char *data;
};

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
// is that of the last one counted, and a release.
constexpr int ZT_ACCOUNT_SLOTS = 32;
extern long zt_account_live[ZT_ACCOUNT_SLOTS];
extern const char *zt_account_last;  // name pointer of the last slot found
extern int32_t zt_account_last_slot;

int32_t zt_account_find(const char *module) noexcept;

inline int32_t zt_account_add(const char *module) noexcept
{
    if (module && module == zt_account_last) {
        ++zt_account_live[zt_account_last_slot];
        return zt_account_last_slot;
    }
    return zt_account_find(module);
}

inline void zt_account_drop(int32_t slot) noexcept
{
    if (slot >= 0 && slot < ZT_ACCOUNT_SLOTS)
        --zt_account_live[slot];
}

// Segment deque and block helpers (view.cpp).
zt_seg &zt_front(ztview *v) noexcept;
void zt_block_unref(zt_block *b) noexcept;
void zt_pop_front(ztview *v, size_t n) noexcept;

// Checks every structural rule of a view; returns null when it holds, else
// a text naming the first broken rule.  Used by the tests after mutations.
const char *ztview_validate(const ztview *v) noexcept;
