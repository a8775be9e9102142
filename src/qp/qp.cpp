// Streaming quoted-printable codec over views.
//
// Each update makes one pass over the pending bytes, reading them in place
// segment by segment, writes straight into spare room reserved at the end of
// the output view (sized for the call's worst case), commits what it wrote
// and drops the bytes it read with one seek.  Runs of plain bytes are copied
// in bulk; escapes, line ends and the byte after them (lookahead) may lie in
// the next segment and are then read through the view.
#define ZT_MODULE "qp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define ZT_QP_HAVE_AVX2 1
#include <immintrin.h>
#else
#define ZT_QP_HAVE_AVX2 0
#endif

#include "common/alloc.h"
#include "common/codec.h"
#include "common/module.h"
#include "qp/qp_internal.h"
#include "ztmime.h"


namespace {

// Output lines are broken before they reach this column.
constexpr int64_t kMaxColumn = 74;

const char kHex[] = "0123456789ABCDEF";

bool g_simd_enabled = true;
bool g_wide_enabled = true;

struct Tables {
    int8_t hex[256];      // value of a hexadecimal digit, -1 otherwise
    uint8_t text_lit[256];  // text mode: written as itself (visible, not "=")
    uint8_t bin_lit[256];   // binary mode: written as itself
};

constexpr Tables make_tables()
{
    Tables t{};
    for (int c = 0; c < 256; ++c) {
        t.hex[c] = -1;
        t.text_lit[c] = c >= 0x21 && c <= 0x7e && c != '=';
        t.bin_lit[c] = c >= 0x21 && c <= 0x7e && c != '=' && c != '.';
    }
    for (int c = '0'; c <= '9'; ++c)
        t.hex[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) {
        t.hex[c] = static_cast<int8_t>(c - 'a' + 10);
        t.hex[c - 'a' + 'A'] = static_cast<int8_t>(c - 'a' + 10);
    }
    return t;
}
constexpr Tables kTab = make_tables();

inline bool is_eol(int c) { return c == '\r' || c == '\n'; }

inline int32_t clamp_column(int64_t v) { return v > INT32_MAX ? INT32_MAX : int32_t(v); }

// Walks the segments of the pending view forwards.  Bytes beyond the current
// segment (lookahead, escapes split across segments) are read through the
// view, which is rare enough not to matter.
class Cursor {
  public:
    explicit Cursor(const ztview *v) noexcept : v_(v), nseg_(ztview_segment_count(v)) { load(0); }

    const unsigned char *p = nullptr;  // next byte
    const unsigned char *e = nullptr;  // end of the current segment

    size_t pos() const noexcept { return base_ + size_t(p - seg_); }

    // Byte at absolute offset q >= pos(); q must lie within the view.
    unsigned char at(size_t q) const noexcept
    {
        size_t off = q - base_;
        if (off < size_t(e - seg_))
            return seg_[off];
        unsigned char c = 0;
        ztview_getnchar(v_, q, &c);
        return c;
    }

    // Moves to absolute offset q >= pos().
    void seek(size_t q) noexcept
    {
        while (q - base_ >= size_t(e - seg_) && si_ < nseg_) {
            base_ += size_t(e - seg_);
            load(si_ + 1);
        }
        p = seg_ + (q - base_);
        if (p > e)
            p = e;
    }

    // At the end of the current segment: moves to the next non-empty one;
    // false at the end of the view.
    bool next() noexcept
    {
        while (p == e) {
            if (si_ + 1 >= nseg_)
                return false;
            base_ += size_t(e - seg_);
            load(si_ + 1);
        }
        return true;
    }

  private:
    void load(size_t i) noexcept
    {
        si_ = i;
        size_t len = 0;
        const unsigned char *b = nullptr;
        if (i >= nseg_ || ztview_segment(v_, i, &b, &len) != 0) {
            b = nullptr;
            len = 0;
        }
        seg_ = p = b;
        e = b + len;
    }

