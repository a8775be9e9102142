// The parse driver: turns the bytes appended to a context into events, one
// event per call of ztmime_do.
//
// States (ctx->state holds one of these ztmime_type values):
//
//   HEAD       (1)  reading a message's header block (top level or embedded)
//   HEAD_EOF   (2)  input ended inside a message's header block
//   PART_HEAD  (3)  reading a body part's header block
//   HEAD_END   (4)  a header block has just ended; the next complete line
//                   decides between an embedded message and body data
//   BODY       (5)  reading body data
//   BODY_EOF   (6)  input ended inside body data
//   UU_BLOCK  (10)  inside a uuencoded block
//
// Transitions (events in brackets):
//
//   HEAD --blank/non-field line [HEADERS_DONE]--> HEAD_END
//   PART_HEAD --blank/non-field line [PART_HEADERS_DONE]--> HEAD_END
//   HEAD_END --line, content type message/rfc822--> HEAD
//   HEAD_END --line, any other content type--> BODY
//   BODY --delimiter [PART_DONE]--> PART_HEAD
//   BODY --close delimiter [PART_DONE]--> BODY (boundary popped)
//   BODY --"begin " line [UUENCODE_HEADER]--> UU_BLOCK --"end" [UUENCODE_DONE]--> BODY
//   HEAD --end of input [HEADERS_DONE]--> HEAD_EOF
//   BODY --end of input [PART_DONE]--> BODY_EOF
//   any other state --end of input [MSG_DONE]--> (no input until reset)
//
// Every call finds the first line of the input, repairs a bare CR, applies
// the length limit, and then acts on the line according to the state.  All
// paths leave through one exit that hands the event's view to the host.
#define ZT_MODULE "mime"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/error.h"
#include "common/handles.h"
#include "common/module.h"
#include "mime/ctx.h"
#include "mime/line_scan.h"
#include "mime/scan.h"

using ztmime_scan::END_BARE_CR;
using ztmime_scan::find_line;
using ztmime_scan::END_CRLF;
using ztmime_scan::END_LF;
using ztmime_scan::END_NONE;
using ztmime_scan::Line;
using ztmime_scan::npos;
using ztmime_scan::SegCursor;

