// Base64 tables and the vector paths shared by the codec's source files.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define ZT_B64_HAVE_AVX2 1
#else
#define ZT_B64_HAVE_AVX2 0
#endif

namespace zt_b64 {

inline constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct DecodeTable {
    uint8_t v[256];
};

// Character value: 0..63 for the alphabet, 0 for "=", 224 tab and space,
// 240 LF, 241 CR, 242 "-", 255 everything else (bytes of 0x80 and above too).
// Every value of 128 or more marks a character that is not a base64 digit.
constexpr DecodeTable make_decode_table()
{
    DecodeTable t{};
    for (int i = 0; i < 256; ++i)
        t.v[i] = 255;
    for (int i = 0; i < 64; ++i)
        t.v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
    t.v['='] = 0;
    t.v['\t'] = 224;
    t.v[' '] = 224;
    t.v['\n'] = 240;
    t.v['\r'] = 241;
    t.v['-'] = 242;
    return t;
}
inline constexpr DecodeTable kDecodeTable = make_decode_table();
inline constexpr const uint8_t *kDecode = kDecodeTable.v;

// Test switch: false forces the portable paths even where a vector unit is
// available, so that tests can compare both.
void set_simd(bool on) noexcept;

#if ZT_B64_HAVE_AVX2
bool cpu_has_avx2() noexcept;
// Decodes 32-character blocks of alphabet characters from [p, e) while
// e - p >= 32, writing 24 bytes per block at out + olen (and up to 8 bytes of
// scratch beyond); stops at the first block holding any other byte.
const unsigned char *decode_run_avx2(const unsigned char *p, const unsigned char *e,
                                     unsigned char *out, size_t &olen) noexcept;
// Encodes `groups` (a multiple of 8) groups of three bytes at `in` into
// 4 * groups characters at `out`; reads 4 bytes beyond the last group.
void encode_groups_avx2(const unsigned char *in, size_t groups, unsigned char *out) noexcept;
#endif

} // namespace zt_b64
