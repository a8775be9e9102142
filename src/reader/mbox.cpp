// mbox input for the reader.  Every line that begins with "From " ends the
// message before it and is itself left out (the envelope line); a line
// ">From ", ">>From ", ... loses one ">" (mboxrd quoting); the blank line
// right before an envelope line is the separator, not data.  Bytes go to
// the reader's `in` view; the offsets where messages end queue in `cuts`.
#define ZT_MODULE "reader"

#include "common/module.h"
#include "reader/reader.h"

namespace zt_reader {
namespace {

enum LineStart { kNeedMore, kBlank, kFrom, kQuoted, kPlain };

// What the line starting at p is, as far as the mbox cares.
LineStart classify(const unsigned char *p, size_t n, bool final, size_t *blank_len) noexcept
{
    static const char from[] = "From ";
    const LineStart short_line = final ? kPlain : kNeedMore;
    if (n == 0)
        return short_line;
    if (p[0] == '\n') {
        *blank_len = 1;
        return kBlank;
    }
    if (p[0] == '\r') {
        if (n < 2)
            return short_line;
        *blank_len = 2;
        return p[1] == '\n' ? kBlank : kPlain;
    }
    size_t i = 0;
    while (i < n && p[i] == '>')
        ++i;
    if (i == n)
        return short_line;
    size_t k = std::min<size_t>(n - i, 5);
    if (std::memcmp(p + i, from, k) != 0)
        return kPlain;
    if (k < 5)
        return short_line;
    return i ? kQuoted : kFrom;
}

bool emit(ztmime_reader *r, const unsigned char *p, size_t n) noexcept
{
    if (!n)
        return true;
    if (ztview_append(r->in, p, n) != 0)
        return false;
    r->in_total += n;
    return true;
}

bool release_blank(ztmime_reader *r) noexcept
{
    bool ok = emit(r, r->blank, r->nblank);
    r->nblank = 0;
    return ok;
}

bool process(ztmime_reader *r, const unsigned char *p, size_t n, bool final) noexcept
{
    size_t run = 0, i = 0;
    while (i < n) {
        if (r->skip_envelope) {
            const void *nl = std::memchr(p + i, '\n', n - i);
            i = nl ? static_cast<size_t>(static_cast<const unsigned char *>(nl) - p) + 1 : n;
            run = i;
            if (nl) {
                r->skip_envelope = false;
                r->at_line_start = true;
            }
            continue;
        }
        if (r->at_line_start) {
            size_t bl = 0;
            LineStart c = classify(p + i, n - i, final, &bl);
            if (c == kNeedMore) {
                if (!emit(r, p + run, i - run) || !r->line_head.append(p + i, n - i))
                    return false;
                return true;
            }
            if (!emit(r, p + run, i - run))
                return false;
            run = i;
            if (c == kBlank) {
                if (!release_blank(r))
                    return false;
                std::memcpy(r->blank, p + i, bl);
                r->nblank = static_cast<uint8_t>(bl);
                i += bl;
                run = i;
                continue;
            }
            if (c == kFrom) {
                r->nblank = 0;
                uint64_t at = r->in_total;
                if (!r->cuts.append(&at, sizeof at))
                    return false;
                r->skip_envelope = true;
                r->at_line_start = false;
                continue;
            }
            if (!release_blank(r))
                return false;
            if (c == kQuoted)
                run = ++i;  // one ">" less
            r->at_line_start = false;
        }
        const void *nl = std::memchr(p + i, '\n', n - i);
        if (!nl) {
            i = n;
            break;
        }
        i = static_cast<size_t>(static_cast<const unsigned char *>(nl) - p) + 1;
        r->at_line_start = true;
    }
    return emit(r, p + run, n - run);
}

} // namespace

bool mbox_feed(ztmime_reader *r, const unsigned char *p, size_t n) noexcept
{
    if (!r->line_head.n)
        return process(r, p, n, false);
    // A line start cut by the last chunk: read it together with this one.
    ByteBuf joined;
    std::swap(joined, r->line_head);
    bool ok = joined.append(p, n) && process(r, joined.p, joined.n, false);
    joined.release();
    return ok;
}

bool mbox_finish(ztmime_reader *r) noexcept
{
    ByteBuf head;
    std::swap(head, r->line_head);
    bool ok = process(r, head.p, head.n, true);
    head.release();
    r->nblank = 0;  // a blank line at the very end separates nothing
    return ok;
}

bool cut_pending(const ztmime_reader *r, uint64_t *at) noexcept
{
    if (r->cut_head * sizeof(uint64_t) >= r->cuts.n)
        return false;
    std::memcpy(at, r->cuts.p + r->cut_head * sizeof(uint64_t), sizeof *at);
    return true;
}

void cut_pop(ztmime_reader *r) noexcept
{
    if (++r->cut_head * sizeof(uint64_t) >= r->cuts.n) {
        r->cuts.clear();
        r->cut_head = 0;
    }
}

} // namespace zt_reader
