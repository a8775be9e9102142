// Base64 tables and the kernel table shared by the codec's source files.
// The portable kernels live in b64.cpp; each instruction-set file
// (b64_x86.cpp, ...) lists its own kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Fast-path decode tables: the value of a character pre-shifted into its
// place in a 24-bit group, or kBad for anything that is not an alphabet
// character ("=", whitespace and invalid bytes all leave the fast path).
inline constexpr uint32_t kBad = 0x01000000u;

struct DecodeTables {
    uint32_t d[4][256];
};

constexpr DecodeTables make_decode_tables()
{
    DecodeTables t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t v = zt_b64::kDecode[i];
        for (int k = 0; k < 4; ++k)
            t.d[k][i] = v < 64 && i != '=' ? uint32_t(v) << (18 - 6 * k) : kBad;
    }
    return t;
}
inline constexpr DecodeTables kDec = make_decode_tables();

// Writes the 24-bit group `v` as three bytes; may write one byte beyond
// (callers reserve that slack).
inline void put_group(unsigned char *p, uint32_t v)
{
    v = __builtin_bswap32(v << 8);
    std::memcpy(p, &v, 4);
}

// The portable decoding loop, inline so that a vector kernel finishes a
// line's last groups without a call: whole groups of alphabet characters
// from [p, e) while they last, as Kernels::decode_run.
inline const unsigned char *decode_groups(const unsigned char *p, const unsigned char *e, unsigned char *out,
                                          size_t &olen) noexcept
{
    unsigned char *o = out + olen;
    while (e - p >= 16) {
        uint32_t a = kDec.d[0][p[0]] | kDec.d[1][p[1]] | kDec.d[2][p[2]] | kDec.d[3][p[3]];
        uint32_t b = kDec.d[0][p[4]] | kDec.d[1][p[5]] | kDec.d[2][p[6]] | kDec.d[3][p[7]];
        uint32_t c = kDec.d[0][p[8]] | kDec.d[1][p[9]] | kDec.d[2][p[10]] | kDec.d[3][p[11]];
        uint32_t f = kDec.d[0][p[12]] | kDec.d[1][p[13]] | kDec.d[2][p[14]] | kDec.d[3][p[15]];
        if ((a | b | c | f) & kBad)
            break;
        put_group(o, a);
        put_group(o + 3, b);
        put_group(o + 6, c);
        put_group(o + 9, f);
        o += 12;
        p += 16;
    }
    while (e - p >= 4) {
        uint32_t a = kDec.d[0][p[0]] | kDec.d[1][p[1]] | kDec.d[2][p[2]] | kDec.d[3][p[3]];
        if (a & kBad)
            break;
        put_group(o, a);
        o += 3;
        p += 4;
    }
    olen = size_t(o - out);
    return p;
}

// One set of kernels for one instruction set.
struct Kernels {
    unsigned needs; // zt_cpu features it runs on; 0 for the portable set
    // Decodes whole groups of alphabet characters from [p, e) while they
    // last, writing 3 bytes a group at out + olen (and up to 8 bytes of
    // scratch beyond); returns where it stopped, at a group holding any
    // other byte or with fewer than 4 characters left.
    const unsigned char *(*decode_run)(const unsigned char *p, const unsigned char *e, unsigned char *out,
                                       size_t &olen) noexcept;
    // Encodes `groups` groups of three bytes at `in` into 4 * groups
    // characters at `out`; `avail` (at least 3 * groups) bytes may be read.
    void (*encode_groups)(const unsigned char *in, size_t groups, size_t avail, unsigned char *out) noexcept;
    // Encodes `lines` output lines of 19 groups (57 bytes at `in`) into 76
    // characters and CR LF each (78 bytes at `out`); `avail` (at least
    // 57 * lines) bytes may be read.
    void (*encode_lines)(const unsigned char *in, size_t lines, size_t avail, unsigned char *out) noexcept;
};

const unsigned char *decode_run_portable(const unsigned char *p, const unsigned char *e, unsigned char *out,
                                         size_t &olen) noexcept;
void encode_groups_portable(const unsigned char *in, size_t groups, unsigned char *out) noexcept;
void encode_lines_portable(const unsigned char *in, size_t lines, unsigned char *out) noexcept;

// The vector kernel sets of an instruction-set file, best first, ending
// with an entry whose `needs` is 0; null when the build is for another
// architecture.  Another instruction set adds its file and its entry in
// kernels().
const Kernels *x86_kernels() noexcept;

// The kernels this process uses (see zt_cpu::limit for tests).
const Kernels &kernels() noexcept;

// Decodes base64 text of whole groups with correct padding and zero spare
// bits, the form every decoder reads alike, into `out` (room for n bytes).
// The decoded length, or -1 for any other text (the caller then goes the
// general way).
long decode_exact(const unsigned char *t, size_t n, unsigned char *out) noexcept;

} // namespace zt_b64