    const ztview *v_;
    size_t nseg_;
    size_t si_ = 0;
    size_t base_ = 0;
    const unsigned char *seg_ = nullptr;
};

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// Copies bytes from [p, e) to o up to the first "=", keeping the input column
// (bytes since the last CR or LF).  Returns the bytes copied.
inline size_t copy_plain(const unsigned char *p, const unsigned char *e, unsigned char *o,
                         int64_t &col)
{
    size_t n = 0, avail = size_t(e - p);
#if defined(__SSE2__)
    if (g_simd_enabled) {
        const __m128i eq = _mm_set1_epi8('=');
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        while (avail - n >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + n), v);
            unsigned meq = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, eq)));
            unsigned mnl = unsigned(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
            unsigned k = 16;
            if (meq) {
                k = unsigned(__builtin_ctz(meq));
                mnl &= (1u << k) - 1;
            }
            if (mnl)
                col = k - 1 - unsigned(31 - __builtin_clz(mnl));
            else
                col += k;
            n += k;
            if (meq)
                return n;
        }
    }
#endif
    for (; n < avail; ++n) {
        unsigned char c = p[n];
        if (c == '=')
            break;
        o[n] = c;
        col = is_eol(c) ? 0 : col + 1;
    }
    return n;
}

// What one update produced: its result, the output written into the room
// reserved at the end of `out` (not yet committed) and the input bytes read.
struct Work {
    int result = 0;
    size_t olen = 0;
    size_t used = 0;
};

// Result of a work function that could not reserve its output room.
constexpr int kNoRoom = -3;

#if ZT_QP_HAVE_AVX2
bool cpu_has_avx2() noexcept
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Bits a to b - 1 of a 64-bit mask (a < 64, b <= 64).
inline uint64_t bits(unsigned a, unsigned b)
{
    return (b >= 64 ? ~uint64_t(0) : (uint64_t(1) << b) - 1) & (~uint64_t(0) << a);
}

// Input column after the plain bytes a to b - 1 of a block whose line ends
// are marked in `nl`: bytes since the last line end, or col grown by the run.
inline int64_t column_after(int64_t col, uint64_t nl, unsigned a, unsigned b)
{
    uint64_t m = nl & bits(a, b);
    return m ? int64_t(b) - 1 - (63 - __builtin_clzll(m)) : col + int64_t(b - a);
}

#define ZT_AVX_ATTR __attribute__((target("avx2"), always_inline)) inline
ZT_AVX_ATTR __m256i load(const unsigned char *q)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q));
}
ZT_AVX_ATTR void store(unsigned char *q, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(q), v);
}
// One bit per byte of two 32-byte comparisons.
ZT_AVX_ATTR uint64_t mask(__m256i a, __m256i b)
{
    return uint64_t(uint32_t(_mm256_movemask_epi8(a))) | uint64_t(uint32_t(_mm256_movemask_epi8(b))) << 32;
}

// Decodes plain runs, hexadecimal escapes and soft line breaks from [p, e)
// in blocks of 64 bytes while at least 100 bytes remain (so that every read
// below stays inside the segment), keeping the input column.  The escapes of
// a block are found in one mask and each plain run is moved with one
// unaligned 32-byte copy; stores may reach 32 bytes past what is kept (the
// room has that slack, later stores overwrite it).  Stops at a malformed
// escape, leaving it to the general loop.
__attribute__((target("avx2"))) void decode_fast_avx2(const unsigned char *&pp,
                                                      const unsigned char *e,
                                                      unsigned char *&oo, int64_t &colp)
{
    const unsigned char *p = pp;
    unsigned char *o = oo;
    int64_t col = colp;
    const __m256i eq = _mm256_set1_epi8('='), cr = _mm256_set1_epi8('\r'),
                  lf = _mm256_set1_epi8('\n');
    while (e - p >= 100) {
        const __m256i v0 = load(p), v1 = load(p + 32);
        uint64_t meq = mask(_mm256_cmpeq_epi8(v0, eq), _mm256_cmpeq_epi8(v1, eq));
        const uint64_t mnl = mask(_mm256_or_si256(_mm256_cmpeq_epi8(v0, cr), _mm256_cmpeq_epi8(v0, lf)),
                                  _mm256_or_si256(_mm256_cmpeq_epi8(v1, cr), _mm256_cmpeq_epi8(v1, lf)));
        // Line ends one and two bytes after each position (bytes 64 and 65
        // looked up apart), so that soft line breaks are known from masks
        // and the walk from escape to escape does not wait for loads.
        const uint64_t tail = uint64_t(is_eol(p[64])) | uint64_t(is_eol(p[65])) << 1;
        const uint64_t nl1 = mnl >> 1 | tail << 63, nl2 = mnl >> 2 | tail << 62;
        unsigned cur = 0;
        while (meq) {
            const unsigned j = unsigned(__builtin_ctzll(meq));
            const int hi = kTab.hex[p[j + 1]], lo = kTab.hex[p[j + 2]];
            const bool soft = (nl1 >> j) & 1;
            if (!soft && (hi | lo) < 0) {
                // Deliver the run before it; the general loop takes the escape.
                store(o, load(p + cur));
                if (j - cur > 32)
                    store(o + 32, load(p + cur + 32));
                col = column_after(col, mnl, cur, j);
                oo = o + (j - cur);
                pp = p + j;
                colp = col;
                return;
            }
            store(o, load(p + cur));
            if (j - cur > 32)
                store(o + 32, load(p + cur + 32));
            col = column_after(col, mnl, cur, j);
            o += j - cur;
            *o = static_cast<unsigned char>(hi << 4 | lo);
            o += size_t(!soft);
            col = soft ? 0 : col + 1;
            cur = j + 3 - unsigned(soft & !((nl2 >> j) & 1));
            meq = cur >= 64 ? 0 : meq & (~uint64_t(0) << cur);
        }
        if (cur < 64) {
            store(o, load(p + cur));
            if (cur < 32)
                store(o + 32 - cur, v1);
            col = column_after(col, mnl, cur, 64);
            o += 64 - cur;
            cur = 64;
        }
        p += cur;
    }
    pp = p;
    oo = o;
    colp = col;
}

