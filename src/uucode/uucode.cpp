// Streaming uuencode codec for the body lines of a uuencoded block.
//
// Both directions read the pending bytes and the new input in place,
// segment by segment, and write whole runs of lines straight into the
// output view's spare room: one reservation and one commit per call.  The
// state's pending view is rebuilt only at the end of a call, and only after
// everything that can fail has succeeded, so a failed call leaves the state
// and the output as they were.
#define ZT_MODULE "uucode"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/alloc.h"
#include "common/codec.h"
#include "common/cpu.h"
#include "common/module.h"
#include "uucode/uucode_internal.h"
#include "ztmime.h"

using zt_uu::kFullLine;
using zt_uu::kLineBytes;
using zt_uu::kLineChars;

namespace {

constexpr size_t kSmallTail = 256; // tails up to this size are copied into pending

// ---------------------------------------------------------------------------
// Character tables

constexpr unsigned char enc_char(unsigned v)
{
    return v ? static_cast<unsigned char>(0x20 + v) : 0x60;
}

// Two characters for each 12-bit value, laid out so that one native 16-bit
// store writes the first character at the lower address.
struct Enc12 {
    uint16_t t[4096];
    constexpr Enc12() : t()
    {
        for (unsigned x = 0; x < 4096; ++x) {
            unsigned hi = enc_char(x >> 6), lo = enc_char(x & 63);
            t[x] = std::endian::native == std::endian::little ? static_cast<uint16_t>(hi | lo << 8)
                                                              : static_cast<uint16_t>(hi << 8 | lo);
        }
    }
};
constexpr Enc12 enc12;

inline uint64_t load_u64(const unsigned char *p)
{
    uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

inline void store_u64(unsigned char *p, uint64_t x) { std::memcpy(p, &x, 8); }

inline uint64_t load_be64(const unsigned char *p)
{
    uint64_t x = load_u64(p);
    if constexpr (std::endian::native == std::endian::little)
        x = __builtin_bswap64(x);
    return x;
}

inline void put2(unsigned char *d, unsigned x12)
{
    uint16_t v = enc12.t[x12 & 0xFFF];
    std::memcpy(d, &v, 2);
}

// Three bytes into four characters.
inline void encode_group(const unsigned char *s, unsigned char *d)
{
    unsigned w = unsigned(s[0]) << 16 | unsigned(s[1]) << 8 | s[2];
    put2(d, w >> 12);
    put2(d + 2, w);
}

// 45 bytes into a full line of 63 bytes.
inline void encode_full_line(const unsigned char *s, unsigned char *d)
{
    d[0] = 'M';
    unsigned char *o = d + 1;
    if constexpr (std::endian::native == std::endian::little) {
        // Six bytes per step; the eight-byte load stays inside the 45 bytes
        // (last load covers bytes 36..43).
        for (int k = 0; k < 7; ++k) {
            uint64_t x = load_be64(s + 6 * k);
            uint64_t o8 = uint64_t(enc12.t[x >> 52]) | uint64_t(enc12.t[(x >> 40) & 0xFFF]) << 16 |
                          uint64_t(enc12.t[(x >> 28) & 0xFFF]) << 32 |
                          uint64_t(enc12.t[(x >> 16) & 0xFFF]) << 48;
            store_u64(o + 8 * k, o8);
        }
        encode_group(s + 42, o + 56);
    } else {
        for (int g = 0; g < 15; ++g)
            encode_group(s + 3 * g, o + 4 * g);
    }
    d[61] = '\r';
    d[62] = '\n';
}

// Decodes `groups` groups of four characters at s into 3 * groups bytes at
// d.  May write up to two bytes past them (the caller keeps slack there).
inline void decode_groups(const unsigned char *s, size_t groups, unsigned char *d)
{
    size_t g = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Every character maps to (c - 0x20) & 0x3F, which equals
        // (c ^ 0x20) & 0x3F, so eight characters are mapped at once.
        for (; g + 2 <= groups; g += 2, s += 8, d += 6) {
            uint64_t v = (load_u64(s) ^ 0x2020202020202020ull) & 0x3F3F3F3F3F3F3F3Full;
            uint64_t x = ((v & 0x003F003F003F003Full) << 6) | ((v >> 8) & 0x003F003F003F003Full);
            uint64_t y = ((x & 0x00000FFF00000FFFull) << 12) | ((x >> 16) & 0x00000FFF00000FFFull);
            uint64_t g0 = __builtin_bswap32(static_cast<uint32_t>(y) << 8);
            uint64_t g1 = __builtin_bswap32(static_cast<uint32_t>(y >> 32) << 8);
            store_u64(d, g0 | g1 << 24);
        }
    }
    for (; g < groups; ++g, s += 4, d += 3) {
        unsigned s0 = (s[0] ^ 0x20) & 0x3F, s1 = (s[1] ^ 0x20) & 0x3F;
        unsigned s2 = (s[2] ^ 0x20) & 0x3F, s3 = (s[3] ^ 0x20) & 0x3F;
        d[0] = static_cast<unsigned char>(s0 << 2 | s1 >> 4);
        d[1] = static_cast<unsigned char>(s1 << 4 | s2 >> 2);
        d[2] = static_cast<unsigned char>(s2 << 6 | s3);
    }
}

void encode_lines_portable(const unsigned char *s, size_t n, unsigned char *d) noexcept
{
    for (size_t i = 0; i < n; ++i, s += kLineBytes, d += kFullLine)
        encode_full_line(s, d);
}

size_t decode_lines_portable(const unsigned char *p, size_t avail, unsigned char *d, size_t *lines) noexcept
{
    const unsigned char *start = p;
    size_t n = 0;
    for (size_t len; avail >= 64 && (len = zt_uu::plain_full_line(p)) != 0; p += len, avail -= len, ++n)
        decode_groups(p + 1, 15, d + n * kLineBytes);
    *lines = n;
    return static_cast<size_t>(p - start);
}

constexpr zt_uu::Kernels kPortable{0, encode_lines_portable, decode_lines_portable};

} // namespace

