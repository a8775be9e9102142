// Reads of a view's record that the parser and the reader make several
// times per message, inline rather than as calls into the view library:
// both libraries are built from one tree, so the record's layout is the
// same on either side.  Reads only: every change goes through the library.
//
// A libztmime that reads records this way needs a libztview with the same
// layout, which the soname alone does not promise (a change of the record
// is no change of the public interface).  The view library exports a
// marker named for the layout and libztmime refers to it (ctx.cpp), so
// that a mismatched pair fails when loaded, by name, instead of misreading
// memory.  Any change to ztview or zt_seg renames the marker.
#pragma once

#include "view_internal.h"

extern "C" {
ZTVIEW_EXPORT extern const unsigned char _ztview_record_layout_1;
}

// Number of segments (0 for null).
inline size_t zt_view_peek_count(const ztview *v) noexcept { return v ? v->count : 0; }

// Length in bytes (0 for null).
inline size_t zt_view_peek_len(const ztview *v) noexcept { return v ? v->len : 0; }

// True when ztview_rewind would change nothing: no segment and no open
// reservation.
inline bool zt_view_peek_blank(const ztview *v) noexcept { return !v->count && !v->head && !v->resv; }

// The first segment's bytes and length (null and 0 when there is none).
inline void zt_view_peek_front(const ztview *v, const unsigned char **p, size_t *n) noexcept
{
    if (!v || !v->count) {
        *p = nullptr, *n = 0;
        return;
    }
    const zt_seg &s = v->segs[v->head];
    *p = s.p, *n = s.n;
}

// Segment i of a view that has more than i segments: its bytes and length.
inline void zt_view_peek_segment(const ztview *v, size_t i, const unsigned char **p, size_t *n) noexcept
{
    const zt_seg &s = v->segs[v->head + i];
    *p = s.p, *n = s.n;
}
