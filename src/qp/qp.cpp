// Streaming quoted-printable codec over views.
//
// Each update makes one pass over the pending bytes, reading them in place
// segment by segment, writes straight into spare room reserved at the end of
// the output view (sized for the call's worst case), commits what it wrote
// and drops the bytes it read with one seek.  Runs of plain bytes are copied
// in bulk; escapes, line ends and the byte after them (lookahead) may lie in
// the next segment and are then read through the view.
#define ZT_MODULE "qp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/alloc.h"
#include "common/codec.h"
#include "common/cpu.h"
#include "common/module.h"
#include "qp/qp_internal.h"
#include "ztmime.h"


using namespace zt_qp;

namespace {

inline int32_t clamp_column(int64_t v) { return v > INT32_MAX ? INT32_MAX : int32_t(v); }

// Walks the segments of the pending view forwards.  Bytes beyond the current
// segment (lookahead, escapes split across segments) are read through the
// view, which is rare enough not to matter.
class Cursor {
  public:
    explicit Cursor(const ztview *v) noexcept : v_(v), nseg_(ztview_segment_count(v)) { load(0); }

    const unsigned char *p = nullptr;  // next byte
    const unsigned char *e = nullptr;  // end of the current segment

    size_t pos() const noexcept { return base_ + size_t(p - seg_); }

    // Byte at absolute offset q >= pos(); q must lie within the view.
    unsigned char at(size_t q) const noexcept
    {
        size_t off = q - base_;
        if (off < size_t(e - seg_))
            return seg_[off];
        unsigned char c = 0;
        ztview_getnchar(v_, q, &c);
        return c;
    }

    // Moves to absolute offset q >= pos().
    void seek(size_t q) noexcept
    {
        while (q - base_ >= size_t(e - seg_) && si_ < nseg_) {
            base_ += size_t(e - seg_);
            load(si_ + 1);
        }
        p = seg_ + (q - base_);
        if (p > e)
            p = e;
    }

    // At the end of the current segment: moves to the next non-empty one;
    // false at the end of the view.
    bool next() noexcept
    {
        while (p == e) {
            if (si_ + 1 >= nseg_)
                return false;
            base_ += size_t(e - seg_);
            load(si_ + 1);
        }
        return true;
    }

  private:
    void load(size_t i) noexcept
    {
        si_ = i;
        size_t len = 0;
        const unsigned char *b = nullptr;
        if (i >= nseg_ || ztview_segment(v_, i, &b, &len) != 0) {
            b = nullptr;
            len = 0;
        }
        seg_ = p = b;
        e = b + len;
    }