namespace {

enum parse_state : int32_t {
    HEAD = ZTMIME_HEADER,
    HEAD_EOF = ZTMIME_HEADERS_DONE,
    PART_HEAD = ZTMIME_PART_HEADER,
    HEAD_END = ZTMIME_PART_HEADERS_DONE,
    BODY = ZTMIME_PART_BODY,
    BODY_EOF = ZTMIME_PART_DONE,
    UU_BLOCK = ZTMIME_UUENCODE_BODY,
};

const char binhex_notice[] = "(This file must be converted with BinHex ";
static_assert(sizeof binhex_notice - 1 == 41);

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

// Rebuilds the input around the bare CR at line.text: drops it when it is
// the first byte or another CR follows, else inserts an LF after it.  The
// new input shares the old one's blocks; on failure the input is unchanged.
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

// Header-name test: a ':' before any byte outside 33..126.  Returns npos
// when the line passes, else the offset of the failing byte.
size_t header_name_fail(const ztview *input, const Line &line) noexcept
{
    if (line.len <= line.head_n) {
        // The usual case: the line lies in the first segment.
        const unsigned char *q = ztmime_scan::find_name_stop(line.head, line.head + line.len);
        if (q < line.head + line.len && *q == ':')
            return npos;
        return static_cast<size_t>(q - line.head);
    }
    SegCursor cur;
    cur.start(input);
    size_t pos = 0;
    while (pos < line.len && cur.reach(pos)) {
        const unsigned char *q = cur.p + (pos - cur.base);
        const unsigned char *end = cur.p + cur.n;
        if (static_cast<size_t>(end - q) > line.len - pos)
            end = q + (line.len - pos);
        for (; q < end; ++q) {
            unsigned char c = *q;
            if (c == ':')
                return npos;
            if (c < 33 || c > 126)
                return cur.base + static_cast<size_t>(q - cur.p);
        }
        pos = cur.base + static_cast<size_t>(end - cur.p);
    }
    return pos;
}

// True when the first line (of line.len bytes) begins with the bytes of d.
bool line_begins_with(const ztview *input, const Line &line, const ztview *d) noexcept
{
    size_t n = ztview_get_len(d);
    return n <= line.len && ztview_ncmp(input, d, n) == 0;
}

bool line_begins_with_text(const ztview *input, const Line &line, const char *text, size_t n) noexcept
{
    return n <= line.len && ztview_strcasencmp(input, text, n) == 0;
}

// Offset just past the continuation lines that follow a field's first line,
// taking only those that would be appended one by one as they are: complete,
// ended by LF or CR LF, and within the length limit.  The line after them
// is left for the caller to look at.
size_t field_end(const ztmime_ctx *ctx, SegCursor &cur, const Line &line, size_t &last) noexcept
{
    const size_t max_line = ctx->max_line;
    size_t pos = line.len;
    last = pos;  // where the last continuation line taken begins
    for (;;) {
        int c = cur.byte(pos);
        if (c != ' ' && c != '\t')
            return pos;
        size_t t = cur.find_eol(pos);
        if (t == npos)
            return pos;
        size_t limit = t - pos;
        size_t end = t + 1;
        if (cur.byte(t) == '\r') {
            if (cur.byte(t + 1) != '\n')
                return pos;
            ++limit;
            ++end;
        }
        if (max_line && limit > max_line)
            return pos;
        last = pos;
        pos = end;
    }
}

// Makes scratch hold a copy of the input's bytes [from, to): a
// continuation line, which passes through scratch on its way into the
// field.  The copy shares the input's blocks.
bool keep_in_scratch(ztmime_ctx *ctx, size_t from, size_t to) noexcept
{
    if (!ctx->scratch && !(ctx->scratch = zt_view_new()))
        return false;
    if (from == 0)
        return zt_view_dup_front(ctx->input, ctx->scratch, to) != nullptr;
    ztview_rewind(ctx->scratch);
    ViewHandle front(zt_view_dup_front(ctx->input, nullptr, to), ZT_MODULE);
    return front && ztview_seek(front.get(), from, ZTVIEW_SEEK_FRONT) == 0 &&
           zt_view_move(ctx->scratch, front.get(), to - from);
}

// Pops entries until the top one's close delimiter equals r's (r stays).
void pop_down_to(ztmime_part *part, const ztmime_boundary *r) noexcept
{
    for (ztmime_boundary *top = ztmime_boundary_top(part); top;
         top = ztmime_boundary_top(part)) {
        if (ztview_cmp(top->close_delimiter, r->close_delimiter) == 0)
            break;
        ztmime_boundary_pop(part);
    }
}

// End of the input (or the ".\r\n" line under ZTMIME_FLAG_DOT_END).
ztmime_type end_of_input(ztmime_ctx *ctx, ztview **view) noexcept
{
    if (ctx->header) {
        *view = ctx->header;
        ctx->header = nullptr;
        ctx->long_header = 0;
        return ctx->state == PART_HEAD ? ZTMIME_PART_HEADER : ZTMIME_HEADER;
    }
    if (ctx->state == HEAD) {
        ctx->state = HEAD_EOF;
        return ZTMIME_HEADERS_DONE;
    }
    if (ctx->state == BODY) {
        ctx->state = BODY_EOF;
        return ZTMIME_PART_DONE;
    }
    *view = ctx->input;
    ctx->input = nullptr;
    return ZTMIME_MSG_DONE;
}

// Offset just past the batch of body lines that starts with the first line:
// further complete lines are taken while none of them could be special.
size_t batch_end(const ztmime_ctx *ctx, SegCursor &cur, const Line &line) noexcept
{
    const bool *stop = batch_stop.stop[(ctx->flags & ZTMIME_FLAG_DOT_END) ? 1 : 0];
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
                const unsigned char *e = ztmime_scan::find_cr_or_lf(q, end);
                if (e == end || e + 1 == end)
                    break; // terminator or the byte after it in a later segment
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

// The uuencode begin-line check on the first n bytes of `line` (which begin
// with "begin "): 1 when they hold a non-zero mode, or none, and a file
// name, which is moved into `filename` when given; 0 when they do not; -1
// when a copy could not be made (errno ENOMEM).
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

} // namespace

extern "C" {

ZTMIME_EXPORT ztmime_type ztmime_do(ztmime_ctx *ctx, ztview **out) noexcept
{
    if (out)
        *out = nullptr;
    if (!ctx || !out) {
        zt_set_error("Invalid NULL parameters for ztmime_do");
        return ZTMIME_ERROR;
    }
    if (!ctx->input)
        return ZTMIME_NO_DATA;

    const bool binary = (ctx->flags & ZTMIME_FLAG_BINARY) != 0;
    ztview *view = nullptr;  // handed out at the exit
    ztmime_type ev;
    SegCursor cur;
    Line line;

    for (;;) {
        find_line(ctx, cur, line);

        // No input: the end when announced, else wait.
        if (line.total == 0) {
            ev = (ctx->flags & ZTMIME_FLAG_FINISH) ? end_of_input(ctx, &view) : ZTMIME_NO_DATA;
            goto leave;
        }

        bool over_long = false;
        if (!binary) {
            if (line.end == END_BARE_CR) {
                if (!repair_bare_cr(ctx, line)) {
                    ev = ZTMIME_ERROR;
                    goto leave;
                }
                continue;
            }
            over_long = ctx->max_line && line.limit > ctx->max_line;
            if (over_long && ctx->state != HEAD && ctx->state != PART_HEAD) {
                view = zt_view_cut(ctx->input, nullptr, line.len);
                ev = view ? ZTMIME_LONG_LINE : ZTMIME_ERROR;
                goto leave;
            }
        }

        if (line.end == END_NONE) {
            if (binary && line.total > 50) {
                ztview *fresh = zt_view_new();
                if (!fresh) {
                    ev = ZTMIME_ERROR;
                    goto leave;
                }
                view = ctx->input;
                ctx->input = fresh;
                ev = ZTMIME_PART_BODY;
                goto leave;
            }
            ev = (ctx->flags & ZTMIME_FLAG_FINISH) ? end_of_input(ctx, &view) : ZTMIME_NO_DATA;
            goto leave;
        }

        if ((ctx->flags & ZTMIME_FLAG_DOT_END) && line.len == 3 && line.first == '.' &&
            line.end == END_CRLF) {
            ev = end_of_input(ctx, &view);
            goto leave;
        }

        switch (ctx->state) {
        case HEAD_END:
            // The first line after a header block: an embedded message
            // starts a new header block, anything else is body.
            if (ztview_strcasencmp(ctx->part.content_type, "MESSAGE/RFC822", 14) == 0) {
                ctx->state = HEAD;
                ctx->rfc822_top = ztmime_boundary_top(&ctx->part);
            } else {
                ctx->state = BODY;
            }
            ztview_rewind(ctx->part.content_type);
            ztview_rewind(ctx->part.filename);
            ctx->part.encoding = 0;
            continue;

        case UU_BLOCK:
            view = zt_view_cut(ctx->input, nullptr, line.len);
            if (!view) {
                ev = ZTMIME_ERROR;
            } else if (line_begins_with_text(view, line, "end", 3)) {
                ctx->state = BODY;
                ev = ZTMIME_UUENCODE_DONE;
            } else {
                ev = ZTMIME_PART_BODY;
            }
            goto leave;

        case HEAD:
        case PART_HEAD: {
            if (ctx->scratch)
                ztview_rewind(ctx->scratch);
            if (!ctx->header) {
                size_t fail = header_name_fail(ctx->input, line);
                if (fail == npos) {
                    // The continuation lines already here go with the first
                    // line in one cut; the loop takes any others.  The last
                    // of them is left in scratch, as when taken one by one.
                    size_t last = line.len;
                    size_t n = over_long ? line.len : field_end(ctx, cur, line, last);
                    if (n > line.len && !keep_in_scratch(ctx, last, n)) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    ctx->header = zt_view_cut(ctx->input, nullptr, n);
                    if (!ctx->header) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    ctx->long_header = over_long;
                    continue;
                }
                if (fail == 0 && (line.first == '\n' || (line.first == '\r' && line.end == END_CRLF &&
                                                         line.len == 2))) {
                    view = zt_view_cut(ctx->input, nullptr, line.len);
                    if (!view) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                }
                ev = ctx->state == HEAD ? ZTMIME_HEADERS_DONE : ZTMIME_PART_HEADERS_DONE;
                ctx->state = HEAD_END;
                goto leave;
            }
            if (line.first == ' ' || line.first == '\t') {
                if (ctx->long_header || over_long) {
                    // The field already has an over-long line: it goes out
                    // as it is and this continuation line is dropped.
                    if (!ctx->scratch && !(ctx->scratch = zt_view_new())) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    if (!zt_view_cut(ctx->input, ctx->scratch, line.len)) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    ctx->long_header = 0;
                    view = ctx->header;
                    ctx->header = nullptr;
                    ev = ZTMIME_LONG_LINE;
                    goto leave;
                }
                if (!keep_in_scratch(ctx, 0, line.len) || !zt_view_move(ctx->header, ctx->input, line.len)) {
                    ev = ZTMIME_ERROR;
                    goto leave;
                }
                continue;
            }
            view = ctx->header;
            ctx->header = nullptr;
            if (ctx->long_header) {
                ctx->long_header = 0;
                ev = ZTMIME_LONG_LINE;
            } else {
                ev = ctx->state == HEAD ? ZTMIME_HEADER : ZTMIME_PART_HEADER;
            }
            goto leave;
        }

        case BODY: {
            if ((ctx->flags & ZTMIME_FLAG_UUENCODE) && (line.first | 0x20) == 'b' &&
                line_begins_with_text(ctx->input, line, "begin ", 6)) {
                int begin = ztmime_scan::memo_uu_begin(ctx);
                if (begin < 0) {
                    // Checked once per line: a begin line may wait for
                    // many pieces before a line end follows it.
                    begin = uu_begin_check(ctx->input, line.len, nullptr);
                    if (begin < 0) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    ztmime_scan::memo_set_uu_begin(ctx, begin);
                }
                if (begin == 1) {
                    // Reported only once a line end follows it, unless the
                    // input has ended (then at once, so the message ends).
                    if (!(ctx->flags & ZTMIME_FLAG_FINISH) && !ztmime_scan::line_end_follows(ctx, line)) {
                        ev = ZTMIME_NO_DATA;
                        goto leave;
                    }
                    view = zt_view_cut(ctx->input, nullptr, line.len);
                    if (!view) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    ctx->state = UU_BLOCK;
                    ev = ZTMIME_UUENCODE_HEADER;
                    goto leave;
                }
            } else if (line.first == '(' &&
                       line_begins_with_text(ctx->input, line, binhex_notice, 41)) {
                view = zt_view_cut(ctx->input, nullptr, line.len);
                ev = view ? ZTMIME_BINHEX_HEADER : ZTMIME_ERROR;
                goto leave;
            }
            if (ctx->scratch)
                ztview_rewind(ctx->scratch);

            ztmime_boundary *top = ztmime_boundary_top(&ctx->part);
            ztmime_boundary *r = ctx->rfc822_top;
            if (line.first == '-') {
                if (top && ztview_get_len(top->delimiter) &&
                    line_begins_with(ctx->input, line, top->delimiter)) {
                    view = zt_view_cut(ctx->input, nullptr, line.len);
                    if (!view) {
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    ev = ZTMIME_PART_DONE;
                    if (!line_begins_with(view, line, top->close_delimiter)) {
                        ctx->state = PART_HEAD;
                        goto leave;
                    }
                    if (ctx->rfc822_top == top)
                        ctx->rfc822_top = nullptr;
                    if (ztmime_boundary_pop(&ctx->part) != 0) {
                        // Kept for safety: the stack cannot be empty here.
                        zt_set_error("Unable remove message part boundary");
                        zt_view_free(view);
                        view = nullptr;
                        ev = ZTMIME_ERROR;
                    }
                    goto leave;
                }
                if (r && ztview_get_len(r->delimiter) &&
                    line_begins_with(ctx->input, line, r->delimiter)) {
                    bool close = line_begins_with(ctx->input, line, r->close_delimiter);
                    if (!close) {
                        // The part that follows is taken to be another
                        // embedded message unless its own header says not.
                        if (!ctx->part.content_type && !(ctx->part.content_type = zt_view_new())) {
                            ev = ZTMIME_ERROR;
                            goto leave;
                        }
                        ztview_rewind(ctx->part.content_type);
                        if (ztview_appends(ctx->part.content_type, "message/rfc822") != 0) {
                            ev = ZTMIME_ERROR;
                            goto leave;
                        }
                    }
                    view = zt_view_cut(ctx->input, nullptr, line.len);
                    if (!view) {
                        ztview_rewind(ctx->part.content_type);
                        ev = ZTMIME_ERROR;
                        goto leave;
                    }
                    if (!close)
                        ctx->state = PART_HEAD;
                    pop_down_to(&ctx->part, r);
                    ctx->rfc822_top = nullptr;
                    ev = ZTMIME_PART_DONE;
                    goto leave;
                }
            }

            view = zt_view_cut(ctx->input, nullptr, batch_end(ctx, cur, line));
            ev = view ? ZTMIME_PART_BODY : ZTMIME_ERROR;
            goto leave;
        }

        default:
            // A complete line after the end of input was reported.
            if (ctx->scratch)
                ztview_rewind(ctx->scratch);
            ev = ZTMIME_ERROR;
            goto leave;
        }
    }

leave:
    ztmime_scan::memo_at_exit(ctx, ev, line.total);
    *out = view;
    return ev;
}

ZTMIME_EXPORT int ztmime_parse_uu_header(const ztview *line, ztview *filename) noexcept
{
    return uu_begin_check(line, ztview_get_len(line), filename) == 1 ? 1 : 0;
}

} // extern "C"
