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

#include "common/alloc.h"
#include "common/handles.h"
#include "encode/charset.h"
#include "encode/i18n_internal.h"
#include "mime/scan.h"
#include "ztmime.h"

namespace {

bool is_break(unsigned char c) { return c == '\r' || c == '\n'; }

// Unfolds the field into out, which has room for len(src) bytes; returns
// the bytes written.
size_t unfold_flat(const ztview *src, unsigned char *out) noexcept
{
    size_t o = 0;
    bool in_break = false;  // inside a run of CR / LF
    size_t segs = ztview_segment_count(src);
    for (size_t s = 0; s < segs; ++s) {
        const unsigned char *p;
        size_t len;
        if (ztview_segment(src, s, &p, &len))
            break;
        size_t k = 0;
        while (k < len) {
            if (in_break) {
                if (is_break(p[k])) {
                    ++k;
                    continue;
                }
                // The byte after the line break is the folding blank: it
                // goes, one SP stands for both.
                out[o++] = ' ';
                in_break = false;
                ++k;
                continue;
            }
            size_t start = k;
            k = static_cast<size_t>(ztmime_scan::find_cr_or_lf(p + k, p + len) - p);
            std::memcpy(out + o, p + start, k - start);
            o += k - start;
            if (k < len) {
                in_break = true;
                ++k;
            }
        }
    }
    return o;
}

// True when the text holds a "=", a NUL or an 8-bit byte.
bool needs_work(const unsigned char *p, size_t n) noexcept
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i eq = _mm_set1_epi8('=');
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(a, eq), _mm_cmpeq_epi8(a, zero));
        if (_mm_movemask_epi8(_mm_or_si128(hit, a)))  // the top bit: an 8-bit byte
            return true;
    }
#endif
    unsigned char acc = 0;
    for (; i < n; ++i) {
        unsigned char c = p[i];
        acc |= static_cast<unsigned char>((c & 0x80) | (c == '=') | (c == 0));
    }
    return acc != 0;
}

// Appends ISO-8859-1 text as UTF-8, up to its first NUL.
int append_latin1(ztview *dst, const unsigned char *p, size_t n) noexcept
{
    if (!needs_work(p, n))
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
    if (ztview_commit(out, unfold_flat(src, w)))
        return nullptr;
    made.release();
    return out;
}

int ztmime_normalize_header(const ztview *src, ztview *dst) noexcept
{
    if (!dst)
        return -1;
    ztview_rewind(dst);
    size_t n = ztview_get_len(src);
    if (n == 0)
        return 0;
    auto *w = static_cast<unsigned char *>(ztview_reserve(dst, n));
    if (!w)
        return -1;
    size_t m = unfold_flat(src, w);
    if (!needs_work(w, m))
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
