// Dot-stuffing filter: adds a "." before every line that starts with "."
// (add mode) or drops the first "." of such lines (remove mode).  Lines end
// at LF.  Bytes are never copied by the filter: whole lines move from the
// pending view to the output; the only byte it writes is an added ".".
#define ZT_MODULE "encode"

#include <cerrno>
#include <cstring>

#include "common/alloc.h"
#include "common/codec.h"
#include "common/module.h"
#include "ztmime.h"

namespace {

// Lines that need no treatment pass on together: finds the first LF that is
// followed by a "." and stores in *n the number of bytes up to and including
// it.  Returns false when there is none; *last is then the view's last byte
// (-1 when empty).  Reads the segments in place.
bool find_dot_line(const ztview *v, size_t *n, int *last)
{
    size_t count = ztview_segment_count(v);
    size_t off = 0;
    bool lf_at_end = false; // the previous segment ended with LF
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *b;
        size_t len;
        if (ztview_segment(v, i, &b, &len) != 0 || len == 0)
            continue;
        if (lf_at_end && b[0] == '.') {
            *n = off;
            return true;
        }
        lf_at_end = false;
        const unsigned char *p = b, *e = b + len;
        while (const void *hit = std::memchr(p, '\n', static_cast<size_t>(e - p))) {
            const unsigned char *q = static_cast<const unsigned char *>(hit);
            if (q + 1 == e) {
                lf_at_end = true;
                break;
            }
            if (q[1] == '.') {
                *n = off + static_cast<size_t>(q - b) + 1;
                return true;
            }
            p = q + 1;
        }
        *last = e[-1];
        off += len;
    }
    return false;
}

} // namespace

extern "C" {

ZTMIME_EXPORT ztmime_dot *ztmime_dot_init(unsigned int flags) noexcept
{
    // A new filter keeps only the direction bit; reset stores flags whole.
    return zt_codec_new<ztmime_dot>([flags](ztmime_dot *s) { return ztmime_dot_reset(s, flags & 1u) != nullptr; });
}

ZTMIME_EXPORT ztmime_dot *ztmime_dot_reset(ztmime_dot *state, unsigned int flags) noexcept
{
    if (!state)
        return ztmime_dot_init(flags);
    if (!zt_pending_ready(&state->pending, ZT_MODULE, __LINE__))
        return nullptr;
    state->mode = flags;
    state->at_line_start = 1;
    return state;
}

ZTMIME_EXPORT int ztmime_dot_update(ztmime_dot *state, ztview *out, const ztview *in) noexcept
{
    if (!state || !out || !state->pending)
        return -1;
    ztview *pending = state->pending;
    if (in && ztview_concat(pending, in) != 0)
        return -1;
    while (ztview_get_len(pending) != 0) {
        if (state->at_line_start && ztview_peekchar(pending) == '.') {
            if (state->mode & 1u) {
                ztview_getchar(pending);
            } else if (ztview_append(out, ".", 1) != 0) {
                return -1;
            }
        }
        // The line has had its treatment: should a move below fail, the
        // next call passes the rest on without treating it again.
        state->at_line_start = 0;
        size_t n = 0;
        int last = -1;
        bool more = find_dot_line(pending, &n, &last);
        if (!more)
            n = ztview_get_len(pending);
        if (n && !zt_view_move(out, pending, n))
            return -1;
        if (!more) {
            state->at_line_start = last == '\n';
            return 0;
        }
        state->at_line_start = 1;
    }
    return 0;
}

ZTMIME_EXPORT int ztmime_dot_finish(ztmime_dot *state, ztview *out) noexcept
{
    if (!state || !out)
        return -1;
    if (ztview_get_len(state->pending) &&
        !zt_view_move(out, state->pending, ztview_get_len(state->pending)))
        return -1;
    return 0;
}

ZTMIME_EXPORT void ztmime_dot_destroy(ztmime_dot *state) noexcept { zt_codec_free(state, ZT_MODULE, __LINE__); }

} // extern "C"
