// The scan for body-line batches: 64 bytes at a time, classified by vector
// compares into bit masks (AVX2 where the machine has it, else SSE2), then
// a 16-byte loop and a byte loop for the rest of the window.
#include "mime/batch_scan.h"

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "common/cpu.h"
#define ZT_BATCH_X86 1
#endif

namespace ztmime_scan {
namespace {

// The byte loop from p up to lim; r is the position after the last line
// taken so far, and the result as clean_lines_end's.
const unsigned char *scan_bytes(const unsigned char *p, const unsigned char *lim, const unsigned char *r,
                                const bool *stop) noexcept
{
    for (; p < lim; ++p) {
        if (*p == '\n') {
            if (stop[p[1]])
                return r;
            r = p + 1;
        } else if (*p == '\r' && p[1] != '\n') {
            return r;
        }
    }
    return r;
}

#ifdef ZT_BATCH_X86

// For 64 bytes s[0..63], one bit each: an LF, a CR, a byte in the stop set.
struct Masks {
    uint64_t lf, cr, stop;
};

// Bit masks for the block at p: `next` are the masks of p[1..64].
// `lf_in`/`cr_in` say whether p[0] is an LF / a CR, and come out as the
// same for the next block's first byte.  Bit i of the result is flagged
// position p + i; `taken` gets the position after the last LF before the
// first flagged one.  True when a position is flagged.
[[gnu::always_inline]] inline bool fold(const Masks &next, const unsigned char *p, uint64_t &lf_in,
                                        uint64_t &cr_in, const unsigned char *&taken) noexcept
{
    const uint64_t lf_at = (next.lf << 1) | lf_in;
    const uint64_t cr_at = (next.cr << 1) | cr_in;
    lf_in = next.lf >> 63;
    cr_in = next.cr >> 63;
    const uint64_t flagged = (lf_at & next.stop) | (cr_at & ~next.lf);
    uint64_t lfs = lf_at;
    if (flagged)
        lfs &= (flagged & (0 - flagged)) - 1;
    if (lfs)
        taken = p + 64 - __builtin_clzll(lfs);
    return flagged != 0;
}

// 16 bytes at p, then the byte loop, up to lim; r as clean_lines_end's.
const unsigned char *finish(const unsigned char *p, const unsigned char *lim, const unsigned char *r,
                            const bool *stop, char dot_or_dash) noexcept
{
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i dash = _mm_set1_epi8('-');
    const __m128i b = _mm_set1_epi8('b');
    const __m128i paren = _mm_set1_epi8('(');
    const __m128i dot = _mm_set1_epi8(dot_or_dash);
    while (lim - p >= 16) {
        // a: the bytes at p..p+15; n: the byte after each, p+16 <= lim.
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        const __m128i is_lf = _mm_cmpeq_epi8(a, lf);
        const __m128i next_stop =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(n, dash), _mm_cmpeq_epi8(n, b)),
                         _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(n, cr), _mm_cmpeq_epi8(n, paren)),
                                      _mm_cmpeq_epi8(n, dot)));
        const __m128i bare_cr = _mm_andnot_si128(_mm_cmpeq_epi8(n, lf), _mm_cmpeq_epi8(a, cr));
        const __m128i flagged = _mm_or_si128(_mm_and_si128(is_lf, next_stop), bare_cr);
        unsigned lfs = static_cast<unsigned>(_mm_movemask_epi8(is_lf));
        const unsigned bad = static_cast<unsigned>(_mm_movemask_epi8(flagged));
        if (bad) {
            lfs &= (1u << __builtin_ctz(bad)) - 1;
            return lfs ? p + 32 - __builtin_clz(lfs) : r;
        }
        if (lfs)
            r = p + 32 - __builtin_clz(lfs);
        p += 16;
    }
    return scan_bytes(p, lim, r, stop);
}

[[gnu::always_inline]] inline Masks masks_sse2(const unsigned char *s, char dot_or_dash) noexcept
{
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i dash = _mm_set1_epi8('-');
    const __m128i b = _mm_set1_epi8('b');
    const __m128i paren = _mm_set1_epi8('(');
    const __m128i dot = _mm_set1_epi8(dot_or_dash);
    Masks m{0, 0, 0};
    for (int k = 0; k < 4; ++k) {
        const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * k));
        const __m128i c = _mm_cmpeq_epi8(n, cr);
        const __m128i st = _mm_or_si128(_mm_or_si128(c, _mm_cmpeq_epi8(n, dash)),
                                        _mm_or_si128(_mm_cmpeq_epi8(n, b),
                                                     _mm_or_si128(_mm_cmpeq_epi8(n, paren), _mm_cmpeq_epi8(n, dot))));
        m.lf |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(n, lf)))) << (16 * k);
        m.cr |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(c))) << (16 * k);
        m.stop |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(st))) << (16 * k);
    }
    return m;
}

__attribute__((target("avx2"))) inline Masks masks_avx2(const unsigned char *s, char dot_or_dash) noexcept
{
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i dash = _mm256_set1_epi8('-');
    const __m256i b = _mm256_set1_epi8('b');
    const __m256i paren = _mm256_set1_epi8('(');
    const __m256i dot = _mm256_set1_epi8(dot_or_dash);
    Masks m{0, 0, 0};
    for (int k = 0; k < 2; ++k) {
        const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 32 * k));
        const __m256i c = _mm256_cmpeq_epi8(n, cr);
        const __m256i st =
            _mm256_or_si256(_mm256_or_si256(c, _mm256_cmpeq_epi8(n, dash)),
                            _mm256_or_si256(_mm256_cmpeq_epi8(n, b),
                                            _mm256_or_si256(_mm256_cmpeq_epi8(n, paren), _mm256_cmpeq_epi8(n, dot))));
        m.lf |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(n, lf))))
                << (32 * k);
        m.cr |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(c))) << (32 * k);
        m.stop |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(st))) << (32 * k);
    }
    return m;
}

const unsigned char *scan_sse2(const unsigned char *q, const unsigned char *lim, const bool *stop,
                               char dot_or_dash) noexcept
{
    const unsigned char *r = q;
    const unsigned char *p = q;
    uint64_t lf_in = *q == '\n', cr_in = *q == '\r';
    for (; lim - p >= 64; p += 64)
        if (fold(masks_sse2(p + 1, dot_or_dash), p, lf_in, cr_in, r))
            return r;
    return finish(p, lim, r, stop, dot_or_dash);
}

__attribute__((target("avx2"))) const unsigned char *scan_avx2(const unsigned char *q, const unsigned char *lim,
                                                               const bool *stop, char dot_or_dash) noexcept
{
    const unsigned char *r = q;
    const unsigned char *p = q;
    uint64_t lf_in = *q == '\n', cr_in = *q == '\r';
    for (; lim - p >= 64; p += 64)
        if (fold(masks_avx2(p + 1, dot_or_dash), p, lf_in, cr_in, r))
            return r;
    return finish(p, lim, r, stop, dot_or_dash);
}

#endif

} // namespace

const unsigned char *clean_lines_end(const unsigned char *q, const unsigned char *lim, const bool *stop,
                                     bool dot) noexcept
{
#ifdef ZT_BATCH_X86
    // Without the dot, its compare repeats the dash's.
    const char dot_or_dash = dot ? '.' : '-';
    if (zt_cpu::features() & zt_cpu::kAvx2)
        return scan_avx2(q, lim, stop, dot_or_dash);
    return scan_sse2(q, lim, stop, dot_or_dash);
#else
    (void)dot;
    return scan_bytes(q, lim, q, stop);
#endif
}

} // namespace ztmime_scan
