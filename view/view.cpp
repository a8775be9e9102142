// Views: life cycle, writing at the end, and moving segments between views.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/mman.h>

#include "alloc.h"
#include "destroy_each.h"
#include "front_segment.h"
#include "hold.h"
#include "view_internal.h"
#include "view_peek.h"

// The marker of the record layout that libztmime reads inline.
extern "C" ZTVIEW_EXPORT const unsigned char _ztview_record_layout_1 = 1;

namespace {

// Block sizes for appends: a view's first block is small (most views hold
// one header line or one decoded word), later ones grow with the view up to
// a page; an append larger than that gets a block of its own size.  A view
// past a megabyte (an attachment kept in memory) gets blocks of an eighth of
// its length, up to 8 MiB, so that it is a few dozen blocks rather than
// thousands and its memory comes in large pieces.
constexpr size_t MIN_BLOCK = 256 - sizeof(zt_block);
constexpr size_t MAX_BLOCK = 4096 - sizeof(zt_block);
constexpr size_t LARGE_VIEW = size_t{1} << 20;
constexpr size_t MAX_LARGE_BLOCK = size_t{8} << 20;

size_t block_size(const ztview *v, size_t need) noexcept
{
    if (v->len >= LARGE_VIEW)
        return std::max(need, std::min(v->len / 8, MAX_LARGE_BLOCK));
    return std::max(need, std::clamp(v->len, MIN_BLOCK, MAX_BLOCK));
}

// Large blocks are kept for reuse by the thread that releases them, up to
// ZT_BIG_KEEP bytes: a host feeding megabyte pieces, or keeping one large
// output view after another, would otherwise get fresh memory from the
// system each time and fault it in page by page.  A cached block serves a
// request of at least half its size.
// A cached block for `cap` bytes, counted as an allocation (and failing
// with it when the test switch says so: *failed is then set); null when
// none fits.
zt_block *big_take(size_t cap, bool *failed) noexcept
{
    zt_tls *t = zt_tls_get();
    int best = -1;
    for (int i = 0; i < t->nbig; ++i)
        if (t->big[i]->cap >= cap && t->big[i]->cap / 2 <= cap && (best < 0 || t->big[i]->cap < t->big[best]->cap))
            best = i;
    if (best < 0)
        return nullptr;
    if (!zt_alloc_tick()) {
        *failed = true;
        return nullptr;
    }
    zt_block *b = t->big[best];
    t->big[best] = t->big[--t->nbig];
    t->big_bytes -= b->cap;
    return b;
}

bool big_keep(zt_block *b) noexcept
{
    if (b->external || b->cap < ZT_BIG_MIN)
        return false;
    zt_tls *t = zt_tls_get();
    if (t->nbig == ZT_BIG_BLOCKS || t->big_bytes + b->cap > ZT_BIG_KEEP)
        return false;
    t->big[t->nbig++] = b;
    t->big_bytes += b->cap;
    return true;
}

// Blocks of a megabyte and more are mapped with their pages made present
// in one system call: faulting 64 MiB in page by page cost more than
// decoding into it.  Not in AddressSanitizer builds, which must see every
// block to catch uses after release.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t MAP_MIN = SIZE_MAX;
#else
constexpr size_t MAP_MIN = size_t{1} << 20;
#endif

zt_block *block_map(size_t *cap) noexcept
{
    size_t page = 4096;
    size_t total = (sizeof(zt_block) + *cap + page - 1) / page * page;
    if (!zt_alloc_tick())
        return nullptr;
    void *p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) {
        errno = ENOMEM;
        return nullptr;
    }
    *cap = total - sizeof(zt_block);
    return static_cast<zt_block *>(p);
}

void block_free(zt_block *b) noexcept
{
    if (b->mapped)
        munmap(b, sizeof(zt_block) + b->cap);
    else
        zt_free(b);
}

