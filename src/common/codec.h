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
