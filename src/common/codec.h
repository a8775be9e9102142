// Life-cycle pieces shared by the streaming codecs.
#pragma once

#include <cerrno>

#include "common/alloc.h"
#include "ztview.h"

// Readies a codec state's pending view for a new stream: empties it, or
// makes it for a zero-filled state (as embedded in a fresh encoder object).
// False when it cannot be made.
inline bool zt_pending_ready(ztview **pending, const char *module, int line) noexcept
{
    if (*pending) {
        ztview_rewind(*pending);
        return true;
    }
    *pending = _ztview_init(module, line);
    return *pending != nullptr;
}

// A codec's init: a zero-filled state prepared by the codec's own reset.
// Null with errno ENOMEM when the record cannot be allocated; null when the
// reset fails (the record is released, errno as the view library left it).
template <class State, class Reset> State *zt_codec_new(Reset reset) noexcept
{
    auto *state = static_cast<State *>(zt_calloc(1, sizeof(State)));
    if (!state) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!reset(state)) {
        zt_free(state);
        return nullptr;
    }
    return state;
}

// A codec's destroy: releases the pending view (under the codec's module,
// for view accounting) and the record.  Null is ignored.
template <class State> void zt_codec_free(State *state, const char *module, int line) noexcept
{
    if (!state)
        return;
    _ztview_destroy(state->pending, module, line);
    zt_free(state);
}

// A codec's one-shot form: a fresh state (null when it cannot be made) takes
// the whole input in one update and a finish.  The output view, owned by the
// caller, or null when a step failed; nothing is left allocated.
template <class State, class Update, class Finish>
ztview *zt_codec_one_shot(State *state, const ztview *in, Update update, Finish finish, const char *module,
                          int line) noexcept
{
    if (!state)
        return nullptr;
    ztview *out = _ztview_init(module, line);
    if (out && (update(state, out, in) != 0 || finish(state, out) != 0)) {
        _ztview_destroy(out, module, line);
        out = nullptr;
    }
    zt_codec_free(state, module, line);
    return out;
}

// Appends a copy of the bytes of `src` from offset `from` on to `dst`: the
// part of a caller's input that a codec read in place but did not consume.
// 0, or -1 when out of memory (dst may then hold part of them).
inline int zt_append_tail(ztview *dst, const ztview *src, size_t from) noexcept
{
    size_t base = 0, n = ztview_segment_count(src);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char *b;
        size_t len;
        if (ztview_segment(src, i, &b, &len) != 0)
            break;
        if (base + len > from) {
            size_t off = from > base ? from - base : 0;
            if (ztview_append(dst, b + off, len - off) != 0)
                return -1;
        }
        base += len;
    }
    return 0;
}