zt_block *block_new(size_t cap) noexcept
{
    bool failed = false;
    uint16_t mapped = 0;
    zt_block *b = cap >= ZT_BIG_MIN ? big_take(cap, &failed) : nullptr;
    if (b) {
        cap = b->cap;  // a reused block keeps all its room
        mapped = b->mapped;
    } else if (!failed && cap >= MAP_MIN) {
        b = block_map(&cap);
        mapped = 1;
    } else if (!failed) {
        b = static_cast<zt_block *>(zt_malloc(sizeof(zt_block) + cap));
    }
    if (!b)
        return nullptr;
    b->refs.store(1, std::memory_order_relaxed);
    b->external = 0;
    b->mapped = mapped;
    b->cap = cap;
    b->fill.store(0, std::memory_order_relaxed);
    b->data = reinterpret_cast<unsigned char *>(b + 1);
    return b;
}

// Ensures room for k more segments after the last one.
bool reserve_segs(ztview *v, uint32_t k) noexcept
{
    if (v->head + v->count + k <= v->cap)
        return true;
    if (v->count + k <= v->cap && v->head > 0) {
        std::memmove(v->segs, v->segs + v->head, v->count * sizeof(zt_seg));
        v->head = 0;
        return true;
    }
    uint32_t cap = std::max<uint32_t>({v->cap * 2, v->count + k, 8});
    auto *segs = static_cast<zt_seg *>(zt_malloc(cap * sizeof(zt_seg)));
    if (!segs)
        return false;
    std::memcpy(segs, v->segs + v->head, v->count * sizeof(zt_seg));
    if (v->segs != v->inl)
        zt_free(v->segs);
    v->segs = segs;
    v->head = 0;
    v->cap = cap;
    return true;
}

// Appends a segment that carries one reference of its own; room must have
// been reserved.  A window that continues the last segment in the same
// block is merged into it.
void push_seg(ztview *v, zt_block *blk, unsigned char *p, size_t n) noexcept
{
    if (v->count > 0) {
        zt_seg &last = v->segs[v->head + v->count - 1];
        if (last.blk == blk && last.p + last.n == p) {
            last.n += n;
            v->len += n;
            zt_block_unref(blk);
            return;
        }
    }
    v->segs[v->head + v->count++] = zt_seg{blk, p, n};
    v->len += n;
}

// Writable room directly after the last segment, when the view may use it.
size_t tail_room(const ztview *v, unsigned char **at) noexcept
{
    if (v->count == 0)
        return 0;
    const zt_seg &last = v->segs[v->head + v->count - 1];
    const zt_block *b = last.blk;
    size_t fill = b->fill.load(std::memory_order_relaxed);
    if (b->external || last.p + last.n != b->data + fill)
        return 0;
    *at = b->data + fill;
    return b->cap - fill;
}

// Number of segments from the front that hold the first n bytes.
uint32_t segs_for(const ztview *v, size_t n) noexcept
{
    uint32_t k = 0;
    for (size_t got = 0; got < n; ++k)
        got += v->segs[v->head + k].n;
    return k;
}

// Appends references to the first n bytes of src (which keeps them); dst
// must have room for segs_for(src, n) segments.
void share_front(ztview *dst, const ztview *src, size_t n) noexcept
{
    for (uint32_t i = 0; n > 0; ++i) {
        const zt_seg &s = src->segs[src->head + i];
        size_t m = std::min(n, s.n);
        zt_block_ref(s.blk);
        push_seg(dst, s.blk, s.p, m);
        n -= m;
    }
}

// Hands the first n bytes of src over to dst (room reserved in dst).
void transfer_front(ztview *dst, ztview *src, size_t n) noexcept
{
    src->resv = nullptr;
    while (n > 0) {
        zt_seg &s = src->segs[src->head];
        if (s.n <= n) {
            zt_seg whole = s;
            src->head++;
            src->count--;
            src->len -= whole.n;
            n -= whole.n;
            push_seg(dst, whole.blk, whole.p, whole.n);
        } else {
            zt_block_ref(s.blk);
            push_seg(dst, s.blk, s.p, n);
            s.p += n;
            s.n -= n;
            src->len -= n;
            n = 0;
        }
    }
    if (src->count == 0)
        src->head = 0;
}