bool cpu_has_avx512_compress() noexcept
{
    if (!g_wide_enabled)
        return false;
    static const bool has = __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
                             __builtin_cpu_supports("bmi2");
    return has;
}

#define ZT_AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt,lzcnt")))

// Values of the hexadecimal digits among 64 bytes (0 elsewhere) and the
// mask of the bytes that are digits.
ZT_AVX512_TARGET inline __m512i hex_values(__m512i v, __mmask64 &valid)
{
    const __m512i d = _mm512_sub_epi8(v, _mm512_set1_epi8('0'));
    const __m512i l = _mm512_sub_epi8(_mm512_or_si512(v, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
    const __mmask64 dig = _mm512_cmplt_epu8_mask(d, _mm512_set1_epi8(10));
    const __mmask64 let = _mm512_cmplt_epu8_mask(l, _mm512_set1_epi8(6));
    valid = dig | let;
    return _mm512_mask_add_epi8(_mm512_maskz_mov_epi8(dig, d), let, l, _mm512_set1_epi8(10));
}

ZT_AVX512_TARGET inline __mmask64 eol_mask(__m512i v)
{
    return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r')) | _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
}

// Decodes [p, e) in blocks of 64 bytes while at least 66 remain, without a
// branch per escape: every "=" of a block starts an escape or a soft line
// break (the bytes after a well-formed one are digits or line ends, never
// "="), so the decoded bytes are computed for all positions at once from
// the block read one and two bytes further on, put in place of the "=",
// and the bytes to keep are packed together with one compress.  An escape
// that ends in the next block makes its first bytes dropped there.  Stores
// may reach 64 bytes past what is kept; the output room never ends before
// the input does, and each unit gives at most one byte.  Stops before a
// block holding a malformed escape, leaving it to the general loop.
ZT_AVX512_TARGET void decode_fast_avx512(const unsigned char *&pp, const unsigned char *e,
                                         unsigned char *&oo, int64_t &colp)
{
    const unsigned char *p = pp;
    unsigned char *o = oo;
    int64_t col = colp;
    uint64_t carry = 0;  // leading bytes of this block that belong to an escape before it
    while (e - p >= 66) {
        const __m512i v0 = _mm512_loadu_si512(p), v1 = _mm512_loadu_si512(p + 1),
                      v2 = _mm512_loadu_si512(p + 2);
        const uint64_t eq = _mm512_cmpeq_epi8_mask(v0, _mm512_set1_epi8('='));
        const uint64_t nl0 = eol_mask(v0), nl1 = eol_mask(v1), nl2 = eol_mask(v2);
        __mmask64 ok1, ok2;
        const __m512i hi = hex_values(v1, ok1), lo = hex_values(v2, ok2);
        const uint64_t soft = eq & nl1, esc = eq & ~nl1;
        if (esc & ~(uint64_t(ok1) & uint64_t(ok2)))
            break;
        const uint64_t tail = soft & nl2;
        const uint64_t drop = carry | esc << 1 | esc << 2 | soft | soft << 1 | tail << 2;
        carry = (esc | soft) >> 63 | (esc | tail) >> 62;
        const uint64_t keep = ~drop;
        const __m512i dec = _mm512_or_si512(_mm512_slli_epi16(hi, 4), lo);
        const __m512i bytes = _mm512_mask_mov_epi8(v0, esc, dec);
        _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, bytes));
        o += _mm_popcnt_u64(keep);
        // The column restarts after the last line end kept or soft break.
        const uint64_t restart = soft | (nl0 & keep);
        if (restart) {
            const unsigned last = 63 - unsigned(_lzcnt_u64(restart));
            col = int64_t(_mm_popcnt_u64(keep >> last >> 1));
        } else {
            col += int64_t(_mm_popcnt_u64(keep));
        }
        p += 64;
    }
    pp = p + _mm_popcnt_u64(carry);
    oo = o;
    colp = col;
}
#endif

