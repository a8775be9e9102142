// Line-end scanning over the segments of a view, in place.
//
// The parser finds line ends by reading the input's segments directly
// (ztview_segment) instead of calling into the view library per byte or per
// line.  A SegCursor walks the segments forward only; every position it is
// asked about is an absolute offset from the view's front, and positions
// must not decrease between calls (call start() again to go back).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ztview.h"

namespace ztmime_scan {

constexpr size_t npos = SIZE_MAX;

// First CR or LF in [p, end), or end when there is none.
inline const unsigned char *find_cr_or_lf(const unsigned char *p, const unsigned char *end) noexcept
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 32) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
        __m128i ma = _mm_or_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(a, lf));
        __m128i mb = _mm_or_si128(_mm_cmpeq_epi8(b, cr), _mm_cmpeq_epi8(b, lf));
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(ma)) |
                     (static_cast<unsigned>(_mm_movemask_epi8(mb)) << 16);
        if (m)
            return p + __builtin_ctz(m);
        p += 32;
    }
    if (end - p >= 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        unsigned m = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(a, lf))));
        if (m)
            return p + __builtin_ctz(m);
        p += 16;
    }
#endif
    while (p < end && *p != '\r' && *p != '\n')
        ++p;
    return p;
}

// Forward-only reader over the segments of one view.  Valid until the view
// changes.
struct SegCursor {
    const ztview *view = nullptr;
    size_t nseg = 0;
    size_t si = 0;                     // index of the loaded segment
    const unsigned char *p = nullptr;  // its bytes
    size_t n = 0;                      // its length
    size_t base = 0;                   // offset of p[0] in the view

    void start(const ztview *v) noexcept
    {
        view = v;
        nseg = ztview_segment_count(v);
        si = 0;
        base = 0;
        p = nullptr;
        n = 0;
        if (nseg && ztview_segment(v, 0, &p, &n) != 0) {
            nseg = 0;
            n = 0;
        }
    }

    // Loads the segment that holds `pos`; false when pos is past the end.
    bool reach(size_t pos) noexcept
    {
        while (pos - base >= n) {
            if (si + 1 >= nseg)
                return false;
            base += n;
            ++si;
            if (ztview_segment(view, si, &p, &n) != 0) {
                nseg = si;
                n = 0;
                return false;
            }
        }
        return true;
    }

    // Byte at `pos`, or -1 past the end.
    int byte(size_t pos) noexcept { return reach(pos) ? p[pos - base] : -1; }

    // Offset of the first CR or LF at or after `pos`, or npos.
    size_t find_eol(size_t pos) noexcept
    {
        if (!reach(pos))
            return npos;
        for (;;) {
            const unsigned char *end = p + n;
            const unsigned char *q = find_cr_or_lf(p + (pos - base), end);
            if (q < end)
                return base + static_cast<size_t>(q - p);
            if (!reach(base + n))
                return npos;
            pos = base;
        }
    }
};

} // namespace ztmime_scan