// Copies `total` bytes gathered from pieces into the end of v, all or
// nothing: the one new block the copy may need is made before any byte is
// written.
template <class Pieces> int append_pieces(ztview *v, size_t total, Pieces pieces) noexcept
{
    if (total == 0)
        return 0;
    unsigned char *at = nullptr;
    size_t first = std::min(tail_room(v, &at), total);
    zt_block *tb = first ? v->segs[v->head + v->count - 1].blk : nullptr;
    // The tail room is claimed before anything is written: a view sharing
    // the block in another thread may be after the same bytes.
    if (first && !zt_block_claim(tb, static_cast<size_t>(at - tb->data), first))
        first = 0;
    zt_block *nb = nullptr;
    if (total > first) {
        if (!reserve_segs(v, 1) ||
            (!(v->spare && v->spare->cap >= total - first) && !(nb = block_new(block_size(v, total - first))))) {
            if (first)  // no other view can have claimed past our claim
                tb->fill.store(static_cast<size_t>(at - tb->data), std::memory_order_release);
            return -1;
        }
        if (!nb) {
            nb = v->spare;
            v->spare = nullptr;
        }
    }
    v->resv = nullptr;
    zt_seg *last = first ? &v->segs[v->head + v->count - 1] : nullptr;
    size_t done = 0;
    pieces([&](const unsigned char *p, size_t n) {
        while (n > 0) {
            size_t m;
            if (done < first) {
                m = std::min(n, first - done);
                std::memcpy(at + done, p, m);
            } else {
                m = n;
                std::memcpy(nb->data + (done - first), p, m);
            }
            done += m;
            p += m;
            n -= m;
        }
    });
    if (first) {
        last->n += first;
        v->len += first;
    }
    if (nb) {
        nb->fill.store(total - first, std::memory_order_relaxed);
        push_seg(v, nb, nb->data, total - first);
    }
    return 0;
}

// Keeps the first n bytes of v and releases the rest.
void truncate(ztview *v, size_t n) noexcept
{
    if (n >= v->len)
        return;
    v->resv = nullptr;
    uint32_t i = 0;
    size_t got = 0;
    while (i < v->count && got + v->segs[v->head + i].n <= n)
        got += v->segs[v->head + i++].n;
    if (got < n)
        v->segs[v->head + i++].n = n - got;
    for (uint32_t j = i; j < v->count; ++j)
        zt_block_unref(v->segs[v->head + j].blk);
    v->count = i;
    v->len = n;
    if (v->count == 0)
        v->head = 0;
}

} // namespace

zt_seg &zt_front(ztview *v) noexcept { return v->segs[v->head]; }

namespace {

// Takes n references off a block; frees it when they were the last.
void block_drop(zt_block *b, uint32_t n) noexcept
{
    if (b->refs.fetch_sub(n, std::memory_order_acq_rel) == n && !big_keep(b))
        block_free(b);
}

} // namespace

__attribute__((noinline)) void zt_block_unref(zt_block *b) noexcept
{
    // Shared blocks: the release is counted in this thread, and the locked
    // decrement comes once for a run of releases of the same block (a host
    // releasing event after event cut from a parser's input).  The block
    // cannot go away meanwhile, as the held-back references still count.
    zt_tls *t = ZT_DEFER_RELEASE ? zt_tls_self : nullptr;
    if (t && t->defer_blk == b) {
        uint32_t n = t->defer_n + 1;
        if (b->refs.load(std::memory_order_acquire) != n) {
            t->defer_n = n;
            return;
        }
        // Every reference left is this thread's: the block is free.
        t->defer_blk = nullptr;
        t->defer_n = 0;
    } else if (b->refs.load(std::memory_order_acquire) != 1) {
        if (!ZT_DEFER_RELEASE) {
            block_drop(b, 1);
            return;
        }
        t = zt_tls_get();
        zt_tls_flush_releases(t);
        t->defer_blk = b;
        t->defer_n = 1;
        return;
    }
    // The last reference needs no locked instruction: no other view can
    // reach the block any more.
    if (!big_keep(b))
        block_free(b);
}

void zt_tls_flush_releases(zt_tls *t) noexcept
{
    zt_block *b = t->defer_blk;
    uint32_t n = t->defer_n;
    t->defer_blk = nullptr;
    t->defer_n = 0;
    if (b)
        block_drop(b, n);
}