// Output room a decoding update over L pending bytes reserves: every unit
// gives at most one byte; the slack lets the copy store whole vectors.
size_t decode_room(size_t L) { return L + 32; }

// Output room an encoding update over L pending bytes reserves: each byte
// gives at most three characters; a soft line break needs more than 23
// bytes since the previous one, and one may come first.
size_t encode_room(size_t L) { return 3 * L + 3 * (L / 16 + 2); }

Work decode_update(ztmime_qp *s, ztview *out, const ztview *src)
{
    Work w;
    const size_t L = ztview_get_len(src);
    if (L == 0)
        return w;
    auto *dst = static_cast<unsigned char *>(ztview_reserve(out, decode_room(L)));
    if (!dst) {
        w.result = kNoRoom;
        return w;
    }
    const bool dots = s->flags & ZTMIME_QP_DOTS;
    const bool strict = s->flags & ZTMIME_QP_STRICT;
    int64_t col = s->in_column;
    unsigned char *o = dst;
    size_t consumed = L;
    bool failed = false;
    Cursor cur(src);
    while (cur.next()) {
        const unsigned char *p = cur.p, *e = cur.e;
        for (;;) {
            if (!dots) {
#if ZT_QP_HAVE_AVX2
                if (g_simd_enabled && e - p >= 66 && cpu_has_avx512_compress())
                    decode_fast_avx512(p, e, o, col);
                if (g_simd_enabled && e - p >= 100 && cpu_has_avx2())
                    decode_fast_avx2(p, e, o, col);
#endif
                size_t n = copy_plain(p, e, o, col);
                p += n;
                o += n;
            } else {
                while (p < e && *p != '=') {
                    unsigned char c = *p++;
                    ++col;
                    if (is_eol(c))
                        col = 0;
                    else if (c == '.' && col == 1)
                        continue;
                    *o++ = c;
                }
            }
            if (e - p < 3)
                break;
            // An escape or soft line break inside the segment.
            const unsigned char c1 = p[1], c2 = p[2];
            ++col;
            if (is_eol(c1)) {
                col = 0;
                p += is_eol(c2) ? 3 : 2;
                continue;
            }
            int hi = kTab.hex[c1], lo = kTab.hex[c2];
            if ((hi | lo) < 0) {
                if (strict) {
                    cur.p = p;
                    consumed = cur.pos() + 3;
                    failed = true;
                    break;
                }
                if (hi < 0)
                    hi = 0;
                if (lo < 0)
                    hi = 2, lo = 0;
            }
            *o++ = static_cast<unsigned char>(hi << 4 | lo);
            p += 3;
        }
        if (failed)
            break;
        cur.p = p;
        if (cur.p == cur.e)
            continue;
        // An escape that reaches into the next segments, or the end.
        // An escape or a soft line break; its bytes may lie in later segments.
        const size_t q = cur.pos();
        ++col;
        if (L - q - 1 < 2) {
            consumed = q;
            break;
        }
        const unsigned char c1 = cur.at(q + 1), c2 = cur.at(q + 2);
        size_t next = q + 3;
        if (is_eol(c1)) {
            col = 0;
            if (!is_eol(c2))
                next = q + 2;
        } else {
            int hi = kTab.hex[c1], lo = kTab.hex[c2];
            if (strict && (hi < 0 || lo < 0)) {
                consumed = q + 3;
                failed = true;
                break;
            }
            *o++ = lo < 0 ? 0x20 : static_cast<unsigned char>((hi < 0 ? 0 : hi) << 4 | lo);
        }
        cur.seek(next);
    }
    s->in_column = clamp_column(col);
    w.olen = failed ? 0 : size_t(o - dst);
    w.used = consumed;
    w.result = failed ? -1 : 0;
    return w;
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

inline unsigned char *put_escape(unsigned char *o, unsigned char c)
{
    o[0] = '=';
    o[1] = static_cast<unsigned char>(kHex[c >> 4]);
    o[2] = static_cast<unsigned char>(kHex[c & 15]);
    return o + 3;
}

inline unsigned char *put_soft_break(unsigned char *o)
{
    o[0] = '=';
    o[1] = '\r';
    o[2] = '\n';
    return o + 3;
}

#if ZT_QP_HAVE_AVX2
// Text mode, 16 input bytes at a time while at least 17 remain: each byte
// gets three output slots (itself or "=" and two hexadecimal digits), a
// mask keeps one slot for bytes written as they are and three for escaped
// ones, and one compress packs them.  The output column before each byte
// comes from a prefix sum of the slot counts, so the first byte due for a
// soft line break is found in the block.  The soft line break, a space
// before a line end and (without dot handling) CR LF and LF are written
// here; the rest stops the run for the caller's per-byte rules.  Returns
// the input bytes taken; out, column and in_col move on.
ZT_AVX512_TARGET size_t encode_text_avx512(const unsigned char *p, size_t avail, bool dots, unsigned char *&out,
                                           int64_t &column, int64_t &in_col)
{
    const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C',
                                         'D', 'E', 'F');
    // Slot 3i takes byte i (or "="), 3i + 1 and 3i + 2 its digits.
    alignas(64) static const unsigned char kSlots[64] = {
        0, 16, 32, 1, 17, 33, 2, 18, 34, 3, 19, 35, 4, 20, 36, 5, 21, 37, 6, 22, 38, 7, 23, 39,
        8, 24, 40, 9, 25, 41, 10, 26, 42, 11, 27, 43, 12, 28, 44, 13, 29, 45, 14, 30, 46, 15, 31, 47};
    const __m512i slots = _mm512_load_si512(kSlots);
    constexpr uint64_t kFirst = 0x249249249249;  // slot 3i of every byte
    unsigned char *o = out;
    int64_t oc = column;
    size_t k = 0;
    size_t line = 0;         // where the last line taken here starts
    bool restarted = false;  // a line end was taken
    while (oc < kMaxColumn - 1 && k + 17 <= avail) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
        const __m128i nx = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k + 1));
        const unsigned eol = _mm_cmpeq_epi8_mask(v, _mm_set1_epi8('\r')) | _mm_cmpeq_epi8_mask(v, _mm_set1_epi8('\n'));
        const unsigned eol_next =
            _mm_cmpeq_epi8_mask(nx, _mm_set1_epi8('\r')) | _mm_cmpeq_epi8_mask(nx, _mm_set1_epi8('\n'));
        const unsigned sp = _mm_cmpeq_epi8_mask(v, _mm_set1_epi8(' '));
        // Visible ASCII other than "=" is written as itself.
        const unsigned lit = _mm_cmplt_epu8_mask(_mm_sub_epi8(v, _mm_set1_epi8(0x21)), _mm_set1_epi8(0x5e)) &
                             ~unsigned(_mm_cmpeq_epi8_mask(v, _mm_set1_epi8('=')));
        const unsigned stop = eol | (sp & eol_next);
        const unsigned esc = 0xffffu & ~(lit | sp | stop);
        const __m128i first = _mm_mask_mov_epi8(v, esc, _mm_set1_epi8('='));
        const __m128i hi = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(15)));
        const __m128i lo = _mm_shuffle_epi8(digits, _mm_and_si128(v, _mm_set1_epi8(15)));
        __m512i src = _mm512_zextsi128_si512(first);
        src = _mm512_inserti32x4(src, hi, 1);
        src = _mm512_inserti32x4(src, lo, 2);
        const uint64_t t = _pdep_u64(esc, kFirst);
        uint64_t keep = kFirst | t << 1 | t << 2;
        unsigned n = 16;
        // The whole block fits when it holds no line end and its output
        // leaves the line short of the limit; otherwise the output column
        // before each byte (from a prefix sum of the slot counts) finds the
        // first byte due for a soft line break.
        if (stop || oc + int64_t(16 + 2 * _mm_popcnt_u32(esc)) > kMaxColumn - 1) {
            const __m128i len = _mm_mask_blend_epi8(esc, _mm_set1_epi8(1), _mm_set1_epi8(3));
            __m128i pos = _mm_add_epi8(len, _mm_slli_si128(len, 1));
            pos = _mm_add_epi8(pos, _mm_slli_si128(pos, 2));
            pos = _mm_add_epi8(pos, _mm_slli_si128(pos, 4));
            pos = _mm_add_epi8(pos, _mm_slli_si128(pos, 8));
            pos = _mm_sub_epi8(pos, len);
            // A visible byte reaching the limit, or an escape past it.
            const unsigned due =
                (lit & _mm_cmpge_epu8_mask(pos, _mm_set1_epi8(char(kMaxColumn - 1 - oc)))) |
                (esc & _mm_cmpge_epu8_mask(pos, _mm_set1_epi8(char(kMaxColumn + 1 - oc))));
            n = unsigned(__builtin_ctz(stop | due | 0x10000u));
            keep &= (uint64_t(1) << (3 * n)) - 1;
        }
        const __m512i packed = _mm512_maskz_compress_epi8(keep, _mm512_maskz_permutexvar_epi8(~__mmask64(0), slots, src));
        const unsigned olen = unsigned(_mm_popcnt_u64(keep));
        _mm512_mask_storeu_epi8(o, (uint64_t(1) << olen) - 1, packed);
        o += olen;
        oc += olen;
        k += n;
        if (n == 16)
            continue;
        // The byte that stopped the block: a soft line break due before
        // it (the byte itself is read again on the new line), a space
        // before a line end, or a line end.  A dot to double, a line end
        // with dot handling and a lone CR are left to the caller.
        const unsigned char c = p[k];
        if (c != ' ' && !is_eol(c)) {
            if (dots && c == '.')
                break;
            o = put_soft_break(o);
            oc = 0;
        } else if (c == ' ') {
            o = put_escape(o, c);
            oc += 3;
            ++k;
        } else if (!dots && (c == '\n' || p[k + 1] == '\n')) {
            if (c == '\r')
                *o++ = '\r', ++k;
            *o++ = '\n';
            ++k;
            oc = 0;
            line = k;
            restarted = true;
        } else {
            break;
        }
    }
    out = o;
    column = oc;
    in_col = restarted ? int64_t(k - line) : in_col + int64_t(k);
    return k;
}
#endif

