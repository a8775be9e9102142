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

#include "front_segment.h"
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

// How the first line of the input ends.
enum line_end {
    END_NONE,   // incomplete: no CR or LF yet, or a CR as the last byte
    END_LF,     // LF
    END_CRLF,   // CR LF
    END_BARE_CR // CR followed by a byte other than LF
};

// The first line of the input as the parse driver sees it.
struct Line {
    size_t total;  // bytes in the input
    size_t len;    // bytes of the line with its terminator; total when incomplete
    size_t text;   // bytes before the first CR or LF; total when there is none
    size_t limit;  // the length compared with max_line
    int first;     // the input's first byte
    int after;     // for END_BARE_CR: the byte after the CR
    line_end end;
    const unsigned char *head;  // the input's first segment
    size_t head_n;
};

// First byte in [p, end) that ends a header field name: a ':' or a byte
// outside 33..126; end when there is none.
inline const unsigned char *find_name_stop(const unsigned char *p, const unsigned char *end) noexcept
{
#if defined(__SSE2__)
    // Signed compares after flipping the top bit order the bytes unsigned.
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i lo = _mm_set1_epi8(static_cast<char>(33 ^ 0x80));
    const __m128i hi = _mm_set1_epi8(static_cast<char>(126 ^ 0x80));
    const __m128i colon = _mm_set1_epi8(':');
    while (end - p >= 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i f = _mm_xor_si128(a, flip);
        __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(f, lo), _mm_cmpgt_epi8(f, hi)),
                                 _mm_cmpeq_epi8(a, colon));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(m));
        if (bits)
            return p + __builtin_ctz(bits);
        p += 16;
    }
#endif
    while (p < end && *p != ':' && *p >= 33 && *p <= 126)
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

    // Loads the first segment; returns the view's length.  One call into
    // the view library: a cursor is started once or twice per parser event.
    size_t start(const ztview *v) noexcept
    {
        view = v;
        si = 0;
        base = 0;
        // Through locals: the segment's address and length are read back
        // at once, and a round trip through memory would stall on them.
        const unsigned char *np;
        size_t nn, ns;
        const size_t len = _ztview_front_segment(v, &np, &nn, &ns);
        nseg = ns;
        p = np;
        n = nn;
        return len;
    }

    // Starts on a view whose first segment the caller knows.  The segment
    // count is not asked for: reach() stops where ztview_segment fails.
    void start_known(const ztview *v, const unsigned char *bytes, size_t len) noexcept
    {
        view = v;
        nseg = SIZE_MAX;
        si = 0;
        base = 0;
        p = bytes;
        n = len;
    }

    // Starts on segment `i`, which begins at offset `at` (known from an
    // earlier walk over the same view); from the front when it is gone.
    void resume(const ztview *v, size_t i, size_t at) noexcept
    {
        start(v);
        const unsigned char *np = nullptr;
        size_t nn = 0;
        if (i == 0 || i >= nseg || ztview_segment(v, i, &np, &nn) != 0)
            return;
        si = i;
        base = at;
        p = np;
        n = nn;
    }

    // Loads the segment that holds `pos`; false when pos is past the end.
    bool reach(size_t pos) noexcept
    {
        while (pos - base >= n) {
            const unsigned char *np = nullptr;
            size_t nn = 0;
            if (si + 1 >= nseg || ztview_segment(view, si + 1, &np, &nn) != 0) {
                nseg = si + 1;
                return false;
            }
            base += n;
            ++si;
            p = np;
            n = nn;
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