void zt_tls_release_caches(zt_tls *t) noexcept
{
    zt_tls_flush_releases(t);
    while (t->cached > 0)
        zt_free(t->cache[--t->cached]);
    for (zt_scratch &s : t->scratch) {
        zt_free(s.text);
        s = zt_scratch{};
    }
    while (t->nbig > 0)
        block_free(t->big[--t->nbig]);
    t->big_bytes = 0;
}

void zt_pop_front(ztview *v, size_t n) noexcept
{
    v->resv = nullptr;
    v->len -= n;
    while (n > 0) {
        zt_seg &s = v->segs[v->head];
        if (s.n <= n) {
            n -= s.n;
            zt_block_unref(s.blk);
            v->head++;
            v->count--;
        } else {
            s.p += n;
            s.n -= n;
            n = 0;
        }
    }
    if (v->count == 0)
        v->head = 0;
}

namespace {

// The body of _ztview_init, which the calls inside this file that make a
// view use directly (an exported function is not inlined).
inline ztview *view_new(const char *module) noexcept
{
    zt_tls *t = zt_tls_get();
    ztview *v;
    if (t->cached > 0) {
        if (!zt_alloc_tick())
            return nullptr;
        v = t->cache[--t->cached];
    } else if (!(v = static_cast<ztview *>(zt_malloc(sizeof(ztview))))) {
        return nullptr;
    }
    // Field by field: the inline segments are written before they are read,
    // and clearing the whole record cost more than the rest of the call.
    v->segs = v->inl;
    v->head = 0;
    v->count = 0;
    v->cap = ZT_INLINE_SEGS;
    v->slot = zt_account_add(t, module);
    v->len = 0;
    v->spare = nullptr;
    v->resv = nullptr;
    v->resv_n = 0;
    return v;
}

} // namespace

ztview *_ztview_init(const char *module, int) noexcept { return view_new(module); }

void ztview_rewind(ztview *v) noexcept
{
    if (!v)
        return;
    // A view that is emptied and filled again (an output view, a parser's
    // input) keeps its last block when nothing else refers to it.
    if (v->count > 0 && !v->spare) {
        zt_block *last = v->segs[v->head + v->count - 1].blk;
        if (zt_block_mine(last) && !last->external) {
            last->fill.store(0, std::memory_order_relaxed);
            v->spare = last;
            v->count--;
        }
    }
    for (uint32_t i = 0; i < v->count; ++i)
        zt_block_unref(v->segs[v->head + i].blk);
    v->head = v->count = 0;
    v->len = 0;
    v->resv = nullptr;
}

namespace {

// The body of _ztview_destroy for a view that is not null, with the
// calling thread's state at hand.
inline void view_release(zt_tls *t, ztview *v) noexcept
{
    for (uint32_t i = 0; i < v->count; ++i)
        zt_block_unref_in(t, v->segs[v->head + i].blk);
    if (v->spare)
        zt_block_unref(v->spare);
    if (v->segs != v->inl)
        zt_free(v->segs);
    zt_account_drop(t, v->slot);
    if (t->cached < ZT_VIEW_CACHE)
        t->cache[t->cached++] = v;
    else
        zt_free(v);
}

} // namespace

void _ztview_destroy(ztview *v, const char *, int) noexcept
{
    if (v)
        view_release(zt_tls_get(), v);
}

void _ztview_destroy_each(const void *first, size_t count, size_t stride) noexcept
{
    if (count == 0)
        return;
    zt_tls *t = zt_tls_get();
    const auto *at = static_cast<const unsigned char *>(first);
    for (size_t i = 0; i < count; ++i, at += stride) {
        ztview *v;
        std::memcpy(&v, at, sizeof v);
        if (v)
            view_release(t, v);
    }
}

size_t ztview_get_len(const ztview *v) noexcept { return v ? v->len : 0; }

