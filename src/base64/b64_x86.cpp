// Base64 kernels for x86 vector units, chosen at run time.
#include "base64/b64_internal.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include <algorithm>

#include "common/cpu.h"

namespace zt_b64 {
namespace {

// Decodes 32-character blocks of alphabet characters while at least 32
// remain, 24 bytes per block (and up to 8 bytes of scratch beyond); stops at
// the first block holding any other byte.
__attribute__((target("avx2"))) const unsigned char *
decode_blocks_avx2(const unsigned char *p, const unsigned char *e, unsigned char *out,
                   size_t &olen) noexcept
{
    // Classification by nibbles: a byte is an alphabet character exactly
    // when the low-nibble and high-nibble class bits do not meet.
    const __m256i lut_lo = _mm256_setr_epi8(
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B,
        0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B,
        0x1B, 0x1A);
    const __m256i lut_hi = _mm256_setr_epi8(
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
        0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
        0x10, 0x10);
    // Offset that turns a character into its value, by high nibble ("/" apart).
    const __m256i lut_roll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0,
                                              0, 0, 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0,
                                              0, 0, 0, 0);
    const __m256i mask_2f = _mm256_set1_epi8(0x2f);
    const __m256i pack_shuf = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1,
                                               -1, 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1,
                                               -1, -1);
    const __m256i pack_perm = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    unsigned char *o = out + olen;
    while (e - p >= 32) {
        __m256i str = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i hi_nib = _mm256_and_si256(_mm256_srli_epi32(str, 4), mask_2f);
        const __m256i lo_nib = _mm256_and_si256(str, mask_2f);
        const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nib);
        const __m256i lo = _mm256_shuffle_epi8(lut_lo, lo_nib);
        if (!_mm256_testz_si256(lo, hi))
            break;
        const __m256i eq_2f = _mm256_cmpeq_epi8(str, mask_2f);
        const __m256i roll = _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(eq_2f, hi_nib));
        str = _mm256_add_epi8(str, roll);
        const __m256i ab_bc = _mm256_maddubs_epi16(str, _mm256_set1_epi32(0x01400140));
        __m256i v = _mm256_madd_epi16(ab_bc, _mm256_set1_epi32(0x00011000));
        v = _mm256_shuffle_epi8(v, pack_shuf);
        v = _mm256_permutevar8x32_epi32(v, pack_perm);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), v);
        o += 24;
        p += 32;
    }
    olen = static_cast<size_t>(o - out);
    return p;
}

// Encodes 24 bytes at `in` into 32 characters; reads 4 bytes beyond them.
__attribute__((target("avx2"), always_inline)) inline __m256i encode_block(const unsigned char *in) noexcept
{
    const __m256i shuf = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0,
                                          2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i shift_lut = _mm256_setr_epi8(
        'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0, 'a' - 26, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '+' - 62, '/' - 63, 'A', 0, 0);
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 12));
    __m256i v = _mm256_set_m128i(hi, lo);
    v = _mm256_shuffle_epi8(v, shuf);
    const __m256i t0 = _mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00));
    const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    const __m256i t2 = _mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0));
    const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    const __m256i idx = _mm256_or_si256(t1, t3);
    __m256i r = _mm256_subs_epu8(idx, _mm256_set1_epi8(51));
    const __m256i less = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), idx);
    r = _mm256_or_si256(r, _mm256_and_si256(less, _mm256_set1_epi8(13)));
    r = _mm256_shuffle_epi8(shift_lut, r);
    return _mm256_add_epi8(r, idx);
}

__attribute__((target("avx2"), always_inline)) inline void store(unsigned char *out, __m256i v) noexcept
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), v);
}

// Encodes `groups` (a multiple of 8) groups of three bytes; reads 4 bytes
// beyond the last group.
__attribute__((target("avx2"))) void encode_blocks_avx2(const unsigned char *in, size_t groups,
                                                        unsigned char *out) noexcept
{
    for (size_t g = 0; g < groups; g += 8, in += 24, out += 32)
        store(out, encode_block(in));
}

