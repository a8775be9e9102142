// Header unfolding and normalisation to UTF-8.
//
// Both functions read the field segment by segment and unfold it into flat
// bytes (each run of CR and LF inside the field, with the byte after it,
// becomes one SP; the line break at the end disappears).  Normalisation
// then walks the unfolded text once: plain text is ISO-8859-1 and becomes
// UTF-8, encoded words are decoded, and blanks between two adjacent
// encoded words are dropped.  A field without "=", NUL or 8-bit bytes is
// already its own normalised form and is only unfolded.
#define ZT_MODULE "mime"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/alloc.h"
#include "common/handles.h"
#include "charset/charset.h"
#include "encode/i18n_internal.h"
#include "mime/normalize.h"
#include "ztmime.h"

namespace {

bool is_break(unsigned char c) { return c == '\r' || c == '\n'; }

#if defined(__SSE2__)
// Bit masks over 16 bytes: the CR and LF bytes, and the "=", NUL and 8-bit
// bytes.
struct Masks {
    unsigned brk, odd;
};

Masks masks16(__m128i a) noexcept
{
    const __m128i brk = _mm_or_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(a, _mm_set1_epi8('\n')));
    const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8('=')), _mm_cmpeq_epi8(a, _mm_setzero_si128()));
    return {static_cast<unsigned>(_mm_movemask_epi8(brk)),
            static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, a)))};  // top bit: 8-bit
}

// Every CR, LF, "=", NUL and 8-bit byte, and some other control bytes
// (signed compare: 8-bit bytes are below 0x0E).
__m128i coarse16(__m128i a) noexcept
{
    return _mm_or_si128(_mm_cmplt_epi8(a, _mm_set1_epi8(0x0E)), _mm_cmpeq_epi8(a, _mm_set1_epi8('=')));
}

__m128i load16(const unsigned char *p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// The first break of the masks (bit 0 is p), or p + 16 when there is none;
// *work is set when an odd byte comes before it.
const unsigned char *first_break(const unsigned char *p, Masks m, bool *work) noexcept
{
    int at = m.brk ? __builtin_ctz(m.brk) : 16;
    if (m.odd & ((1u << at) - 1))
        *work = true;
    return p + at;
}
#endif

// Copies [p, first CR or LF) to dst and returns where it stopped (end
// when there is no break); *work is set when a copied byte is a "=", a NUL
// or an 8-bit byte.  One pass finds the line break, copies, and tells
// whether the text needs more than unfolding.  Whole 16-byte blocks are
// stored as read, so dst must have room for everything from p to end (the
// output of unfolding never runs ahead of its input).  seg is where the
// segment holding [p, end) begins: the last bytes are read in one load that
// ends at end and overlaps what was read before.
const unsigned char *copy_to_break(const unsigned char *seg, const unsigned char *p, const unsigned char *end,
                                   unsigned char *dst, bool *work) noexcept
{
#if defined(__SSE2__)
    // Two blocks a step: one test and branch per 32 bytes, on a coarse
    // mask first (bytes below 0x0E, 8-bit bytes and "="), which most
    // blocks of header text leave empty.
    for (; end - p >= 32; p += 32, dst += 32) {
        __m128i a = load16(p), b = load16(p + 16);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), b);
        if (!_mm_movemask_epi8(_mm_or_si128(coarse16(a), coarse16(b))))
            continue;
        Masks ma = masks16(a), mb = masks16(b);
        unsigned brk = ma.brk | mb.brk << 16, odd = ma.odd | mb.odd << 16;
        if (brk) {
            int at = __builtin_ctz(brk);
            if (odd & ((1u << at) - 1))
                *work = true;
            return p + at;
        }
        if (odd)
            *work = true;
    }
    for (; end - p >= 16; p += 16, dst += 16) {
        __m128i a = load16(p);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), a);
        Masks m = masks16(a);
        if (m.brk)
            return first_break(p, m, work);
        if (m.odd)
            *work = true;
    }
    if (p < end && end - seg >= 16) {
        auto skip = static_cast<unsigned>(16 - (end - p));  // bytes of the load before p
        Masks m = masks16(load16(end - 16));
        m.brk >>= skip;
        m.odd >>= skip;
        const unsigned char *q = first_break(p, m, work);
        q = q < end ? q : end;
        std::memcpy(dst, p, static_cast<size_t>(q - p));
        return q;
    }