ztview *_ztview_from_buf(const void *bytes, size_t len, int copy, const char *module, int line) noexcept
{
    if (!bytes && len > 0) {
        errno = EINVAL;
        return nullptr;
    }
    ztview *v = view_new(module);
    if (!v || len == 0)
        return v;
    if (copy) {
        if (ztview_append(v, bytes, len) == 0)
            return v;
    } else {
        auto *b = static_cast<zt_block *>(zt_malloc(sizeof(zt_block)));
        if (b) {
            b->refs.store(1, std::memory_order_relaxed);
            b->external = 1;
            b->mapped = 0;
            b->cap = len;
            b->fill.store(len, std::memory_order_relaxed);
            b->data = static_cast<unsigned char *>(const_cast<void *>(bytes));
            push_seg(v, b, b->data, len);  // the inline array has room
            return v;
        }
    }
    _ztview_destroy(v, module, line);
    return nullptr;
}

int ztview_append(ztview *v, const void *bytes, size_t len) noexcept
{
    if (!v || (!bytes && len > 0))
        return -1;
    return append_pieces(v, len, [&](auto &&put) { put(static_cast<const unsigned char *>(bytes), len); });
}

int ztview_appends(ztview *v, const char *text) noexcept
{
    if (!text)
        return -1;
    return ztview_append(v, text, std::strlen(text));
}

int ztview_concat(ztview *dst, const ztview *src) noexcept
{
    if (!dst)
        return -1;
    if (!src || src->len == 0)
        return 0;
    if (dst == src) {
        // Appending a view to itself: take a shared snapshot first.
        ztview snap{};
        snap.segs = snap.inl;
        snap.cap = ZT_INLINE_SEGS;
        if (!reserve_segs(&snap, src->count))
            return -1;
        share_front(&snap, src, src->len);
        int rc = ztview_concat(dst, &snap);
        ztview_rewind(&snap);
        if (snap.segs != snap.inl)
            zt_free(snap.segs);
        return rc;
    }
    return append_pieces(dst, src->len, [&](auto &&put) {
        for (uint32_t i = 0; i < src->count; ++i)
            put(src->segs[src->head + i].p, src->segs[src->head + i].n);
    });
}

void *ztview_reserve(ztview *v, size_t n) noexcept
{
    if (!v) {
        errno = EINVAL;
        return nullptr;
    }
    n = std::max<size_t>(n, 1);
    unsigned char *at = nullptr;
    size_t room = tail_room(v, &at);
    // Only a block no other view refers to may lend its spare room for a
    // while: another view could otherwise append there in between.
    if (room >= n && zt_block_mine(v->segs[v->head + v->count - 1].blk)) {
        v->resv = at;
        v->resv_n = room;
        return at;
    }
    if (!reserve_segs(v, 1))
        return nullptr;
    if (!v->spare || v->spare->cap < n) {
        zt_block *b = block_new(block_size(v, n));
        if (!b)
            return nullptr;
        if (v->spare)
            zt_block_unref(v->spare);
        v->spare = b;
    }
    v->resv = v->spare->data;
    v->resv_n = v->spare->cap;
    return v->resv;
}

int ztview_commit(ztview *v, size_t n) noexcept
{
    if (!v || !v->resv || n > v->resv_n)
        return -1;
    unsigned char *at = v->resv;
    v->resv = nullptr;
    if (n == 0)
        return 0;
    if (v->spare && at == v->spare->data) {
        if (!reserve_segs(v, 1))
            return -1;
        zt_block *b = v->spare;
        v->spare = nullptr;
        b->fill.store(n, std::memory_order_relaxed);
        push_seg(v, b, b->data, n);
        return 0;
    }
    unsigned char *tail = nullptr;
    if (tail_room(v, &tail) < n || tail != at)
        return -1;
    zt_seg &last = v->segs[v->head + v->count - 1];
    if (!zt_block_claim(last.blk, static_cast<size_t>(at - last.blk->data), n))
        return -1;
    last.n += n;
    v->len += n;
    return 0;
}