// Text mode: a line ends at CR LF or LF, which are copied; the encoder
// escapes what is not visible ASCII, breaks long lines and protects a
// space before a line end.
unsigned char *encode_text(ztmime_qp *s, Cursor &cur, size_t L, unsigned char *o)
{
    const bool dots = s->flags & ZTMIME_QP_DOTS;
    int64_t in_col = s->in_column, out_col = s->out_column;
    while (cur.next()) {
        // Bulk: visible bytes, spaces not followed by a line end and bytes
        // that are always escaped, as long as the line stays short of the
        // limit (so that neither a carry nor a soft break can be due).  A dot
        // that starts a line with dot handling, line ends and spaces before
        // them go the per-byte way, except in the compress path, which takes
        // soft breaks, spaces before line ends and (without dot handling)
        // line ends itself.
        if (out_col < kMaxColumn - 1 && !(dots && in_col == 0 && *cur.p == '.')) {
            const unsigned char *p = cur.p;
            const size_t avail = size_t(cur.e - p);
            size_t k = 0;          // input bytes taken
            int64_t oc = out_col;  // output column
            bool wide = false;
#if ZT_QP_HAVE_AVX2
            if (g_simd_enabled && cpu_has_avx512_compress()) {
                // It keeps the input column itself; the k added below is
                // taken off first.
                k = encode_text_avx512(p, avail, dots, o, oc, in_col);
                in_col -= int64_t(k);
                wide = true;
            }
#endif
#if defined(__SSE2__)
            if (g_simd_enabled && !wide) {
                // 16 bytes at a time: the run of bytes written as they are
                // (visible ASCII other than "=", spaces whose next byte is
                // no line end), then the byte that stopped it if it is one
                // to escape.
                const __m128i sp = _mm_set1_epi8(' '), eq = _mm_set1_epi8('=');
                const __m128i del = _mm_set1_epi8(0x7f), cr = _mm_set1_epi8('\r');
                const __m128i lf = _mm_set1_epi8('\n');
                while (oc < kMaxColumn - 1 && k + 17 <= avail) {
                    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
                    __m128i nx = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k + 1));
                    __m128i vis = _mm_andnot_si128(
                        _mm_or_si128(_mm_cmpeq_epi8(v, eq), _mm_cmpeq_epi8(v, del)),
                        _mm_cmpgt_epi8(v, sp));
                    __m128i eol = _mm_or_si128(_mm_cmpeq_epi8(nx, cr), _mm_cmpeq_epi8(nx, lf));
                    __m128i ok = _mm_or_si128(vis, _mm_andnot_si128(eol, _mm_cmpeq_epi8(v, sp)));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(o), v);
                    const unsigned m = unsigned(_mm_movemask_epi8(ok));
                    const size_t run = m == 0xffff ? 16 : size_t(__builtin_ctz(~m));
                    const size_t lim = size_t(kMaxColumn - 1 - oc);
                    const size_t take = run < lim ? run : lim;
                    o += take;
                    k += take;
                    oc += int64_t(take);
                    if (take == run && run < 16) {
                        const unsigned char c = p[k];
                        if (c == ' ' || is_eol(c))
                            break;
                        o = put_escape(o, c);
                        oc += 3;
                        ++k;
                    }
                }
            }
