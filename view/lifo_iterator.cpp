// The LIFO stack and the byte iterator.
#include "alloc.h"
#include "view_internal.h"

void ztds_lifo_init(ztds_lifo *lifo) noexcept
{
    if (lifo)
        lifo->top = nullptr;
}

void *ztds_lifo_push(ztds_lifo *lifo, void *item) noexcept
{
    if (!lifo || !item)
        return nullptr;
    auto *link = static_cast<ztds_lifo_link *>(item);
    link->next = lifo->top;
    lifo->top = link;
    return item;
}

void *ztds_lifo_pop(ztds_lifo *lifo) noexcept
{
    if (!lifo || !lifo->top)
        return nullptr;
    ztds_lifo_link *top = lifo->top;
    lifo->top = top->next;
    top->next = nullptr;
    return top;
}

ztiterator *ztiterator_create(const ztview *view) noexcept
{
    auto *it = static_cast<ztiterator *>(zt_calloc(1, sizeof(ztiterator)));
    if (it)
        it->view = view;
    return it;
}

int ztiterator_inc(ztiterator *it, unsigned char *out) noexcept
{
    if (!it || !it->view)
        return 1;
    const ztview *v = it->view;
    while (it->seg < v->count) {
        const zt_seg &s = v->segs[v->head + it->seg];
        if (it->off < s.n) {
            if (out)
                *out = s.p[it->off];
            ++it->off;
            return 0;
        }
        ++it->seg;
        it->off = 0;
    }
    return 1;
}

void ztiterator_reset(ztiterator *it, int) noexcept
{
    if (it) {
        it->seg = 0;
        it->off = 0;
    }
}

void ztiterator_destroy(ztiterator *it) noexcept { zt_free(it); }
