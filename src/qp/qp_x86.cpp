// Quoted-printable kernels for x86 vector units, chosen at run time: one
// set on byte compress (64-byte blocks, with the 256-bit decoder behind
// it), one on 256-bit vectors, one on the baseline 128-bit vectors.
#include "qp/qp_internal.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include "common/cpu.h"

namespace zt_qp {
namespace {

// Copies bytes from [p, e) to o up to the first "=", keeping the input
// column, 16 bytes at a time; the rest goes the portable way.
size_t copy_plain_sse2(const unsigned char *p, const unsigned char *e, unsigned char *o, int64_t &col) noexcept
{
    size_t n = 0, avail = size_t(e - p);
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
    return n + copy_plain_portable(p + n, e, o + n, col);
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
__attribute__((target("avx2"))) void decode_fast_avx2(const unsigned char *&pp, const unsigned char *e,
                                                      unsigned char *&oo, int64_t &colp) noexcept
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
                                         unsigned char *&oo, int64_t &colp) noexcept
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
                                           int64_t &column, int64_t &in_col) noexcept
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

// Text mode, 16 bytes at a time while at least 17 remain: the run of bytes
// written as they are (visible ASCII other than "=", spaces whose next byte
// is no line end), then the byte that stopped it if it is one to escape.
// Stops at a line end or a space before one, and where the line reaches the
// limit.  Returns the input bytes taken; out, column and in_col move on.
size_t encode_text_sse2(const unsigned char *p, size_t avail, bool, unsigned char *&out, int64_t &column,
                        int64_t &in_col) noexcept
{
    unsigned char *o = out;
    int64_t oc = column;
    size_t k = 0;

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

    out = o;
    column = oc;
    in_col += int64_t(k);
    return k;
}

void decode_blocks_avx512(const unsigned char *&p, const unsigned char *e, unsigned char *&o, int64_t &col) noexcept
{
    if (e - p >= 66)
        decode_fast_avx512(p, e, o, col);
    decode_fast_avx2(p, e, o, col);
}

const Kernels kX86[] = {
    {zt_cpu::kAvx512Compress | zt_cpu::kAvx2 | zt_cpu::kSse2, decode_blocks_avx512, copy_plain_sse2,
     encode_text_avx512},
    {zt_cpu::kAvx2 | zt_cpu::kSse2, decode_fast_avx2, copy_plain_sse2, encode_text_sse2},
    {zt_cpu::kSse2, decode_blocks_none, copy_plain_sse2, encode_text_sse2},
    {0, nullptr, nullptr, nullptr},
};

} // namespace

const Kernels *x86_kernels() noexcept { return kX86; }

} // namespace zt_qp

#else

const zt_qp::Kernels *zt_qp::x86_kernels() noexcept { return nullptr; }

#endif
