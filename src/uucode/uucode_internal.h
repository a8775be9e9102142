// Line kernels of the uuencode codec, shared by its source files.  The
// portable kernels live in uucode.cpp; each instruction-set file
// (uu_x86.cpp, ...) lists its own kernels.
#pragma once

#include <cstddef>

namespace zt_uu {

inline constexpr size_t kLineBytes = 45; // data bytes of a full line
inline constexpr size_t kLineChars = 60; // encoded characters of a full line
inline constexpr size_t kFullLine = 63;  // "M", 60 characters, CR LF

// Length of the full line at p as the encoder writes it ("M", 60
// characters, then CR LF, or LF alone) when the byte after it is no line
// end, else 0.  Such a line decodes the same in one step as through the
// general loop.  p must have 64 readable bytes.
inline size_t plain_full_line(const unsigned char *p) noexcept
{
    if (p[0] != 'M')
        return 0;
    if (p[61] == '\r' && p[62] == '\n' && p[63] != '\r' && p[63] != '\n')
        return kFullLine;
    if (p[61] == '\n' && p[62] != '\r' && p[62] != '\n')
        return kFullLine - 1;
    return 0;
}

// One set of kernels for one instruction set.
struct Kernels {
    unsigned needs; // zt_cpu features it runs on; 0 for the portable set
    // Encodes n blocks of 45 bytes at s into n full lines (63 bytes each) at d.
    void (*encode_lines)(const unsigned char *s, size_t n, unsigned char *d) noexcept;
    // Decodes the run of plain full lines at the front of the `avail`
    // bytes at p, writing 45 bytes a line at d (and up to 4 bytes beyond);
    // *lines gets their number.  Returns the bytes consumed.
    size_t (*decode_lines)(const unsigned char *p, size_t avail, unsigned char *d, size_t *lines) noexcept;
};

// The vector kernel sets of an instruction-set file, best first, ending
// with an entry whose `needs` is 0; null when the build is for another
// architecture.  Another instruction set adds its file and its entry in
// kernels().
const Kernels *x86_kernels() noexcept;

// The kernels this process uses (see zt_cpu::limit for tests).
const Kernels &kernels() noexcept;

} // namespace zt_uu