#endif
            while (oc < kMaxColumn - 1 && k < avail) {
                unsigned char c = p[k];
                if (!kTab.text_lit[c] && !(c == ' ' && k + 1 < avail && !is_eol(p[k + 1])))
                    break;
                *o++ = c;
                ++k;
                ++oc;
            }
            if (k > 0) {
                cur.p += k;
                in_col += int64_t(k);
                out_col = oc;
                // The byte that stopped the run goes the per-byte way.
                if (cur.p == cur.e)
                    continue;
            }
        }
        const size_t q = cur.pos();
        const unsigned char c = *cur.p++;
        ++in_col;
        if (kTab.text_lit[c]) {
            const bool twice = dots && c == '.';
            if (++out_col >= kMaxColumn) {
                // Carry the character to a new line.
                o = put_soft_break(o);
                *o++ = c;
                if (twice)
                    *o++ = c;
                out_col = 1;
            } else {
                *o++ = c;
                if (twice && in_col == 1)
                    *o++ = c;
            }
        } else if (c == ' ') {
            if (q + 1 < L && is_eol(cur.at(q + 1))) {
                o = put_escape(o, c);
                out_col += 3;
            } else {
                *o++ = c;
                ++out_col;
            }
        } else if (c == '\n') {
            *o++ = c;
            out_col = in_col = 0;
        } else if (c == '\r') {
            if (q + 1 < L && cur.at(q + 1) == '\n') {
                *o++ = '\r';
                *o++ = '\n';
                cur.seek(q + 2);
                out_col = in_col = 0;
            } else {
                o = put_escape(o, c);
                out_col += 3;
            }
        } else {
            if (out_col > kMaxColumn) {
                o = put_soft_break(o);
                out_col = 0;
            }
            o = put_escape(o, c);
            out_col += 3;
        }
    }
    s->in_column = clamp_column(in_col);
    s->out_column = clamp_column(out_col);
    return o;
}

