// Structural check of a view, for the tests.
#include "view_internal.h"

const char *ztview_validate(const ztview *v) noexcept
{
    if (!v)
        return nullptr;
    if (v->segs == v->inl ? v->cap != ZT_INLINE_SEGS : v->cap < ZT_INLINE_SEGS)
        return "segment array and its capacity disagree";
    if (uint64_t{v->head} + v->count > v->cap)
        return "segments run past the array";
    if (v->count == 0 && v->head != 0)
        return "empty view with a non-zero head";
    size_t total = 0;
    for (uint32_t i = 0; i < v->count; ++i) {
        const zt_seg &s = v->segs[v->head + i];
        if (!s.blk || !s.p)
            return "segment without a block";
        if (s.n == 0)
            return "empty segment";
        if (s.blk->refs == 0)
            return "segment on a released block";
        if (s.p < s.blk->data || s.p + s.n > s.blk->data + s.blk->fill)
            return "segment outside the written part of its block";
        if (s.blk->fill > s.blk->cap)
            return "block filled past its capacity";
        uint32_t mine = 0;
        for (uint32_t j = 0; j < v->count; ++j)
            mine += v->segs[v->head + j].blk == s.blk;
        if (s.blk->refs < mine)
            return "block has fewer references than segments on it";
        total += s.n;
    }
    if (total != v->len)
        return "length differs from the sum of the segments";
    if (v->spare && (v->spare->refs != 1 || v->spare->fill != 0))
        return "spare block in use";
    return nullptr;
}