ztview *_ztview_move(ztview *dst, ztview *src, size_t n, const char *module, int line) noexcept
{
    ztview *made = nullptr;
    if (!dst && !(dst = made = view_new(module)))
        return nullptr;
    if (!src)
        return dst;
    n = std::min(n, src->len);
    if (n == 0)
        return dst;
    if (dst == src) {
        // Moving a view's front to its own end rotates it.  Room for the
        // moved segments is reserved first so that nothing fails halfway.
        if (!reserve_segs(dst, segs_for(src, n)))
            return nullptr;
        ztview *tmp = _ztview_cut(src, nullptr, n, module, line);
        if (!tmp)
            return nullptr;
        transfer_front(dst, tmp, n);
        _ztview_destroy(tmp, module, line);
        return dst;
    }
    if (!reserve_segs(dst, segs_for(src, n))) {
        _ztview_destroy(made, module, line);
        return nullptr;
    }
    dst->resv = nullptr;
    transfer_front(dst, src, n);
    return dst;
}

// The usual cut or copy of a line: a new view over the first n bytes of
// src, which lie in its first segment (0 < n <= its length); one segment
// fits the inline array.
template <bool Share> inline ztview *line_front(ztview *src, size_t n, const char *module) noexcept
{
    ztview *made = view_new(module);
    if (!made)
        return nullptr;
    zt_seg &s = src->segs[src->head];
    made->inl[0] = zt_seg{s.blk, s.p, n};  // made->segs is inl
    made->count = 1;
    made->len = n;
    if constexpr (Share) {
        zt_block_ref(s.blk);
    } else {
        src->resv = nullptr;
        src->len -= n;
        if (n == s.n) {
            src->head++;
            if (--src->count == 0)
                src->head = 0;
        } else {
            zt_block_ref(s.blk);
            s.p += n;
            s.n -= n;
        }
    }
    return made;
}

// True when the first n bytes of src go into a new view by line_front.
inline bool is_line_front(const ztview *src, const ztview *dst, size_t n) noexcept
{
    return !dst && src && n > 0 && src->count > 0 && n <= src->segs[src->head].n;
}

// The first min(n, len(src)) bytes of src become dst's content: handed
// over (cut) or shared (duplicate).  Room for the segments is made before
// dst is emptied, so a failure leaves both views as they were.  Out of
// line: the callers take a line with line_front first, and stay small for it.
template <bool Share>
__attribute__((noinline)) ztview *replace_front(ztview *src, ztview *dst, size_t n, const char *module,
                                                int line) noexcept
{
    if (dst && dst == src) {
        truncate(dst, n);  // a view replaced by its own front keeps just that
        return dst;
    }
    ztview *made = nullptr;
    if (!dst && !(dst = made = view_new(module)))
        return nullptr;
    size_t m = src ? std::min(n, src->len) : 0;
    if (m > 0 && !reserve_segs(dst, segs_for(src, m))) {
        _ztview_destroy(made, module, line);
        return nullptr;
    }
    ztview_rewind(dst);
    if (m > 0) {
        if constexpr (Share)
            share_front(dst, src, m);
        else
            transfer_front(dst, src, m);
    }
    return dst;
}

namespace {

// _ztview_take_front when the bytes do not just lengthen dst's last
// segment within src's first: a new segment, or src's first given up.
__attribute__((noinline)) int take_front_other(ztview *dst, ztview *src, size_t n) noexcept
{
    zt_seg &s = src->segs[src->head];
    if (n == s.n && dst->count > 0) {
        zt_seg &last = dst->segs[dst->head + dst->count - 1];
        if (last.blk == s.blk && last.p + last.n == s.p) {
            // dst's reference covers the bytes: src's goes.
            last.n += n;
            dst->len += n;
            src->resv = nullptr;
            src->len -= n;
            zt_block_unref(s.blk);
            src->head++;
            if (--src->count == 0)
                src->head = 0;
            return 0;
        }
    }
    if (n < s.n && dst->head + dst->count < dst->cap) {
        // The first field of a block: a segment of its own, sharing the block.
        dst->resv = nullptr;
        zt_block_ref(s.blk);
        dst->segs[dst->head + dst->count++] = zt_seg{s.blk, s.p, n};
        dst->len += n;
        src->resv = nullptr;
        src->len -= n;
        s.p += n;
        s.n -= n;
        return 0;
    }
    if (!reserve_segs(dst, 1))
        return -1;
    dst->resv = nullptr;
    transfer_front(dst, src, n);
    return 0;
}

} // namespace