// Binary mode: every byte that is not a plain visible character is escaped
// (CR, LF, space, "." and "=" included); a soft line break follows any byte
// that brings the line to the limit.
unsigned char *encode_binary(ztmime_qp *s, Cursor &cur, unsigned char *o)
{
    int64_t in_col = s->in_column, out_col = s->out_column;
    while (cur.next()) {
        const unsigned char *p = cur.p, *e = cur.e;
        in_col += e - p;
        for (; p < e; ++p) {
            unsigned char c = *p;
            if (kTab.bin_lit[c]) {
                *o++ = c;
                ++out_col;
            } else {
                o = put_escape(o, c);
                out_col += 3;
            }
            if (out_col >= kMaxColumn) {
                o = put_soft_break(o);
                out_col = 1;
            }
        }
        cur.p = e;
    }
    s->in_column = clamp_column(in_col);
    s->out_column = clamp_column(out_col);
    return o;
}

Work encode_update(ztmime_qp *s, ztview *out, const ztview *src)
{
    Work w;
    const size_t L = ztview_get_len(src);
    if (L == 0)
        return w;
    auto *dst = static_cast<unsigned char *>(ztview_reserve(out, encode_room(L)));
    if (!dst) {
        w.result = kNoRoom;
        return w;
    }
    Cursor cur(src);
    unsigned char *o = (s->flags & ZTMIME_QP_BINARY) ? encode_binary(s, cur, dst)
                                                      : encode_text(s, cur, L, dst);
    w.olen = size_t(o - dst);
    w.used = L;
    return w;
}

} // namespace

