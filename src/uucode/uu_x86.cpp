// Uuencode line kernels for x86 vector units, chosen at run time: twelve
// bytes become sixteen characters in one step and back.
#include "uucode/uucode_internal.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "common/cpu.h"

namespace zt_uu {
namespace {

__attribute__((target("ssse3"))) inline __m128i enc16(__m128i in, __m128i shuffle)
{
    // Each group b0 b1 b2 is laid out as b1 b0 b2 b1 so that two multiplies
    // move the four 6-bit fields into four bytes.
    in = _mm_shuffle_epi8(in, shuffle);
    __m128i hi =
        _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    __m128i lo =
        _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    __m128i v = _mm_or_si128(hi, lo);
    // v + 0x20, and 0 as the backquote.
    __m128i zero = _mm_and_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_set1_epi8(0x40));
    return _mm_add_epi8(_mm_add_epi8(v, _mm_set1_epi8(0x20)), zero);
}

__attribute__((target("ssse3"))) void encode_lines_ssse3(const unsigned char *s, size_t n,
                                                         unsigned char *d) noexcept
{
    const __m128i from0 = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m128i from4 = _mm_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14);
    for (size_t i = 0; i < n; ++i, s += kLineBytes, d += kFullLine) {
        // Loads stay inside the 45 bytes: the last one covers bytes 29..44
        // and encodes 33..44 (group 11 is written twice, the same way).
        d[0] = 'M';
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 1),
                         enc16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s)), from0));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 17),
                         enc16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 12)), from0));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 33),
                         enc16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 24)), from0));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 45),
                         enc16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 29)), from4));
        d[61] = '\r';
        d[62] = '\n';
    }
}

__attribute__((target("ssse3"))) inline void dec16(const unsigned char *s, unsigned char *d)
{
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
    __m128i v = _mm_and_si128(_mm_xor_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x3F));
    __m128i pairs = _mm_maddubs_epi16(v, _mm_set1_epi32(0x01400140));   // s0 << 6 | s1
    __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000)); // 24-bit values
    __m128i bytes = _mm_shuffle_epi8(
        groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d), bytes);
}

// Writes up to four bytes past the 45 of each line.
__attribute__((target("ssse3"))) size_t decode_lines_ssse3(const unsigned char *p, size_t avail,
                                                           unsigned char *d, size_t *lines) noexcept
{
    const unsigned char *start = p;
    size_t n = 0;
    for (size_t len; avail >= 64 && (len = plain_full_line(p)) != 0; p += len, avail -= len, ++n) {
        unsigned char *o = d + n * kLineBytes;
        dec16(p + 1, o);
        dec16(p + 17, o + 12);
        dec16(p + 33, o + 24);
        dec16(p + 45, o + 33); // characters 44..59: bytes 33..44
    }
    *lines = n;
    return static_cast<size_t>(p - start);
}

const Kernels kX86[] = {
    {zt_cpu::kSsse3, encode_lines_ssse3, decode_lines_ssse3},
    {0, nullptr, nullptr},
};

} // namespace

const Kernels *x86_kernels() noexcept { return kX86; }

} // namespace zt_uu

#else

const zt_uu::Kernels *zt_uu::x86_kernels() noexcept { return nullptr; }

#endif
