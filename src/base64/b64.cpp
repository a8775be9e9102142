// Streaming base64 codec over views.
//
// Each update makes one pass over the pending bytes, reading them in place
// segment by segment, writes straight into spare room reserved at the end of
// the output view (sized for the call's worst case), commits what it wrote
// and drops the consumed input with one seek.  Groups that straddle a segment
// boundary go through a small per-byte path; whole groups inside a segment go
// through table-driven fast paths (and a vector path where the CPU has one).
#define ZT_MODULE "base64"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base64/b64_internal.h"
#include "common/alloc.h"
#include "common/codec.h"
#include "common/cpu.h"
#include "common/module.h"
#include "ztmime.h"

namespace {

using zt_b64::kBad;
using zt_b64::kDec;
using zt_b64::put_group;

const char kNoError[] = "";
const char kErrInvalid[] = "invalid b64 characters in input";
const char kErrPad[] = "extra pad characters in b64 input";
const char kErrMem[] = "Unable allocate memory for b64";

// Groups per output line when line breaks are on (76 characters).
constexpr int kGroupsPerLine = 19;

// Encode table: 12 input bits to two alphabet characters, stored in memory
// order so that one 16-bit store writes both.
struct PairTable {
    uint16_t e[4096];
};

constexpr PairTable make_pair_table()
{
    PairTable t{};
    for (int i = 0; i < 4096; ++i) {
        auto hi = uint16_t(uint8_t(zt_b64::kAlphabet[i >> 6]));
        auto lo = uint16_t(uint8_t(zt_b64::kAlphabet[i & 63]));
        t.e[i] = uint16_t(hi | (lo << 8));  // little-endian: first char first
    }
    return t;
}
constexpr PairTable kPairs = make_pair_table();

inline void store16(unsigned char *p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void store32(unsigned char *p, uint32_t v) { std::memcpy(p, &v, 4); }

inline void put_chars(unsigned char *p, uint32_t v)
{
    store16(p, kPairs.e[v >> 12]);
    store16(p + 2, kPairs.e[v & 0xfff]);
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// What one decoding call has seen so far.
struct DecodeCall {
    unsigned char *out;     // reserved output room
    size_t olen = 0;        // bytes written
    size_t consumed = 0;    // input bytes consumed (through the last decoded group)
    size_t extra = 0;       // extra pad characters met (each drops one more byte)
    bool met_extra = false; // an extra pad character was met: no more output
    bool failed = false;    // a complete group held an invalid character
    // The group being collected.
    int n = 0;              // characters collected (0..3)
    uint32_t acc = 0;       // their values, 6 bits each
    bool bad = false;       // one of them is not a base64 digit
    int pads = 0;           // "=" in the third and fourth positions
    bool last_pad = false;  // the fourth character is "="
};

// Feeds one byte at absolute offset `pos` (so the group, if completed, is
// consumed through pos + 1).  Returns false when the call fails.
inline bool decode_byte(DecodeCall &d, ztmime_b64 *s, unsigned char c, size_t pos)
{
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
        return true;
    uint32_t v;
    if (c == '=') {
        v = 0;
        if (d.n < 2) {
            // A pad where the group has fewer than two digits.
            s->pad_errors++;
            d.met_extra = true;
            d.extra++;
        } else {
            d.pads++;
            if (d.met_extra)
                s->pad_errors++;
            if (d.n == 3)
                d.last_pad = true;
        }
    } else {
        v = zt_b64::kDecode[c];
        if (v >= 128)
            d.bad = true;
    }
    d.acc = (d.acc << 6) | (v & 63);
    if (++d.n < 4)
        return true;
    // The group is complete.
    if (!d.met_extra) {
        if (d.bad) {
            d.failed = true;
            return false;
        }
        put_group(d.out + d.olen, d.acc);
        // A final group of three digits and one pad yields two bytes, of
        // two digits and two pads one byte; each group trims only itself.
        d.olen += 3 - (d.last_pad ? d.pads : 0);
        d.consumed = pos + 1;
    }
    d.n = 0;
    d.acc = 0;
    d.bad = false;
    d.pads = 0;
    d.last_pad = false;
    return true;
}

// Decodes whole groups from [p, e), stepping over the CR LF that ends each
// line of the usual encoded form; returns where it stopped (at a byte for
// the per-byte path) and sets `group_end` just past the last group decoded
// (unchanged when none was).  Line ends stepped over are whitespace read
// for the next group: they count as consumed only once a group follows.
inline const unsigned char *decode_run(const unsigned char *p, const unsigned char *e,
                                       unsigned char *out, size_t &olen,
                                       const unsigned char *&group_end)
{
    const auto run = zt_b64::kernels().decode_run;
    for (;;) {
        const unsigned char *q = run(p, e, out, olen);
        if (q != p)
            group_end = q;
        if (e - q < 2 || q[0] != '\r' || q[1] != '\n')
            return q;
        p = q + 2;
    }
}

// What one update produced: its result, the output written into the room
// reserved at the end of `out` (not yet committed) and the input bytes to
// drop from the front of the source.
struct Work {
    int result = 0;
    size_t olen = 0;
    size_t drop = 0;
};

// Result of a work function that could not reserve its output room.
constexpr int kNoRoom = -3;

// Output room a decoding update over L pending characters reserves.  Worst
// case: every four characters give three bytes; the slack lets the group
// writers store whole words (4 bytes, or 32 for the vector path, of which 24
// are output).
size_t decode_room(size_t L) { return 3 * ((L + 3) / 4) + 32; }

Work decode_update(ztmime_b64 *s, ztview *out, const ztview *src)
{
    Work w;
    size_t L = ztview_get_len(src);
    if (L == 0)
        return w;
    auto *dst = static_cast<unsigned char *>(ztview_reserve(out, decode_room(L)));
    if (!dst) {
        w.result = kNoRoom;
        return w;
    }
    DecodeCall d;
    d.out = dst;
    size_t nseg = ztview_segment_count(src);
    size_t base = 0;  // absolute offset of the segment's first byte
    for (size_t si = 0; si < nseg; ++si) {
        const unsigned char *seg;
        size_t len;
        if (ztview_segment(src, si, &seg, &len) != 0)
            break;
        const unsigned char *p = seg, *e = seg + len;
        while (p < e) {
            if (d.n == 0 && !d.met_extra) {
                const unsigned char *group_end = nullptr;
                p = decode_run(p, e, d.out, d.olen, group_end);
                if (group_end)
                    d.consumed = base + size_t(group_end - seg);
                if (p == e)
                    break;
            }
            if (!decode_byte(d, s, *p, base + size_t(p - seg))) {
                w.result = -1;
                return w;
            }
            ++p;
        }
        base += len;
    }
    w.olen = d.olen;
    w.drop = d.consumed + d.extra;
    w.result = d.met_extra ? -2 : 0;
    return w;
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

// Output room an encoding update over L pending bytes reserves: four
// characters a group, the line breaks due, and slack for the last store.
size_t encode_room(const ztmime_b64 *s, size_t L)
{
    size_t groups = L / 3;
    size_t nbreaks = s->line_groups >= 0 ? (size_t(s->line_groups) % kGroupsPerLine + groups) / kGroupsPerLine : 0;
    return 4 * groups + 2 * nbreaks + 4;
}

// Encodes the whole groups of `carried` (fewer than three bytes left over
// by the last call) followed by the bytes of `src`.  w.drop counts the
// carried bytes too.
Work encode_update(ztmime_b64 *s, ztview *out, const ztview *src, const unsigned char *carried = nullptr,
                   size_t ncarried = 0)
{
    Work w;
    size_t L = ncarried + ztview_get_len(src);
    size_t groups = L / 3;
    if (groups == 0)
        return w;
    const bool breaks = s->line_groups >= 0;
    const size_t lg = breaks ? size_t(s->line_groups) : 0;
    auto *dst = static_cast<unsigned char *>(ztview_reserve(out, encode_room(s, L)));
    if (!dst) {
        w.result = kNoRoom;
        return w;
    }
    unsigned char *o = dst;
    // Groups until the next line break (never reached without breaks).
    size_t left = breaks ? kGroupsPerLine - lg % kGroupsPerLine : SIZE_MAX;
    size_t todo = groups;
    unsigned char carry[3];
    int cn = int(ncarried);
    if (ncarried)
        std::memcpy(carry, carried, ncarried);
    const zt_b64::Kernels &kern = zt_b64::kernels();
    size_t nseg = ztview_segment_count(src);
    for (size_t si = 0; si < nseg && todo > 0; ++si) {
        const unsigned char *p;
        size_t len;
        if (ztview_segment(src, si, &p, &len) != 0)
            break;
        const unsigned char *e = p + len;
        // Finish a group begun in earlier segments.
        while (cn > 0 && cn < 3 && p < e) {
            carry[cn++] = *p++;
            if (cn == 3) {
                put_chars(o, uint32_t(carry[0]) << 16 | uint32_t(carry[1]) << 8 | carry[2]);
                o += 4;
                cn = 0;
                --todo;
                if (--left == 0) {
                    *o++ = '\r';
                    *o++ = '\n';
                    left = kGroupsPerLine;
                }
            }
        }
        while (todo > 0 && e - p >= 3) {
            if (breaks && left == kGroupsPerLine) {
                // Whole output lines in one kernel call.
                const size_t lines = std::min(todo, size_t(e - p) / 3) / kGroupsPerLine;
                kern.encode_lines(p, lines, size_t(e - p), o);
                p += 3 * kGroupsPerLine * lines;
                o += (4 * kGroupsPerLine + 2) * lines;
                todo -= kGroupsPerLine * lines;
                if (todo == 0 || e - p < 3)
                    break;
            }
            size_t n = size_t(e - p) / 3;
            if (n > todo)
                n = todo;
            if (n > left)
                n = left;
            kern.encode_groups(p, n, size_t(e - p), o);
            p += 3 * n;
            o += 4 * n;
            todo -= n;
            left -= n;
            if (left == 0) {
                *o++ = '\r';
                *o++ = '\n';
                left = kGroupsPerLine;
            }
        }
        while (todo > 0 && p < e && cn < 3)
            carry[cn++] = *p++;
    }
    w.olen = size_t(o - dst);
    w.drop = 3 * groups;
    return w;
}

// Counts `groups` more encoded groups on the current line.
void count_groups(ztmime_b64 *s, size_t groups)
{
    if (s->line_groups < 0)
        return;
    // The count only matters modulo the line length; past the range of the
    // field it wraps to a value with the same remainder.
    uint64_t nv = uint64_t(s->line_groups) + groups;
    if (nv > INT32_MAX)
        nv = uint64_t(kGroupsPerLine) * (1u << 25) + nv % kGroupsPerLine;
    s->line_groups = int32_t(nv);
}

int fail_mem(ztmime_b64 *s)
{
    errno = ENOMEM;
    s->error = kErrMem;
    return -1;
}

// Encoding after a call that left one or two bytes over: they start the
// first group and the input is read in place, so that only the bytes after
// the last whole group are copied (a host feeding pieces whose length is
// no multiple of three would otherwise copy every piece).
int encode_carried(ztmime_b64 *s, ztview *out, const ztview *in, size_t n)
{
    ztview *pend = s->pending;
    unsigned char carried[2], tail[2];
    const size_t plen = ztview_get_len(pend);
    for (size_t i = 0; i < plen; ++i)
        ztview_getnchar(pend, i, &carried[i]);
    Work w = encode_update(s, out, in, carried, plen);
    if (w.result == kNoRoom)
        return fail_mem(s);
    if (w.drop == 0)
        return ztview_concat(pend, in) == 0 ? 0 : fail_mem(s);
    // Fewer than three bytes of the input are left; they replace pending
    // in one append, so that a failure keeps nothing.
    const size_t used = w.drop - plen, tn = n - used;
    for (size_t i = 0; i < tn; ++i)
        ztview_getnchar(in, used + i, &tail[i]);
    if (tn && ztview_append(pend, tail, tn) != 0) {
        ztview_commit(out, 0);
        return fail_mem(s);
    }
    ztview_seek(pend, plen, ZTVIEW_SEEK_FRONT);
    ztview_commit(out, w.olen);
    count_groups(s, w.drop / 3);
    return 0;
}

void set_fields(ztmime_b64 *s, int flags)
{
    s->mode = (flags & ZTMIME_B64_DECODE) ? 1u : 0u;
    s->line_groups = (flags & ZTMIME_B64_NO_BREAKS) ? -1 : 0;
    s->pad_errors = 0;
    s->error = kNoError;
}

} // namespace

namespace zt_b64 {

const unsigned char *decode_run_portable(const unsigned char *p, const unsigned char *e, unsigned char *out,
                                         size_t &olen) noexcept
{
    return decode_groups(p, e, out, olen);
}

void encode_groups_portable(const unsigned char *in, size_t groups, unsigned char *out) noexcept
{
    for (size_t i = 0; i < groups; ++i, in += 3, out += 4)
        put_chars(out, uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2]);
}

void encode_lines_portable(const unsigned char *in, size_t lines, unsigned char *out) noexcept
{
    for (size_t i = 0; i < lines; ++i, in += 3 * kGroupsPerLine, out += 4 * kGroupsPerLine + 2) {
        encode_groups_portable(in, kGroupsPerLine, out);
        out[4 * kGroupsPerLine] = '\r';
        out[4 * kGroupsPerLine + 1] = '\n';
    }
}

namespace {
void encode_groups_any(const unsigned char *in, size_t groups, size_t, unsigned char *out) noexcept
{
    encode_groups_portable(in, groups, out);
}
void encode_lines_any(const unsigned char *in, size_t lines, size_t, unsigned char *out) noexcept
{
    encode_lines_portable(in, lines, out);
}
constexpr Kernels kPortable{0, decode_run_portable, encode_groups_any, encode_lines_any};
} // namespace

const Kernels &kernels() noexcept
{
    static const Kernels &best = zt_cpu::pick(x86_kernels(), kPortable);
    return zt_cpu::limited() ? zt_cpu::pick(x86_kernels(), kPortable) : best;
}

long decode_exact(const unsigned char *t, size_t n, unsigned char *out) noexcept
{
    if (n == 0 || n % 4)
        return -1;
    // All groups but the last through the decoding kernel: it writes at
    // most 3/4 of the characters it reads plus 8 bytes of scratch, which
    // stays inside n bytes of room as the last group is left out.
    size_t olen = 0;
    const unsigned char *last = t + n - 4;
    if (kernels().decode_run(t, last, out, olen) != last)
        return -1;
    const size_t pad = last[3] != '=' ? 0 : last[2] == '=' ? 2 : 1;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
        uint32_t d = k < 4 - pad ? kDecode[last[k]] : 0;
        if (d >= 64 || (k < 4 - pad && last[k] == '='))
            return -1;
        v = v << 6 | d;
    }
    // The bits a padded group leaves over must be zero.
    if ((pad == 2 && (v & 0xffff)) || (pad == 1 && (v & 0xff)))
        return -1;
    const unsigned char bytes[3] = {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    std::memcpy(out + olen, bytes, 3 - pad);
    return long(olen + 3 - pad);
}

} // namespace zt_b64

extern "C" {

ztmime_b64 *ztmime_b64_init(int flags) noexcept
{
    return zt_codec_new<ztmime_b64>([flags](ztmime_b64 *s) { return ztmime_b64_reset(s, flags) != nullptr; });
}

ztmime_b64 *ztmime_b64_reset(ztmime_b64 *state, int flags) noexcept
{
    if (!state)
        return ztmime_b64_init(flags);
    if (!zt_pending_ready(&state->pending, ZT_MODULE, __LINE__))
        return nullptr;
    set_fields(state, flags);
    return state;
}

int ztmime_b64_update(ztmime_b64 *state, ztview *out, const ztview *in) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    if (state->pad_errors != 0)
        return -2;
    ztview *pend = state->pending;
    const size_t n = in ? ztview_get_len(in) : 0;
    if (state->mode == 0 && n > 0 && in != out && ztview_get_len(pend) - 1 < 2)
        return encode_carried(state, out, in, n);  // one or two bytes carried
    // With nothing pending the input is read in place and only what the
    // call leaves unconsumed is copied into pending; otherwise it is first
    // appended to what is pending.
    const bool direct = n > 0 && in != out && ztview_get_len(pend) == 0;
    if (n > 0 && !direct) {
        // The output room is reserved before the input is taken, so that a
        // failure leaves pending as it was; the update's own reservation of
        // the same size then reuses it.
        const size_t L = ztview_get_len(pend) + n;
        if (!ztview_reserve(out, state->mode != 0 ? decode_room(L) : encode_room(state, L)))
            return fail_mem(state);
        if (ztview_concat(pend, in) != 0)
            return fail_mem(state);
    }
    const ztview *src = direct ? in : pend;
    Work w = state->mode != 0 ? decode_update(state, out, src) : encode_update(state, out, src);
    if (w.result == kNoRoom)
        return fail_mem(state);  // read in place: the input is not taken
    if (w.result == -1) {
        // An invalid character: nothing is delivered and the whole input
        // stays pending.
        ztview_commit(out, 0);
        if (direct && ztview_concat(pend, in) != 0)
            return fail_mem(state);
        state->error = kErrInvalid;
        return -1;
    }
    if (direct && w.drop < n && zt_append_tail(pend, in, w.drop) != 0) {
        // The call leaves no trace: the input is not taken.
        ztview_rewind(pend);
        ztview_commit(out, 0);
        state->pad_errors = 0;
        return fail_mem(state);
    }
    ztview_commit(out, w.olen);
    if (!direct)
        ztview_seek(pend, w.drop, ZTVIEW_SEEK_FRONT);
    if (state->mode == 0)
        count_groups(state, w.drop / 3);
    if (w.result == -2) {
        state->error = kErrPad;
        return -2;
    }
    return 0;
}

int ztmime_b64_finish(ztmime_b64 *state, ztview *out) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    ztview *pend = state->pending;
    size_t L = ztview_get_len(pend);
    if (state->mode != 0) {
        if (L == 0)
            return 0;
        int r = ztmime_b64_update(state, out, nullptr);
        if (r != 0)
            return r;
        ztview_skip_while(pend, " \r\n\t");
        if (ztview_get_len(pend) == 0)
            return 0;
        ztview_rewind(pend);
        return -1;
    }
    if (L >= 3)
        return -1;
    const bool breaks = state->line_groups >= 0;
    char tail[6];
    size_t n = 0;
    if (L > 0) {
        unsigned char b[2] = {0, 0};
        for (size_t i = 0; i < L; ++i)
            ztview_getnchar(pend, i, &b[i]);
        uint32_t v = uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8;
        tail[0] = zt_b64::kAlphabet[v >> 18];
        tail[1] = zt_b64::kAlphabet[(v >> 12) & 63];
        tail[2] = L == 2 ? zt_b64::kAlphabet[(v >> 6) & 63] : '=';
        tail[3] = '=';
        n = 4;
    }
    if (breaks) {
        tail[n++] = '\r';
        tail[n++] = '\n';
    }
    if (n > 0 && ztview_append(out, tail, n) != 0) {
        errno = ENOMEM;
        state->error = kErrMem;
        return -1;
    }
    ztview_rewind(pend);
    return 0;
}

void ztmime_b64_destroy(ztmime_b64 *state) noexcept { zt_codec_free(state, ZT_MODULE, __LINE__); }

static ztview *b64_oneshot(const ztview *in, int flags) noexcept
{
    return zt_codec_one_shot(ztmime_b64_init(flags), in, ztmime_b64_update, ztmime_b64_finish, ZT_MODULE, __LINE__);
}

ztview *ztmime_b64_decode(const ztview *in) noexcept { return b64_oneshot(in, ZTMIME_B64_DECODE); }

ztview *ztmime_b64_encode(const ztview *in) noexcept { return b64_oneshot(in, 0); }

} // extern "C"
