// Views: reading and comparing at the front without changing the view.
#include <algorithm>
#include <cstring>

#include "common/alloc.h"
#include "view_internal.h"

namespace {

// 256-bit membership table of a byte set.
struct ByteSet {
    uint64_t bits[4] = {0, 0, 0, 0};
    ByteSet(const char *set, size_t n) noexcept
    {
        for (size_t i = 0; i < n; ++i) {
            auto c = static_cast<unsigned char>(set[i]);
            bits[c >> 6] |= uint64_t{1} << (c & 63);
        }
    }
    bool has(unsigned char c) const noexcept { return (bits[c >> 6] >> (c & 63)) & 1; }
};

// Length of the leading run whose bytes are (want true) or are not in set.
size_t span(const ztview *v, const char *set, size_t setlen, bool want) noexcept
{
    if (!v || (!set && setlen))
        return 0;
    if (!want && setlen == 1) {
        long at = ztview_find_byte(v, static_cast<unsigned char>(set[0]));
        return at < 0 ? v->len : static_cast<size_t>(at);
    }
    ByteSet bs(set, setlen);
    size_t total = 0;
    for (uint32_t i = 0; i < v->count; ++i) {
        const zt_seg &s = v->segs[v->head + i];
        size_t j = 0;
        while (j < s.n && bs.has(s.p[j]) == want)
            ++j;
        total += j;
        if (j < s.n)
            break;
    }
    return total;
}

int fold(int c) noexcept { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Compares the view's first n bytes with text (stopping at the text's NUL
// as strncmp does); `caseless` folds ASCII letters.
int compare_text(const ztview *v, const char *text, size_t n, bool caseless) noexcept
{
    if (!text)
        return v && v->len ? 1 : 0;
    size_t i = 0;
    for (uint32_t k = 0; v && k < v->count && i < n; ++k) {
        const zt_seg &s = v->segs[v->head + k];
        for (size_t j = 0; j < s.n && i < n; ++j, ++i) {
            int a = s.p[j], b = static_cast<unsigned char>(text[i]);
            if (caseless)
                a = fold(a), b = fold(b);
            if (a != b)
                return a < b ? -1 : 1;
            if (b == 0)
                return 0;
        }
    }
    // A view that ends before n bytes (or before the text's NUL) is shorter.
    return i == n ? 0 : -1;
}

} // namespace

size_t ztview_strspn(const ztview *v, const char *set, size_t setlen) noexcept
{
    return span(v, set, setlen, true);
}

size_t ztview_strcspn(const ztview *v, const char *set, size_t setlen) noexcept
{
    return span(v, set, setlen, false);
}

long ztview_find_byte(const ztview *v, int c) noexcept
{
    if (!v)
        return -1;
    size_t off = 0;
    for (uint32_t i = 0; i < v->count; ++i) {
        const zt_seg &s = v->segs[v->head + i];
        if (const void *hit = std::memchr(s.p, c, s.n))
            return static_cast<long>(off + (static_cast<const unsigned char *>(hit) - s.p));
        off += s.n;
    }
    return -1;
}

int ztview_peekchar(const ztview *v) noexcept
{
    return v && v->count ? v->segs[v->head].p[0] : -1;
}

int ztview_getchar(ztview *v) noexcept
{
    int c = ztview_peekchar(v);
    if (c >= 0)
        zt_pop_front(v, 1);
    return c;
}

int ztview_getnchar(const ztview *v, size_t i, unsigned char *out) noexcept
{
    if (!v || i >= v->len)
        return -1;
    for (uint32_t k = 0; k < v->count; ++k) {
        const zt_seg &s = v->segs[v->head + k];
        if (i < s.n) {
            if (out)
                *out = s.p[i];
            return 0;
        }
        i -= s.n;
    }
    return -1;
}

int ztview_ncmp(const ztview *a, const ztview *b, size_t n) noexcept
{
    size_t la = std::min(ztview_get_len(a), n), lb = std::min(ztview_get_len(b), n);
    uint32_t ia = 0, ib = 0;
    size_t oa = 0, ob = 0, done = 0, common = std::min(la, lb);
    while (done < common) {
        const zt_seg &sa = a->segs[a->head + ia];
        const zt_seg &sb = b->segs[b->head + ib];
        size_t m = std::min({sa.n - oa, sb.n - ob, common - done});
        if (int r = std::memcmp(sa.p + oa, sb.p + ob, m))
            return r < 0 ? -1 : 1;
        done += m;
        if ((oa += m) == sa.n)
            ++ia, oa = 0;
        if ((ob += m) == sb.n)
            ++ib, ob = 0;
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

int ztview_cmp(const ztview *a, const ztview *b) noexcept
{
    return ztview_ncmp(a, b, SIZE_MAX);
}

int ztview_strncmp(const ztview *v, const char *text, size_t n) noexcept
{
    return compare_text(v, text, n, false);
}

int ztview_strcasencmp(const ztview *v, const char *text, size_t n) noexcept
{
    return compare_text(v, text, n, true);
}

int ztview_strcasecmp(const ztview *v, const char *text) noexcept
{
    size_t tl = text ? std::strlen(text) : 0, vl = ztview_get_len(v);
    if (int r = compare_text(v, text, std::min(tl, vl), true))
        return r;
    return vl == tl ? 0 : (vl < tl ? -1 : 1);
}

void *ztview_copy_data_r(const ztview *v, void *buf, size_t *lenp, int nul) noexcept
{
    if (!v)
        return nullptr;
    size_t extra = nul ? 1 : 0;
    size_t n = v->len;
    auto *out = static_cast<unsigned char *>(buf);
    if (!out) {
        if (!(out = static_cast<unsigned char *>(zt_malloc(n + extra))))
            return nullptr;
    } else if (lenp) {
        if (*lenp < extra)
            return nullptr;
        n = std::min(n, *lenp - extra);
    }
    size_t done = 0;
    for (uint32_t k = 0; k < v->count && done < n; ++k) {
        const zt_seg &s = v->segs[v->head + k];
        size_t m = std::min(s.n, n - done);
        std::memcpy(out + done, s.p, m);
        done += m;
    }
    if (nul)
        out[done] = 0;
    if (lenp)
        *lenp = nul ? v->len : done;
    return out;
}