namespace zt_qp {
void set_simd(bool on) noexcept { g_simd_enabled = on; }
void set_wide(bool on) noexcept { g_wide_enabled = on; }
} // namespace zt_qp

extern "C" {

ztmime_qp *ztmime_qp_init(unsigned int flags) noexcept
{
    return zt_codec_new<ztmime_qp>([flags](ztmime_qp *s) { return ztmime_qp_reset(s, flags) != nullptr; });
}

ztmime_qp *ztmime_qp_reset(ztmime_qp *state, unsigned int flags) noexcept
{
    if (!state)
        return ztmime_qp_init(flags);
    if (!zt_pending_ready(&state->pending, ZT_MODULE, __LINE__))
        return nullptr;
    state->flags = flags;
    state->in_column = 0;
    state->out_column = 0;
    return state;
}

int ztmime_qp_update(ztmime_qp *state, ztview *out, const ztview *in) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    ztview *pend = state->pending;
    const size_t n = in ? ztview_get_len(in) : 0;
    // With nothing pending the input is read in place and only what the
    // call leaves unread is copied into pending; otherwise it is first
    // appended to what is pending.
    const bool direct = n > 0 && in != out && ztview_get_len(pend) == 0;
    if (n > 0 && !direct) {
        // The output room is reserved before the input is taken, so that a
        // failure leaves pending as it was; the update's own reservation of
        // the same size then reuses it.
        const size_t L = ztview_get_len(pend) + n;
        if (!ztview_reserve(out, (state->flags & ZTMIME_QP_DECODE) ? decode_room(L) : encode_room(L)))
            return -1;
        if (ztview_concat(pend, in) != 0)
            return -1;
    }
    const ztview *src = direct ? in : pend;
    const int32_t in_col = state->in_column, out_col = state->out_column;
    Work w = (state->flags & ZTMIME_QP_DECODE) ? decode_update(state, out, src)
                                                : encode_update(state, out, src);
    if (w.result == kNoRoom)
        return -1;  // read in place: the input is not taken
    if (direct && w.used < n && zt_append_tail(pend, in, w.used) != 0) {
        // The call leaves no trace: the input is not taken.
        ztview_rewind(pend);
        ztview_commit(out, 0);
        state->in_column = in_col;
        state->out_column = out_col;
        return -1;
    }
    ztview_commit(out, w.olen);
    if (!direct)
        ztview_seek(pend, w.used, ZTVIEW_SEEK_FRONT);
    return w.result;
}

int ztmime_qp_finish(ztmime_qp *state, ztview *out) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    ztview *pend = state->pending;
    if (state->flags & ZTMIME_QP_DECODE) {
        if (ztview_get_len(pend) == 0)
            return 0;
        if (ztmime_qp_update(state, out, nullptr) != 0)
            return -1;
        ztview_skip_while(pend, " \r\n\t");
        if (ztview_get_len(pend) == 0)
            return 0;
        ztview_rewind(pend);
        return -1;
    }
    if (state->out_column != 0 && ztview_append(out, "\r\n", 2) != 0)
        return -1;
    ztview_rewind(pend);
    return 0;
}

void ztmime_qp_destroy(ztmime_qp *state) noexcept { zt_codec_free(state, ZT_MODULE, __LINE__); }

static ztview *qp_oneshot(const ztview *in, unsigned int flags) noexcept
{
    return zt_codec_one_shot(ztmime_qp_init(flags), in, ztmime_qp_update, ztmime_qp_finish, ZT_MODULE, __LINE__);
}

ztview *ztmime_qp_decode(const ztview *in) noexcept
{
    return qp_oneshot(in, ZTMIME_QP_DECODE | ZTMIME_QP_STRICT);
}

ztview *ztmime_qp_encode(const ztview *in) noexcept { return qp_oneshot(in, 0); }

} // extern "C"
