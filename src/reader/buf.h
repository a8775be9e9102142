// A growable byte buffer on the library's allocator (no exceptions: every
// growth reports failure), and the few byte helpers the reader shares.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <utility>

#include "common/alloc.h"
#include "ztview.h"

namespace zt_reader {

struct ByteBuf {
    unsigned char *p = nullptr;
    size_t n = 0;
    size_t cap = 0;

    bool reserve(size_t extra) noexcept
    {
        if (cap - n >= extra)
            return true;
        if (extra > SIZE_MAX / 4 - n) {
            errno = ENOMEM;  // no such size is real; doubling would wrap
            return false;
        }
        size_t want = cap ? cap * 2 : 64;
        while (want - n < extra)
            want *= 2;
        auto *q = static_cast<unsigned char *>(zt_realloc(p, want));
        if (!q)
            return false;
        p = q;
        cap = want;
        return true;
    }
    bool append(const void *d, size_t k) noexcept
    {
        if (!k)
            return true;
        if (!reserve(k))
            return false;
        std::memcpy(p + n, d, k);
        n += k;
        return true;
    }
    bool push(unsigned char c) noexcept { return append(&c, 1); }
    bool append_view(const ztview *v) noexcept
    {
        size_t count = ztview_segment_count(v);
        if (!reserve(ztview_get_len(v)))
            return false;
        for (size_t i = 0; i < count; ++i) {
            const unsigned char *s;
            size_t k;
            if (ztview_segment(v, i, &s, &k) == 0)
                append(s, k);
        }
        return true;
    }
    void clear() noexcept { n = 0; }
    void release() noexcept
    {
        zt_free(p);
        p = nullptr;
        n = cap = 0;
    }
    const char *str(size_t off) const noexcept { return reinterpret_cast<const char *>(p + off); }
};

inline unsigned char lower(unsigned char c) noexcept { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

inline bool iprefix(const unsigned char *p, size_t n, const char *text) noexcept
{
    size_t k = std::strlen(text);
    if (n < k)
        return false;
    for (size_t i = 0; i < k; ++i)
        if (lower(p[i]) != static_cast<unsigned char>(text[i]))
            return false;
    return true;
}

} // namespace zt_reader
