// Finding the first line of the input, and the memo of earlier scans.
#include "mime/line_scan.h"

#include "mime/ctx.h"

namespace ztmime_scan {

namespace {

Memo &memo_of(ztmime_ctx *ctx) noexcept { return ztmime_impl(ctx)->memo; }

// Records a scan that stopped at offset `clean` with `cur` on the segment
// holding it (or on the last segment).
void remember(Memo &m, const unsigned char *front, const Line &line, bool complete, size_t clean,
              const SegCursor &cur) noexcept
{
    m.front = front;
    m.len = line.total;
    m.complete = complete;
    // Field by field: a copy of the whole record would read back, in wide
    // loads, fields just written in narrow stores, which stalls.
    m.line.total = line.total;
    m.line.len = line.len;
    m.line.text = line.text;
    m.line.limit = line.limit;
    m.line.first = line.first;
    m.line.after = line.after;
    m.line.end = line.end;
    m.clean = clean;
    m.seg = cur.si;
    m.seg_base = cur.base;
    m.uu_begin = -1;
}

} // namespace

void find_line(ztmime_ctx *ctx, SegCursor &cur, Line &line) noexcept
{
    Memo &m = memo_of(ctx);
    line.total = ztview_get_len(ctx->input);
    cur.start(ctx->input);
    line.head = cur.p;
    line.head_n = cur.n;
    if (line.total == 0) {
        m.front = nullptr;
        return;
    }
    const unsigned char *front = cur.p;
    size_t from = 0;
    if (front == m.front && line.total >= m.len) {
        if (m.complete) {
            const Line &known = m.line;
            line.len = known.len;
            line.text = known.text;
            line.limit = known.limit;
            line.first = known.first;
            line.after = known.after;
            line.end = known.end;
            return;
        }
        from = m.clean;
        cur.resume(ctx->input, m.seg, m.seg_base);
    }
    m.front = nullptr;
    line.after = -1;
    line.first = front[0];
    size_t t = cur.find_eol(from);
    if (t == npos) {
        line.end = END_NONE;
        line.len = line.text = line.limit = line.total;
        remember(m, front, line, false, line.total, cur);
        return;
    }
    line.text = t;
    int next;
    if (cur.byte(t) == '\n') {
        line.end = END_LF;
        line.len = t + 1;
        line.limit = t;
    } else if ((next = cur.byte(t + 1)) < 0) {
        // A CR as the last byte: scanned again from the CR once more bytes
        // come.  The cursor is on the last segment, which holds the CR.
        line.end = END_NONE;
        line.len = line.limit = line.total;
        remember(m, front, line, false, t, cur);
        return;
    } else if (next == '\n') {
        line.end = END_CRLF;
        line.len = t + 2;
        line.limit = t + 1;
    } else {
        // Not kept: the repair that follows rebuilds the input.
        line.end = END_BARE_CR;
        line.after = next;
        line.len = t + 1;
        line.limit = t;
        return;
    }
    remember(m, front, line, true, line.len, cur);
}

bool line_end_follows(ztmime_ctx *ctx, const Line &line) noexcept
{
    Memo &m = memo_of(ctx);
    const bool known = m.front && m.complete;
    SegCursor c;
    size_t from = line.len;
    if (known && m.clean >= line.len) {
        c.resume(ctx->input, m.seg, m.seg_base);
        from = m.clean;
    } else {
        c.start(ctx->input);
    }
    if (c.find_eol(from) != npos)
        return true;
    if (known) {
        m.len = line.total;
        m.clean = line.total;
        m.seg = c.si;
        m.seg_base = c.base;
    }
    return false;
}

int memo_uu_begin(ztmime_ctx *ctx) noexcept
{
    const Memo &m = memo_of(ctx);
    return m.front && m.complete ? m.uu_begin : -1;
}

void memo_set_uu_begin(ztmime_ctx *ctx, int result) noexcept
{
    Memo &m = memo_of(ctx);
    if (m.front && m.complete)
        m.uu_begin = static_cast<int8_t>(result);
}

void memo_forget(ztmime_ctx *ctx) noexcept { memo_of(ctx).front = nullptr; }

void memo_at_exit(ztmime_ctx *ctx, ztmime_type ev, size_t scanned_len) noexcept
{
    if (ev != ZTMIME_HEADER && ev != ZTMIME_PART_HEADER && ev != ZTMIME_NO_DATA &&
        ztview_get_len(ctx->input) != scanned_len)
        memo_of(ctx).front = nullptr;
}

} // namespace ztmime_scan
