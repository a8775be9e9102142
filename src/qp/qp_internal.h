// Tables, writers and the kernel table shared by the quoted-printable
// codec's source files.  The portable kernels live in qp.cpp; each
// instruction-set file (qp_x86.cpp, ...) lists its own kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt_qp {

// Output lines are broken before they reach this column.
inline constexpr int64_t kMaxColumn = 74;

inline constexpr char kHex[] = "0123456789ABCDEF";

struct Tables {
    int8_t hex[256];       // value of a hexadecimal digit, -1 otherwise
    uint8_t text_lit[256]; // text mode: written as itself (visible, not "=")
    uint8_t bin_lit[256];  // binary mode: written as itself
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
inline constexpr Tables kTab = make_tables();

inline bool is_eol(int c) { return c == '\r' || c == '\n'; }

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

// One set of kernels for one instruction set.
struct Kernels {
    unsigned needs; // zt_cpu features it runs on; 0 for the portable set
    // Decoding without dot handling: decodes plain runs, escapes and soft
    // line breaks of [p, e) in whole blocks while enough bytes remain,
    // keeping the input column; leaves p at a place for the general loop
    // (a malformed escape, or the last bytes).  Stores may reach 32 bytes
    // past what is kept.  The portable set does nothing here.
    void (*decode_blocks)(const unsigned char *&p, const unsigned char *e, unsigned char *&o, int64_t &col) noexcept;
    // Copies bytes from [p, e) to o up to the first "=", keeping the input
    // column (bytes since the last CR or LF).  Returns the bytes copied;
    // stores may reach 16 bytes past them.
    size_t (*copy_plain)(const unsigned char *p, const unsigned char *e, unsigned char *o, int64_t &col) noexcept;
    // Text encoding: takes bytes from the `avail` at p as long as the line
    // stays short of the limit, writing at out; returns the bytes taken
    // (0 in the portable set) and moves out, the output column and the
    // input column on.  Bytes it leaves go the per-byte way.
    size_t (*encode_text_run)(const unsigned char *p, size_t avail, bool dots, unsigned char *&out,
                              int64_t &column, int64_t &in_col) noexcept;
};

size_t copy_plain_portable(const unsigned char *p, const unsigned char *e, unsigned char *o, int64_t &col) noexcept;
void decode_blocks_none(const unsigned char *&p, const unsigned char *e, unsigned char *&o, int64_t &col) noexcept;

// The vector kernel sets of an instruction-set file, best first, ending
// with an entry whose `needs` is 0; null when the build is for another
// architecture.  Another instruction set adds its file and its entry in
// kernels().
const Kernels *x86_kernels() noexcept;

// The kernels this process uses (see zt_cpu::limit for tests).
const Kernels &kernels() noexcept;

} // namespace zt_qp