#else
    (void)seg;
#endif
    for (; p < end && !is_break(*p); ++p) {
        if (*p == '=' || *p == 0 || (*p & 0x80))
            *work = true;
        *dst++ = *p;
    }
    return p;
}

// Unfolds one segment's len bytes onto out + o and returns the new output
// length; in_break carries a run of CR / LF from one segment to the next.
size_t unfold_segment(const unsigned char *p, size_t len, unsigned char *out, size_t o, bool &in_break,
                      bool *work) noexcept
{
    size_t k = 0;
    while (k < len) {
        if (in_break) {
            while (k < len && is_break(p[k]))
                ++k;
            if (k == len)
                break;  // the run may go on in the next segment
            // The byte after the line break is the folding blank: it goes,
            // one SP stands for both.
            out[o++] = ' ';
            in_break = false;
            ++k;
            continue;
        }
        size_t start = k;
        k = static_cast<size_t>(copy_to_break(p, p + k, p + len, out + o, work) - p);
        o += k - start;
        if (k < len) {
            in_break = true;
            ++k;
        }
    }
    return o;
}

// Unfolds the field into out, which has room for len(src) bytes; returns
// the bytes written.  *work is set when the result holds a "=", a NUL or an
// 8-bit byte.  `flat` is the field's bytes when they are one segment.
size_t unfold_flat(const ztview *src, ztmime_params::Span flat, unsigned char *out, bool *work) noexcept
{
    bool in_break = false;
    if (flat.p)
        return unfold_segment(flat.p, flat.n, out, 0, in_break, work);
    size_t o = 0;
    size_t segs = ztview_segment_count(src);
    for (size_t s = 0; s < segs; ++s) {
        const unsigned char *p;
        size_t len;
        if (ztview_segment(src, s, &p, &len))
            break;
        o = unfold_segment(p, len, out, o, in_break, work);
    }
    return o;
}

// True when the text holds a NUL or an 8-bit byte.
bool nul_or_8bit(const unsigned char *p, size_t n) noexcept
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(a, zero), a)))  // the top bit: an 8-bit byte
            return true;
    }
    if (i < n && n >= 16) {
        // The last 16 bytes in one load, overlapping what was checked: a
        // byte-wise tail cost more than the vector loop on short fields.
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n - 16));
        return _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(a, zero), a)) != 0;
    }
#endif
    unsigned char acc = 0;
    for (; i < n; ++i) {
        unsigned char c = p[i];
        acc |= static_cast<unsigned char>((c & 0x80) | (c == 0));
    }
    return acc != 0;
}

// True when the walk below could give other bytes than the text holds
// (its NUL and 8-bit bytes aside): a "=?" may start an encoded word, or
// blanks after a last "=" would be dropped.
bool word_or_dropped_blanks(const unsigned char *p, size_t n) noexcept
{
    size_t k = n;
    while (k && (p[k - 1] == ' ' || p[k - 1] == '\t'))
        --k;
    if (k && k < n && p[k - 1] == '=')
        return true;
    const unsigned char *end = p + n;
    for (const void *eq; p < end && (eq = std::memchr(p, '=', static_cast<size_t>(end - p)));) {
        p = static_cast<const unsigned char *>(eq) + 1;
        if (p < end && *p == '?')
            return true;
    }
    return false;
}

// Appends ISO-8859-1 text as UTF-8, up to its first NUL.
int append_latin1(ztview *dst, const unsigned char *p, size_t n) noexcept
{
    if (!nul_or_8bit(p, n))
        return ztview_append(dst, p, n);
    auto *w = static_cast<unsigned char *>(ztview_reserve(dst, 2 * n));
    if (!w)
        return -1;
    return ztview_commit(dst, zt_charset::latin1_to_utf8(p, n, w));
}