namespace zt_uu {

const Kernels &kernels() noexcept
{
    static const Kernels &best = zt_cpu::pick(x86_kernels(), kPortable);
    return zt_cpu::limited() ? zt_cpu::pick(x86_kernels(), kPortable) : best;
}

} // namespace zt_uu

namespace {

// ---------------------------------------------------------------------------
// Reading pending bytes and new input in place

// Walks the bytes of two views (pending, then the new input) in order,
// segment by segment, without copying them.
class Reader {
  public:
    Reader(const ztview *a, const ztview *b) noexcept : views_{a, b}
    {
        left = ztview_get_len(a) + ztview_get_len(b);
    }

    size_t left; // bytes not yet read

    // Contiguous bytes at the read position (0 only at the end).
    size_t span() noexcept
    {
        fill();
        return static_cast<size_t>(e_ - p_);
    }
    const unsigned char *pos() const noexcept { return p_; }

    // n must not exceed span().
    void skip(size_t n) noexcept
    {
        p_ += n;
        left -= n;
    }

    int get() noexcept
    {
        if (!span())
            return -1;
        int c = *p_;
        skip(1);
        return c;
    }

    // Copies n bytes (n <= left) across segment boundaries.
    void take(unsigned char *dst, size_t n) noexcept
    {
        while (n) {
            size_t k = span();
            if (k > n)
                k = n;
            std::memcpy(dst, p_, k);
            dst += k;
            n -= k;
            skip(k);
        }
    }

    // Drops CR and LF bytes.
    void skip_line_ends() noexcept
    {
        while (span()) {
            unsigned char c = *p_;
            if (c != '\r' && c != '\n')
                return;
            skip(1);
        }
    }

    // Drops everything up to the next CR or LF (all when there is none);
    // true when one was found.
    bool skip_to_line_end() noexcept
    {
        while (size_t k = span()) {
            const unsigned char *q = p_;
            const unsigned char *end = p_ + k;
            while (q < end && *q != '\r' && *q != '\n')
                ++q;
            skip(static_cast<size_t>(q - p_));
            if (q < end)
                return true;
        }
        return false;
    }

  private:
    void fill() noexcept
    {
        while (p_ == e_ && vi_ < 2) {
            size_t n = 0;
            const unsigned char *b = nullptr;
            if (views_[vi_] && ztview_segment(views_[vi_], si_, &b, &n) == 0) {
                ++si_;
                p_ = b;
                e_ = b + n;
            } else {
                ++vi_;
                si_ = 0;
            }
        }
    }