    const ztview *v_;
    size_t nseg_;
    size_t si_ = 0;
    size_t base_ = 0;
    const unsigned char *seg_ = nullptr;
};

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// What one update produced: its result, the output written into the room
// reserved at the end of `out` (not yet committed) and the input bytes read.
struct Work {
    int result = 0;
    size_t olen = 0;
    size_t used = 0;
};

// Result of a work function that could not reserve its output room.
constexpr int kNoRoom = -3;

// Output room a decoding update over L pending bytes reserves: every unit
// gives at most one byte; the slack lets the copy store whole vectors.
size_t decode_room(size_t L) { return L + 32; }

// Output room an encoding update over L pending bytes reserves: each byte
// gives at most three characters; a soft line break needs more than 23
// bytes since the previous one, and one may come first.
size_t encode_room(size_t L) { return 3 * L + 3 * (L / 16 + 2); }

// With dot handling: copies bytes from [p, e) to o up to the first "=",
// dropping a dot that starts a line; returns where it stopped.
const unsigned char *copy_dotted(const unsigned char *p, const unsigned char *e, unsigned char *&o, int64_t &col)
{
    while (p < e && *p != '=') {
        unsigned char c = *p++;
        ++col;
        if (is_eol(c))
            col = 0;
        else if (c == '.' && col == 1)
            continue;
        *o++ = c;
    }
    return p;
}

// The byte of the escape "=" c1 c2 (c1 no line end).  A malformed escape
// gives -1 when strict; otherwise a bad first digit reads as 0 and a bad
// second digit makes a space.
inline int escape_value(unsigned char c1, unsigned char c2, bool strict)
{
    const int hi = kTab.hex[c1], lo = kTab.hex[c2];
    if ((hi | lo) >= 0)
        return hi << 4 | lo;
    if (strict)
        return -1;
    return lo < 0 ? 0x20 : lo;
}

Work decode_update(ztmime_qp *s, ztview *out, const ztview *src)
{
    Work w;
    const size_t L = ztview_get_len(src);
    if (L == 0)
        return w;
    auto *dst = static_cast<unsigned char *>(ztview_reserve(out, decode_room(L)));
    if (!dst) {
        w.result = kNoRoom;
        return w;
    }
    const bool dots = s->flags & ZTMIME_QP_DOTS;
    const bool strict = s->flags & ZTMIME_QP_STRICT;
    const Kernels &kern = kernels();
    int64_t col = s->in_column;
    unsigned char *o = dst;
    size_t consumed = L;
    bool failed = false;
    Cursor cur(src);
    while (cur.next()) {
        const unsigned char *p = cur.p, *e = cur.e;
        for (;;) {
            if (!dots) {
                kern.decode_blocks(p, e, o, col);
                size_t n = kern.copy_plain(p, e, o, col);
                p += n;
                o += n;
            } else {
                p = copy_dotted(p, e, o, col);
            }
            if (e - p < 3)
                break;
            // An escape or soft line break inside the segment.
            const unsigned char c1 = p[1], c2 = p[2];
            ++col;
            if (is_eol(c1)) {
                col = 0;
                p += is_eol(c2) ? 3 : 2;
                continue;
            }
            const int v = escape_value(c1, c2, strict);
            if (v < 0) {
                cur.p = p;
                consumed = cur.pos() + 3;
                failed = true;
                break;
            }
            *o++ = static_cast<unsigned char>(v);
            p += 3;
        }
        if (failed)
            break;
        cur.p = p;
        if (cur.p == cur.e)
            continue;
        // An escape that reaches into the next segments, or the end.
        // An escape or a soft line break; its bytes may lie in later segments.
        const size_t q = cur.pos();
        ++col;
        if (L - q - 1 < 2) {
            consumed = q;
            break;
        }
        const unsigned char c1 = cur.at(q + 1), c2 = cur.at(q + 2);
        size_t next = q + 3;
        if (is_eol(c1)) {
            col = 0;
            if (!is_eol(c2))
                next = q + 2;
        } else {
            const int v = escape_value(c1, c2, strict);
            if (v < 0) {
                consumed = q + 3;
                failed = true;
                break;
            }
            *o++ = static_cast<unsigned char>(v);
        }
        cur.seek(next);
    }
    s->in_column = clamp_column(col);
    w.olen = failed ? 0 : size_t(o - dst);
    w.used = consumed;
    w.result = failed ? -1 : 0;
    return w;
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

// Text mode: a line ends at CR LF or LF, which are copied; the encoder
// escapes what is not visible ASCII, breaks long lines and protects a
// space before a line end.
unsigned char *encode_text(ztmime_qp *s, Cursor &cur, size_t L, unsigned char *o)
{
    const bool dots = s->flags & ZTMIME_QP_DOTS;
    const Kernels &kern = kernels();
    int64_t in_col = s->in_column, out_col = s->out_column;
    while (cur.next()) {
        // Bulk: visible bytes, spaces not followed by a line end and bytes
        // that are always escaped, as long as the line stays short of the
        // limit (so that neither a carry nor a soft break can be due).  A dot
        // that starts a line with dot handling, line ends and spaces before
        // them go the per-byte way, except in the compress path, which takes
        // soft breaks, spaces before line ends and (without dot handling)
        // line ends itself.
        if (out_col < kMaxColumn - 1 && !(dots && in_col == 0 && *cur.p == '.')) {
            const unsigned char *p = cur.p;
            const size_t avail = size_t(cur.e - p);
            int64_t oc = out_col;  // output column
            // The vector kernel moves the input column for the bytes it takes.
            const size_t vk = kern.encode_text_run(p, avail, dots, o, oc, in_col);
            size_t k = vk;  // input bytes taken
            while (oc < kMaxColumn - 1 && k < avail) {
                unsigned char c = p[k];
                if (!kTab.text_lit[c] && !(c == ' ' && k + 1 < avail && !is_eol(p[k + 1])))
                    break;
                *o++ = c;
                ++k;
                ++oc;
            }
            if (k > 0) {
                cur.p += k;
                in_col += int64_t(k - vk);
                out_col = oc;
                // The byte that stopped the run goes the per-byte way.
                if (cur.p == cur.e)
                    continue;
            }
        }
        const size_t q = cur.pos();
        const unsigned char c = *cur.p++;
        ++in_col;
        if (kTab.text_lit[c]) {
            const bool twice = dots && c == '.';
            if (++out_col >= kMaxColumn) {
                // Carry the character to a new line.
                o = put_soft_break(o);
                *o++ = c;
                if (twice)
                    *o++ = c;
                out_col = 1;
            } else {
                *o++ = c;
                if (twice && in_col == 1)
                    *o++ = c;
            }
        } else if (c == ' ') {
            if (q + 1 < L && is_eol(cur.at(q + 1))) {
                o = put_escape(o, c);
                out_col += 3;
            } else {
                *o++ = c;
                ++out_col;
            }
        } else if (c == '\n') {
            *o++ = c;
            out_col = in_col = 0;
        } else if (c == '\r') {
            if (q + 1 < L && cur.at(q + 1) == '\n') {
                *o++ = '\r';
                *o++ = '\n';
                cur.seek(q + 2);
                out_col = in_col = 0;
            } else {
                o = put_escape(o, c);
                out_col += 3;
            }
        } else {
            if (out_col > kMaxColumn) {
                o = put_soft_break(o);
                out_col = 0;
            }
            o = put_escape(o, c);
            out_col += 3;
        }
    }
    s->in_column = clamp_column(in_col);
    s->out_column = clamp_column(out_col);
    return o;
}

// Binary mode: every byte that is not a plain visible character is escaped
// (CR, LF, space, "." and "=" included); a soft line break follows any byte
// that brings the line to the limit.
unsigned char *encode_binary(ztmime_qp *s, Cursor &cur, unsigned char *o)
{
    int64_t in_col = s->in_column, out_col = s->out_column;
    while (cur.next()) {
        const unsigned char *p = cur.p, *e = cur.e;
        in_col += e - p;
        for (; p < e; ++p) {
            unsigned char c = *p;
            if (kTab.bin_lit[c]) {
                *o++ = c;
                ++out_col;
            } else {
                o = put_escape(o, c);
                out_col += 3;
            }
            if (out_col >= kMaxColumn) {
                o = put_soft_break(o);
                out_col = 1;
            }
        }
        cur.p = e;
    }
    s->in_column = clamp_column(in_col);
    s->out_column = clamp_column(out_col);
    return o;
}

Work encode_update(ztmime_qp *s, ztview *out, const ztview *src)
{
    Work w;
    const size_t L = ztview_get_len(src);
    if (L == 0)
        return w;
    auto *dst = static_cast<unsigned char *>(ztview_reserve(out, encode_room(L)));
    if (!dst) {
        w.result = kNoRoom;
        return w;
    }
    Cursor cur(src);
    unsigned char *o = (s->flags & ZTMIME_QP_BINARY) ? encode_binary(s, cur, dst)
                                                      : encode_text(s, cur, L, dst);
    w.olen = size_t(o - dst);
    w.used = L;
    return w;
}

} // namespace

namespace zt_qp {

size_t copy_plain_portable(const unsigned char *p, const unsigned char *e, unsigned char *o, int64_t &col) noexcept
{
    size_t n = 0;
    for (const size_t avail = size_t(e - p); n < avail; ++n) {
        unsigned char c = p[n];
        if (c == '=')
            break;
        o[n] = c;
        col = is_eol(c) ? 0 : col + 1;
    }
    return n;
}

void decode_blocks_none(const unsigned char *&, const unsigned char *, unsigned char *&, int64_t &) noexcept {}

namespace {
size_t encode_text_none(const unsigned char *, size_t, bool, unsigned char *&, int64_t &, int64_t &) noexcept
{
    return 0;
}
constexpr Kernels kPortable{0, decode_blocks_none, copy_plain_portable, encode_text_none};
} // namespace

const Kernels &kernels() noexcept
{
    static const Kernels &best = zt_cpu::pick(x86_kernels(), kPortable);
    return zt_cpu::limited() ? zt_cpu::pick(x86_kernels(), kPortable) : best;
}

} // namespace zt_qp

extern "C" {

ztmime_qp *ztmime_qp_init(unsigned int flags) noexcept
{
    return zt_codec_new<ztmime_qp>([flags](ztmime_qp *s) { return ztmime_qp_reset(s, flags) != nullptr; });
}

ztmime_qp *ztmime_qp_reset(ztmime_qp *state, unsigned int flags) noexcept
{
    if (!state)
        return ztmime_qp_init(flags);
    if (!zt_pending_ready(&state->pending, ZT_MODULE, __LINE__))
        return nullptr;
    state->flags = flags;
    state->in_column = 0;
    state->out_column = 0;
    return state;
}

int ztmime_qp_update(ztmime_qp *state, ztview *out, const ztview *in) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    ztview *pend = state->pending;
    const size_t n = in ? ztview_get_len(in) : 0;
    // With nothing pending the input is read in place and only what the
    // call leaves unread is copied into pending; otherwise it is first
    // appended to what is pending.
    const bool direct = n > 0 && in != out && ztview_get_len(pend) == 0;
    if (n > 0 && !direct) {
        // The output room is reserved before the input is taken, so that a
        // failure leaves pending as it was; the update's own reservation of
        // the same size then reuses it.
        const size_t L = ztview_get_len(pend) + n;
        if (!ztview_reserve(out, (state->flags & ZTMIME_QP_DECODE) ? decode_room(L) : encode_room(L)))
            return -1;
        if (ztview_concat(pend, in) != 0)
            return -1;
    }
    const ztview *src = direct ? in : pend;
    const int32_t in_col = state->in_column, out_col = state->out_column;
    Work w = (state->flags & ZTMIME_QP_DECODE) ? decode_update(state, out, src)
                                                : encode_update(state, out, src);
    if (w.result == kNoRoom)
        return -1;  // read in place: the input is not taken
    if (direct && w.used < n && zt_append_tail(pend, in, w.used) != 0) {
        // The call leaves no trace: the input is not taken.
        ztview_rewind(pend);
        ztview_commit(out, 0);
        state->in_column = in_col;
        state->out_column = out_col;
        return -1;
    }
    ztview_commit(out, w.olen);
    if (!direct)
        ztview_seek(pend, w.used, ZTVIEW_SEEK_FRONT);
    return w.result;
}

int ztmime_qp_finish(ztmime_qp *state, ztview *out) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    ztview *pend = state->pending;
    if (state->flags & ZTMIME_QP_DECODE) {
        if (ztview_get_len(pend) == 0)
            return 0;
        if (ztmime_qp_update(state, out, nullptr) != 0)
            return -1;
        ztview_skip_while(pend, " \r\n\t");
        if (ztview_get_len(pend) == 0)
            return 0;
        ztview_rewind(pend);
        return -1;
    }
    if (state->out_column != 0 && ztview_append(out, "\r\n", 2) != 0)
        return -1;
    ztview_rewind(pend);
    return 0;
}

void ztmime_qp_destroy(ztmime_qp *state) noexcept { zt_codec_free(state, ZT_MODULE, __LINE__); }

static ztview *qp_oneshot(const ztview *in, unsigned int flags) noexcept
{
    return zt_codec_one_shot(ztmime_qp_init(flags), in, ztmime_qp_update, ztmime_qp_finish, ZT_MODULE, __LINE__);
}

ztview *ztmime_qp_decode(const ztview *in) noexcept
{
    return qp_oneshot(in, ZTMIME_QP_DECODE | ZTMIME_QP_STRICT);
}

ztview *ztmime_qp_encode(const ztview *in) noexcept { return qp_oneshot(in, 0); }

} // extern "C"