struct Walk {
    ztview *dst;
    const unsigned char *blanks;  // blanks after the last word or lone "="
    size_t blank_len;
    bool prev_word;               // the last piece written was a decoded word

    int write_blanks() noexcept
    {
        size_t n = blank_len;
        blank_len = 0;
        return n ? ztview_append(dst, blanks, n) : 0;
    }
};

// A decoded word: the blanks before it go when a decoded word precedes them.
int emit_word(void *ctx, const unsigned char *bytes, size_t n)
{
    auto *w = static_cast<Walk *>(ctx);
    if (w->prev_word)
        w->blank_len = 0;
    else if (w->write_blanks())
        return -1;
    return n ? ztview_append(w->dst, bytes, n) : 0;
}

int normalize_flat(const unsigned char *u, size_t m, ztview *dst) noexcept
{
    Walk w{dst, nullptr, 0, false};
    size_t i = 0;
    while (i < m) {
        const void *eq = std::memchr(u + i, '=', m - i);
        size_t j = eq ? static_cast<size_t>(static_cast<const unsigned char *>(eq) - u) : m;
        if (j > i) {
            if (w.write_blanks())
                return -1;
            w.prev_word = false;
            if (append_latin1(dst, u + i, j - i))
                return -1;
            i = j;
        }
        uint32_t used = 0;
        int r = i < m ? zt_i18n::decode_word(u + i, m - i, true, &used, emit_word, &w)
                      : static_cast<int>(zt_i18n::kNotWord);
        if (r == zt_i18n::kFailed)
            return -1;
        if (r == zt_i18n::kDecoded) {
            i += used;
            w.prev_word = true;
        } else {
            // A "=" that starts no decodable word is text.
            if (w.write_blanks())
                return -1;
            if (i < m) {
                if (ztview_append(dst, "=", 1))
                    return -1;
                ++i;
            }
            w.prev_word = false;
        }
        size_t k = i;
        while (k < m && (u[k] == ' ' || u[k] == '\t'))
            ++k;
        w.blanks = u + i;
        w.blank_len = k - i;
        i = k;
    }
    return 0;
}

} // namespace

ztview *ztmime_unfold_header(const ztview *src, ztview *dst) noexcept
{
    if (!src)
        return nullptr;
    ViewHandle made(dst ? nullptr : _ztview_init(ZT_MODULE, __LINE__), ZT_MODULE);
    if (!dst && !made)
        return nullptr;
    ztview *out = dst ? dst : made.get();
    auto *w = static_cast<unsigned char *>(ztview_reserve(out, ztview_get_len(src)));
    if (!w)
        return nullptr;
    bool work = false;
    if (ztview_commit(out, unfold_flat(src, {nullptr, 0}, w, &work)))
        return nullptr;
    made.release();
    return out;
}

int ztmime_normalize_header(const ztview *src, ztview *dst) noexcept
{
    return ztmime_normalize_known(src, ztview_get_len(src), {nullptr, 0}, dst);
}

int ztmime_normalize_known(const ztview *src, size_t n, ztmime_params::Span flat, ztview *dst) noexcept
{
    if (!dst)
        return -1;
    ztview_rewind(dst);
    if (n == 0)
        return 0;
    auto *w = static_cast<unsigned char *>(ztview_reserve(dst, n));
    if (!w)
        return -1;
    bool work = false;
    size_t m = unfold_flat(src, flat, w, &work);
    // A "=" that starts no encoded word stays as it is: without NUL and
    // 8-bit bytes such text is its own normalised form.
    if (!work || (!word_or_dropped_blanks(w, m) && !nul_or_8bit(w, m)))
        return ztview_commit(dst, m);
    // Take the unfolded text out of the (uncommitted) reservation and build
    // the result from it.
    unsigned char local[1024];
    Buffer<unsigned char> heap(m > sizeof local ? static_cast<unsigned char *>(zt_malloc(m)) : nullptr);
    unsigned char *u = m > sizeof local ? heap.get() : local;
    if (!u)
        return -1;
    std::memcpy(u, w, m);
    if (normalize_flat(u, m, dst)) {
        ztview_rewind(dst);
        return -1;
    }
    return 0;
}