int _ztview_take_front(ztview *dst, ztview *src, size_t n) noexcept
{
    zt_seg &s = src->segs[src->head];
    if (dst->count > 0 && n < s.n) {
        zt_seg &last = dst->segs[dst->head + dst->count - 1];
        if (last.blk == s.blk && last.p + last.n == s.p) {
            // The usual case: the next field of a block.  The reference
            // dst holds covers the bytes, and src keeps its own.
            last.n += n;
            dst->len += n;
            src->resv = nullptr;
            src->len -= n;
            s.p += n;
            s.n -= n;
            return 0;
        }
    }
    return take_front_other(dst, src, n);
}

void _ztview_release_all(ztview *v) noexcept
{
    for (uint32_t i = 0; i < v->count; ++i)
        zt_block_unref(v->segs[v->head + i].blk);
    v->head = v->count = 0;
    v->len = 0;
    v->resv = nullptr;
}

ztview *_ztview_cut(ztview *src, ztview *dst, size_t n, const char *module, int line) noexcept
{
    if (is_line_front(src, dst, n))
        return line_front<false>(src, n, module);
    return replace_front<false>(src, dst, n, module, line);
}

ztview *_ztview_duplicate_front(const ztview *src, ztview *dst, size_t n, const char *module,
                                int line) noexcept
{
    // Sharing never changes src.
    auto *from = const_cast<ztview *>(src);
    if (is_line_front(from, dst, n))
        return line_front<true>(from, n, module);
    return replace_front<true>(from, dst, n, module, line);
}

ztview *_ztview_skip_until(ztview *v, ztview *dst, const char *set, const char *module, int line) noexcept
{
    size_t n = set ? ztview_strcspn(v, set, std::strlen(set)) : ztview_get_len(v);
    return _ztview_cut(v, dst, n, module, line);
}

size_t ztview_skip_while(ztview *v, const char *set) noexcept
{
    if (!v || !set)
        return 0;
    size_t n = ztview_strspn(v, set, std::strlen(set));
    if (n)
        zt_pop_front(v, n);
    return n;
}

int ztview_seek(ztview *v, size_t n, int whence) noexcept
{
    if (whence != ZTVIEW_SEEK_FRONT || n > ztview_get_len(v))
        return -1;
    if (n)
        zt_pop_front(v, n);
    return 0;
}

struct iovec *ztview_get_iovec(ztview *v, int flags, int *countp) noexcept
{
    if (!v || flags != 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto *vec = static_cast<struct iovec *>(zt_malloc(std::max<size_t>(v->count, 1) * sizeof(struct iovec)));
    if (!vec)
        return nullptr;
    v->resv = nullptr;
    for (uint32_t i = 0; i < v->count; ++i) {
        zt_seg &s = v->segs[v->head + i];
        if (!zt_block_mine(s.blk) || s.blk->external) {
            // Copy on write: the bytes move to a block of this view's own.
            zt_block *b = block_new(s.n);
            if (!b) {
                zt_free(vec);
                return nullptr;
            }
            std::memcpy(b->data, s.p, s.n);
            b->fill.store(s.n, std::memory_order_relaxed);
            zt_block_unref(s.blk);
            s.blk = b;
            s.p = b->data;
        }
        vec[i].iov_base = s.p;
        vec[i].iov_len = s.n;
    }
    if (countp)
        *countp = static_cast<int>(v->count);
    return vec;
}

size_t ztview_segment_count(const ztview *v) noexcept { return v ? v->count : 0; }

size_t _ztview_front_segment(const ztview *v, const unsigned char **bytes, size_t *n, size_t *count) noexcept
{
    if (!v || v->count == 0) {
        *bytes = nullptr;
        *n = 0;
        *count = 0;
        return 0;
    }
    const zt_seg &s = v->segs[v->head];
    *bytes = s.p;
    *n = s.n;
    *count = v->count;
    return v->len;
}

int ztview_segment(const ztview *v, size_t i, const unsigned char **bytes, size_t *len) noexcept
{
    if (!v || i >= v->count)
        return -1;
    const zt_seg &s = v->segs[v->head + i];
    if (bytes)
        *bytes = s.p;
    if (len)
        *len = s.n;
    return 0;
}