// A line of 19 groups in three blocks: bytes 0, 24 and 33 on give the
// characters 0, 32 and 44 on (groups 11 to 15 are written twice, the same
// way); the last block reads 4 bytes past the line, so the last lines
// within reach of the end go the portable way.
__attribute__((target("avx2"))) void encode_lines_avx2(const unsigned char *in, size_t lines, size_t avail,
                                                       unsigned char *out) noexcept
{
    size_t i = 0;
    for (; i < lines && 57 * i + 61 <= avail; ++i, in += 57, out += 78) {
        _mm_prefetch(reinterpret_cast<const char *>(in) + 1024, _MM_HINT_T0);
        store(out, encode_block(in));
        store(out + 32, encode_block(in + 24));
        store(out + 44, encode_block(in + 33));
        out[76] = '\r';
        out[77] = '\n';
    }
    encode_lines_portable(in, lines - i, out);
}

#define ZT_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Encodes the first 48 bytes of `in` into 64 characters: each group is laid
// out as four bytes, one multishift picks the four 6-bit values and one
// permute looks them up in the alphabet.
ZT_VBMI inline __m512i encode48_vbmi(__m512i in) noexcept
{
    const __m512i spread = _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d,
                                             0x10110f10, 0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c,
                                             0x1f201e1f, 0x22232122, 0x25262425, 0x28292728, 0x2b2c2a2b,
                                             0x2e2f2d2e);
    const __m512i alphabet = _mm512_loadu_si512(kAlphabet);
    const __m512i v = _mm512_maskz_permutexvar_epi8(~__mmask64(0), spread, in);
    const __m512i idx = _mm512_maskz_multishift_epi64_epi8(~__mmask64(0), _mm512_set1_epi64(0x3036242a1016040a), v);
    return _mm512_maskz_permutexvar_epi8(~__mmask64(0), idx, alphabet);
}

// A line in two steps: bytes 0 to 47 give characters 0 to 63, bytes 48 to
// 56 the last twelve, stored with the CR LF after them.  Masked loads read
// nothing past the line.  The input is fetched ahead: without it the loads
// wait on memory for most of the time.
ZT_VBMI void encode_lines_vbmi(const unsigned char *in, size_t lines, size_t, unsigned char *out) noexcept
{
    const __m512i crlf = _mm512_set1_epi16(0x0a0d);
    for (size_t i = 0; i < lines; ++i, in += 57, out += 78) {
        _mm_prefetch(reinterpret_cast<const char *>(in) + 1024, _MM_HINT_T0);
        _mm512_storeu_si512(out, encode48_vbmi(_mm512_maskz_loadu_epi8(0xffffffffffffull, in)));
        const __m512i tail = encode48_vbmi(_mm512_maskz_loadu_epi8(0x1ff, in + 48));
        _mm512_mask_storeu_epi8(out + 64, 0x3fff, _mm512_mask_mov_epi8(tail, 0x3000, crlf));
    }
}

const unsigned char *decode_run_avx2(const unsigned char *p, const unsigned char *e, unsigned char *out,
                                     size_t &olen) noexcept
{
    return decode_groups(decode_blocks_avx2(p, e, out, olen), e, out, olen);
}

void encode_groups_avx2(const unsigned char *in, size_t groups, size_t avail, unsigned char *out) noexcept
{
    size_t vn = 0;
    if (avail >= 4 + 24) {
        vn = std::min(groups, (avail - 4) / 3) / 8 * 8;
        encode_blocks_avx2(in, vn, out);
    }
    encode_groups_portable(in + 3 * vn, groups - vn, out + 4 * vn);
}

const Kernels kX86[] = {
    {zt_cpu::kAvx512Vbmi | zt_cpu::kAvx2, decode_run_avx2, encode_groups_avx2, encode_lines_vbmi},
    {zt_cpu::kAvx2, decode_run_avx2, encode_groups_avx2, encode_lines_avx2},
    {0, nullptr, nullptr, nullptr},
};

} // namespace

const Kernels *x86_kernels() noexcept { return kX86; }

} // namespace zt_b64

#else

const zt_b64::Kernels *zt_b64::x86_kernels() noexcept { return nullptr; }

#endif
