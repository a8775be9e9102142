// Tests and cuts on the first lines of the input for the parse driver.
#define ZT_MODULE "mime"

#include "mime/lines.h"

#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/handles.h"
#include "common/module.h"
#include "mime/batch_scan.h"
#include "mime/ctx.h"

namespace ztmime_lines {

using ztmime_scan::npos;

namespace {

// First bytes that end a batch of body lines: a line starting with one of
// them may be a delimiter, a uuencode or BinHex line, or needs repair.
// Row 1 adds "." for ZTMIME_FLAG_DOT_END.
struct StopTable {
    bool stop[2][256];
    constexpr StopTable() : stop{}
    {
        for (int row = 0; row < 2; ++row) {
            stop[row][static_cast<unsigned char>('-')] = true;
            stop[row][static_cast<unsigned char>('b')] = true;
            stop[row][static_cast<unsigned char>('\r')] = true;
            stop[row][static_cast<unsigned char>('(')] = true;
        }
        stop[1][static_cast<unsigned char>('.')] = true;
    }
};
constexpr StopTable batch_stop;

// find_cr_or_lf for the line the batch scan stopped at, most often the
// short last line of the segment: two memchr calls rather than a byte loop
// over a tail shorter than a vector.
const unsigned char *first_cr_or_lf(const unsigned char *p, const unsigned char *end) noexcept
{
    const void *lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
    const unsigned char *e = lf ? static_cast<const unsigned char *>(lf) : end;
    const void *cr = std::memchr(p, '\r', static_cast<size_t>(e - p));
    return cr ? static_cast<const unsigned char *>(cr) : e;
}

} // namespace

bool repair_bare_cr(ztmime_ctx *ctx, const Line &line) noexcept
{
    if (line.text == 0)
        return ztview_seek(ctx->input, 1, ZTVIEW_SEEK_FRONT) == 0;
    ViewHandle rest(zt_view_dup_front(ctx->input, nullptr, line.total), ZT_MODULE);
    if (!rest)
        return false;
    bool drop = line.after == '\r';
    ViewHandle fixed(zt_view_cut(rest.get(), nullptr, drop ? line.text : line.text + 1), ZT_MODULE);
    if (!fixed)
        return false;
    if (drop) {
        if (ztview_seek(rest.get(), 1, ZTVIEW_SEEK_FRONT) != 0)
            return false;
    } else if (ztview_append(fixed.get(), "\n", 1) != 0) {
        return false;
    }
    if (!zt_view_move(fixed.get(), rest.get(), ztview_get_len(rest.get())))
        return false;
    zt_view_free(ctx->input);
    ctx->input = fixed.release();
    return true;
}

bool keep_in_scratch(ztmime_ctx *ctx, size_t from, size_t to) noexcept
{
    if (!ctx->scratch && !(ctx->scratch = zt_view_new()))
        return false;
    // The duplicate replaces scratch's content; dropping its first bytes
    // cannot fail.
    ztmime_impl(ctx)->scratch_full = true;
    return zt_view_dup_front(ctx->input, ctx->scratch, to) &&
           (from == 0 || ztview_seek(ctx->scratch, from, ZTVIEW_SEEK_FRONT) == 0);
}

size_t batch_end(const ztmime_ctx *ctx, SegCursor &cur, const Line &line) noexcept
{
    const bool dot = (ctx->flags & ZTMIME_FLAG_DOT_END) != 0;
    const bool *stop = batch_stop.stop[dot ? 1 : 0];
    const size_t max_line = ctx->max_line;
    const size_t total = line.total;
    size_t pos = line.len;
    while (pos < total) {
        // Fast path: the next line lies inside the loaded segment.
        if (cur.reach(pos)) {
            const unsigned char *seg = cur.p;
            const unsigned char *end = seg + cur.n;
            const unsigned char *q = seg + (pos - cur.base);
            for (;;) {
                if (stop[*q])
                    return pos;
                // Whole lines at a time while none could be special, in
                // windows short enough that every line in one is within
                // max_line; then the line that stopped the scan, if any,
                // one at a time.  Its next byte must be in the segment.
                const unsigned char *lim = end - 1;
                if (max_line && static_cast<size_t>(lim - q) > max_line + 1)
                    lim = q + max_line + 1;
                const unsigned char *r = ztmime_scan::clean_lines_end(q, lim, stop, dot);
                pos += static_cast<size_t>(r - q);
                q = r;
                const unsigned char *e = first_cr_or_lf(q, end);
                // No terminator here, or a CR whose next byte (LF or not)
                // is in a later segment: the slow path reads on.  An LF
                // that ends the segment ends the line here.
                if (e == end || (e + 1 == end && *e == '\r'))
                    break;
                if (max_line && static_cast<size_t>(e - q) > max_line)
                    return pos;
                if (*e == '\r') {
                    if (e[1] != '\n')
                        return pos;
                    e += 2;
                } else {
                    e += 1;
                }
                pos += static_cast<size_t>(e - q);
                q = e;
                if (q == end)
                    break;
            }
            if (pos >= total)
                break;
        }
        // Slow path: a line that crosses segments.
        int c = cur.byte(pos);
        if (c < 0 || stop[c])
            return pos;
        size_t t = cur.find_eol(pos);
        if (t == npos)
            return pos;
        if (max_line && t - pos > max_line)
            return pos;
        if (cur.byte(t) == '\r') {
            if (cur.byte(t + 1) != '\n')
                return pos;
            pos = t + 2;
        } else {
            pos = t + 1;
        }
    }
    return pos;
}

void pop_down_to(ztmime_part *part, const ztmime_boundary *r) noexcept
{
    for (ztmime_boundary *top = ztmime_boundary_top(part); top;
         top = ztmime_boundary_top(part)) {
        if (ztview_cmp(top->close_delimiter, r->close_delimiter) == 0)
            break;
        ztmime_boundary_pop(part);
    }
}

int uu_begin_check(const ztview *line, size_t n, ztview *filename) noexcept
{
    if (n <= 6)
        return 0;
    ViewHandle copy(zt_view_dup_front(line, nullptr, n), ZT_MODULE);
    if (!copy || ztview_seek(copy.get(), 6, ZTVIEW_SEEK_FRONT) != 0)
        return -1;
    static const char blanks[] = " \t\r\n";
    if (ztview_peekchar(copy.get()) == ' ') {
        ztview_skip_while(copy.get(), blanks);
    } else {
        size_t m = ztview_strcspn(copy.get(), " ", 1);
        Buffer<char> mode(static_cast<char *>(zt_malloc(m + 1)));
        if (!mode)
            return -1;
        size_t len = m + 1;
        ViewHandle field(zt_view_cut(copy.get(), nullptr, m), ZT_MODULE);
        if (!field || !ztview_copy_data_r(field.get(), mode.get(), &len, 1))
            return -1;
        mode.get()[len < m ? len : m] = '\0';
        ztview_skip_while(copy.get(), blanks);
        if (std::strtol(mode.get(), nullptr, 10) == 0)
            return 0;
    }
    if (ztview_get_len(copy.get()) == 0)
        return 0;
    if (filename) {
        size_t k = ztview_strcspn(copy.get(), "\r\n", 2);
        if (!zt_view_move(filename, copy.get(), k))
            return -1;
    }
    return 1;
}

} // namespace ztmime_lines

extern "C" ZTMIME_EXPORT int ztmime_parse_uu_header(const ztview *line, ztview *filename) noexcept
{
    return ztmime_lines::uu_begin_check(line, ztview_get_len(line), filename) == 1 ? 1 : 0;
}