    const ztview *views_[2];
    int vi_ = 0;
    size_t si_ = 0;
    const unsigned char *p_ = nullptr;
    const unsigned char *e_ = nullptr;
};

// Makes pending hold the bytes of (pending ++ in) from offset `consumed`
// on, given that `r` stands at that offset.  Returns 0, or -1 with pending
// unchanged when memory runs out.
int keep_rest(ztview *pending, const ztview *in, Reader &r, size_t consumed)
{
    size_t plen = ztview_get_len(pending);
    if (consumed < plen) {
        if (ztview_get_len(in) && ztview_concat(pending, in) != 0)
            return -1;
        ztview_seek(pending, consumed, ZTVIEW_SEEK_FRONT);
        return 0;
    }
    size_t rest = r.left;
    if (rest == 0) {
        ztview_rewind(pending);
    } else if (rest <= kSmallTail) {
        unsigned char buf[kSmallTail];
        r.take(buf, rest);
        if (ztview_append(pending, buf, rest) != 0)
            return -1;
        ztview_seek(pending, plen, ZTVIEW_SEEK_FRONT);
    } else {
        // A long rest (only after a failed line) is shared, not copied.
        size_t ilen = ztview_get_len(in);
        ztview *tmp = zt_view_dup_front(in, nullptr, ilen);
        if (!tmp)
            return -1;
        ztview_seek(tmp, ilen - rest, ZTVIEW_SEEK_FRONT);
        ztview *moved = zt_view_move(pending, tmp, rest);
        zt_view_free(tmp);
        if (!moved)
            return -1;
        ztview_seek(pending, plen, ZTVIEW_SEEK_FRONT);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Encoder

int encode_update(ztmime_uu *st, ztview *out, const ztview *in)
{
    size_t plen = ztview_get_len(st->pending);
    size_t ilen = ztview_get_len(in);
    size_t total = plen + ilen;
    size_t lines = total / kLineBytes;
    if (lines == 0) {
        if (ilen && ztview_concat(st->pending, in) != 0)
            return -1;
        return 0;
    }
    unsigned char *dst = static_cast<unsigned char *>(ztview_reserve(out, lines * kFullLine));
    if (!dst)
        return -1;
    Reader r(st->pending, in);
    unsigned char *d = dst;
    size_t todo = lines;
    while (todo) {
        size_t k = r.span();
        if (k >= kLineBytes) {
            size_t n = k / kLineBytes;
            if (n > todo)
                n = todo;
            zt_uu::kernels().encode_lines(r.pos(), n, d);
            d += n * kFullLine;
            r.skip(n * kLineBytes);
            todo -= n;
        } else {
            unsigned char block[kLineBytes];
            r.take(block, kLineBytes);
            encode_full_line(block, d);
            d += kFullLine;
            --todo;
        }
    }
    if (keep_rest(st->pending, in, r, lines * kLineBytes) != 0)
        return -1;
    ztview_commit(out, lines * kFullLine);
    return 0;
}

int encode_finish(ztmime_uu *st, ztview *out)
{
    if (encode_update(st, out, nullptr) != 0)
        return -1;
    size_t len = ztview_get_len(st->pending);
    if (len == 0)
        return 0;
    unsigned char block[kLineBytes + 2] = {};
    size_t n = kLineBytes;
    ztview_copy_data_r(st->pending, block, &n, 0);
    size_t groups = (n + 2) / 3;
    unsigned char line[1 + kLineChars + 5];
    line[0] = static_cast<unsigned char>(0x20 + n);
    for (size_t g = 0; g < groups; ++g)
        encode_group(block + 3 * g, line + 1 + 4 * g);
    std::memcpy(line + 1 + 4 * groups, "\r\n`\r\n", 5);
    if (ztview_append(out, line, 1 + 4 * groups + 5) != 0)
        return -1;
    ztview_rewind(st->pending);
    return 0;
}

// ---------------------------------------------------------------------------
// Decoder

// line_len while the ignored rest of a decoded line is skipped: the bytes
// up to the next CR or LF, which may arrive in later updates.
constexpr int32_t kInTail = -1;

int decode_update(ztmime_uu *st, ztview *out, const ztview *in)
{
    // A length above 45 leaves the state failed until reset.
    if (st->line_len < kInTail || st->line_len > int32_t(kLineBytes))
        return -1;
    size_t total = ztview_get_len(st->pending) + ztview_get_len(in);
    if (total == 0)
        return 0;
    // Each output byte takes at least 4/3 characters; slack for the wide
    // stores of the line decoders.
    size_t bound = total - total / 4 + 16;
    unsigned char *dst = static_cast<unsigned char *>(ztview_reserve(out, bound));
    if (!dst)
        return -1;

    Reader r(st->pending, in);
    int32_t line_len = st->line_len;
    size_t produced = 0;
    int rc = 0;
    // Line ends are skipped only where a line may start: a call may begin
    // inside a line's data (where CR and LF are data) or inside its
    // ignored rest.
    if (line_len == kInTail && r.skip_to_line_end())
        line_len = 0;
    if (line_len == 0)
        r.skip_line_ends();
    const zt_uu::Kernels &kern = zt_uu::kernels();
    while (r.left) {
        if (line_len == 0) {
            if (size_t k = r.span(); k >= 64) {
                size_t lines = 0;
                size_t used = kern.decode_lines(r.pos(), k, dst + produced, &lines);
                if (used) {
                    r.skip(used);
                    produced += lines * kLineBytes;
                    continue;
                }
            }
            line_len = (r.get() ^ 0x20) & 0x3F;
            if (line_len > int32_t(kLineBytes)) {
                rc = -1;
                break;
            }
            if (line_len == 0) {
                r.skip_line_ends();
                continue;
            }
        }
        size_t groups = (static_cast<size_t>(line_len) + 2) / 3;
        size_t need = 4 * groups;
        if (r.left < need)
            break;
        if (r.span() >= need) {
            decode_groups(r.pos(), groups, dst + produced);
            r.skip(need);
        } else {
            unsigned char buf[kLineChars];
            r.take(buf, need);
            decode_groups(buf, groups, dst + produced);
        }
        produced += static_cast<size_t>(line_len);
        line_len = kInTail;
        if (!r.skip_to_line_end())
            break;
        line_len = 0;
        r.skip_line_ends();
    }
    if (keep_rest(st->pending, in, r, total - r.left) != 0)
        return -1;
    ztview_commit(out, produced);
    st->line_len = line_len;
    return rc;
}

} // namespace

// ---------------------------------------------------------------------------
// Interface

extern "C" {

ZTMIME_EXPORT ztmime_uu *ztmime_uu_init(unsigned int mode) noexcept
{
    return zt_codec_new<ztmime_uu>([mode](ztmime_uu *s) { return ztmime_uu_reset(s, mode) != nullptr; });
}

ZTMIME_EXPORT ztmime_uu *ztmime_uu_reset(ztmime_uu *state, unsigned int mode) noexcept
{
    if (!state)
        return ztmime_uu_init(mode);
    if (!zt_pending_ready(&state->pending, ZT_MODULE, __LINE__))
        return nullptr;
    state->mode = mode;
    state->line_len = 0;
    return state;
}

ZTMIME_EXPORT int ztmime_uu_update(ztmime_uu *state, ztview *out, const ztview *in) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    if (in == out) {
        // Reading the input while writing into the same view: read a
        // shared duplicate instead.
        ztview *dup = zt_view_dup_front(in, nullptr, ztview_get_len(in));
        if (!dup)
            return -1;
        int rc = ztmime_uu_update(state, out, dup);
        zt_view_free(dup);
        return rc;
    }
    return (state->mode & 1u) ? decode_update(state, out, in) : encode_update(state, out, in);
}

ZTMIME_EXPORT int ztmime_uu_finish(ztmime_uu *state, ztview *out) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    if (state->mode == 1) {
        decode_update(state, out, nullptr);
        return 0;
    }
    return encode_finish(state, out);
}

ZTMIME_EXPORT void ztmime_uu_destroy(ztmime_uu *state) noexcept { zt_codec_free(state, ZT_MODULE, __LINE__); }

ZTMIME_EXPORT ztview *ztmime_uu_decode(const ztview *in) noexcept
{
    return zt_codec_one_shot(ztmime_uu_init(1), in, ztmime_uu_update, ztmime_uu_finish, ZT_MODULE, __LINE__);
}

ZTMIME_EXPORT ztview *ztmime_uu_encode(const ztview *in) noexcept
{
    return zt_codec_one_shot(ztmime_uu_init(0), in, ztmime_uu_update, ztmime_uu_finish, ZT_MODULE, __LINE__);
}

} // extern "C"
