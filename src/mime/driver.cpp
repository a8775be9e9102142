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
// ztmime_do repeats one step until it gives an event.  A step finds the
// first line of the input (line_scan.h), classifies it (no input, bare CR,
// over-long, incomplete, the ".\r\n" end line) and hands it to the
// function for the state: header lines, body lines, a uuencoded block or
// the end of a header block.  A step either gives the event or asks to
// start over on the input as it now is.  Every path leaves through the one
// exit of ztmime_do, which settles the line-scan memo and hands the view
// over.  A step that fails to allocate gives ZTMIME_ERROR (errno ENOMEM)
// with the input as it was.
#define ZT_MODULE "mime"

#include <cerrno>

#include "common/error.h"
#include "common/module.h"
#include "mime/ctx.h"
#include "mime/line_scan.h"
#include "mime/lines.h"
#include "view_peek.h"

using namespace ztmime_lines;
using ztmime_scan::END_BARE_CR;
using ztmime_scan::END_CRLF;
using ztmime_scan::END_LF;
using ztmime_scan::END_NONE;
using ztmime_scan::npos;

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

// What a step gives: a ztmime_type event, or one of these.
using Step = int;
constexpr Step START_OVER = 100;  // the input changed: find the first line again
constexpr Step CARRY_ON = 101;    // not settled yet: the next check decides
constexpr Step TAKEN = 102;       // a field went to the span taker: go on with the next line

// One call of ztmime_do: the context, its first line and the view handed
// out at the exit.
struct Call {
    // The line is left unset (find_line fills it at the start of every
    // step): zeroing it on every call showed in profiles.
    Call(ztmime_ctx *c, bool fields_taken) noexcept : ctx(c), batched(fields_taken) {}
    ztmime_ctx *ctx;
    // Fields go to a taker within the call (ztmime_do_fields).  A constant
    // in each entry point, so ztmime_do keeps none of the work below.  Its
    // span taker, if any, is in the context (kept out of this record, which
    // ztmime_do builds on every call).
    const bool batched;
    SegCursor cur;
    Line line;
    bool over_long = false;  // the line is longer than max_line
    // field_cut handed out a field with the line after it found, complete,
    // and no continuation line: the input's first line now (see
    // next_line_known).
    bool next_known = false;
    ztview *view = nullptr;
};

// Cuts the first n bytes of the input into the view handed out with `ev`;
// ZTMIME_ERROR, nothing consumed, when the cut cannot be made.
Step hand_out(Call &c, size_t n, ztmime_type ev) noexcept
{
    c.view = zt_view_cut(c.ctx->input, nullptr, n);
    return c.view ? ev : ZTMIME_ERROR;
}

// Hands out the collected header field with `ev`.
Step hand_out_field(Call &c, ztmime_type ev) noexcept
{
    c.view = c.ctx->header;
    c.ctx->header = nullptr;
    c.ctx->long_header = 0;
    return ev;
}

ztmime_type field_event(const ztmime_ctx *ctx) noexcept
{
    return ctx->state == PART_HEAD ? ZTMIME_PART_HEADER : ZTMIME_HEADER;
}

// The ".\r\n" line that ends the input under ZTMIME_FLAG_DOT_END.
bool is_dot_end(const ztmime_ctx *ctx, const Line &line) noexcept
{
    return (ctx->flags & ZTMIME_FLAG_DOT_END) && line.len == 3 && line.first == '.' && line.end == END_CRLF;
}

// End of the input (or the ".\r\n" line under ZTMIME_FLAG_DOT_END).
Step end_of_input(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    if (ctx->header)
        return hand_out_field(c, field_event(ctx));
    if (ctx->state == HEAD) {
        ctx->state = HEAD_EOF;
        return ZTMIME_HEADERS_DONE;
    }
    if (ctx->state == BODY) {
        ctx->state = BODY_EOF;
        return ZTMIME_PART_DONE;
    }
    c.view = ctx->input;
    ctx->input = nullptr;
    return ZTMIME_MSG_DONE;
}

Step end_or_wait(Call &c) noexcept
{
    return (c.ctx->flags & ZTMIME_FLAG_FINISH) ? end_of_input(c) : ZTMIME_NO_DATA;
}

// A line without its end yet.  In binary mode more than 50 bytes go out
// as body data at once.
Step incomplete_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    if (!(ctx->flags & ZTMIME_FLAG_BINARY) || c.line.total <= 50)
        return end_or_wait(c);
    ztview *fresh = zt_view_new();
    if (!fresh)
        return ZTMIME_ERROR;
    c.view = ctx->input;
    ctx->input = fresh;
    return ZTMIME_PART_BODY;
}

// Scratch holds the last continuation line of a field taken in one cut
// when the line after the field is not going to be examined in this call
// (it is incomplete, the input has ended, or a repair comes first).  It is
// the tail of the pending field.
bool settle_scratch(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    size_t &owed = ztmime_impl(ctx)->scratch_owed;
    const Line &line = c.line;
    const bool binary = (ctx->flags & ZTMIME_FLAG_BINARY) != 0;
    const bool examined =
        line.total && line.end != END_NONE && (binary || line.end != END_BARE_CR) && !is_dot_end(ctx, line);
    if (!examined && ctx->header) {
        size_t len = ztview_get_len(ctx->header);
        if (!zt_view_dup_front(ctx->header, ctx->scratch, len) ||
            ztview_seek(ctx->scratch, len - owed, ZTVIEW_SEEK_FRONT) != 0)
            return false;
        ztmime_impl(ctx)->scratch_full = true;
    }
    owed = 0;
    return true;
}

// Empties scratch before a line is examined.
void empty_scratch(ztmime_ctx *ctx) noexcept
{
    ztmime_ctx_impl *impl = ztmime_impl(ctx);
    if (impl->scratch_full) {
        ztview_rewind(ctx->scratch);
        impl->scratch_full = false;
    }
}

// Finds the first line and settles what does not depend on the state: no
// input, a bare CR, an over-long body line, an incomplete line, the
// ".\r\n" end line.
[[gnu::always_inline]] inline Step classify_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const Line &line = c.line;
    ztmime_scan::find_line(ztmime_impl(ctx)->memo, ctx->input, c.cur, c.line);
    c.over_long = false;
    if (ztmime_impl(ctx)->scratch_owed && !settle_scratch(c))
        return ZTMIME_ERROR;
    if (line.total == 0)
        return end_or_wait(c);
    if (!(ctx->flags & ZTMIME_FLAG_BINARY)) {
        if (line.end == END_BARE_CR)
            return repair_bare_cr(ctx, line) ? START_OVER : ZTMIME_ERROR;
        // Header lines are never cut early: the header steps decide.
        c.over_long = ctx->max_line && line.limit > ctx->max_line;
        if (c.over_long && ctx->state != HEAD && ctx->state != PART_HEAD)
            return hand_out(c, line.len, ZTMIME_LONG_LINE);
    }
    if (line.end == END_NONE)
        return incomplete_line(c);
    if (is_dot_end(ctx, line))
        return end_of_input(c);
    return CARRY_ON;
}

// The first line after a header block: an embedded message starts a new
// header block, anything else is body.  The part record is emptied.
void leave_header_block(ztmime_ctx *ctx) noexcept
{
    // Lengths and emptiness read inline: a short type is no message/rfc822,
    // and the usual part has no file name to drop.
    if (zt_view_peek_len(ctx->part.content_type) >= 14 &&
        ztview_strcasencmp(ctx->part.content_type, "MESSAGE/RFC822", 14) == 0) {
        ctx->state = HEAD;
        ctx->rfc822_top = ztmime_boundary_top(&ctx->part);
    } else {
        ctx->state = BODY;
    }
    for (ztview *v : {ctx->part.content_type, ctx->part.filename})
        if (v && !zt_view_peek_blank(v))
            ztview_rewind(v);
    ctx->part.encoding = 0;
}

// Inside a uuencoded block: one line per call, until the "end" line.
Step uu_block_line(Call &c) noexcept
{
    const bool end = line_begins_with_text(c.ctx->input, c.line, "end", 3);
    Step ev = hand_out(c, c.line.len, end ? ZTMIME_UUENCODE_DONE : ZTMIME_PART_BODY);
    if (ev == ZTMIME_UUENCODE_DONE)
        c.ctx->state = BODY;
    return ev;
}

// ---------------------------------------------------------------------------
// Header lines

// Whether the line after a field, found by find_line_after_cut, ends the
// field and needs nothing more from the step that would find it again: it
// is complete and no continuation line.  Anything else (an incomplete
// line, the end line, a line needing repair, a continuation line taken
// apart from the field) gets the full step.
bool ends_field(const ztmime_ctx *ctx, const Line &line) noexcept
{
    return line.total != 0 && (line.end == END_LF || line.end == END_CRLF) && line.first != ' ' &&
           line.first != '\t' && !is_dot_end(ctx, line);
}

// A field of n bytes has just been cut from the input.  When the line now
// first ends it, the field goes out at once: the step that would find that
// line again and settle the same things is skipped.  Its scan is kept in
// the memo for the next call.
[[gnu::always_inline]] inline Step field_cut(Call &c, size_t n) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    ztmime_scan::find_line_after_cut(ztmime_impl(ctx)->memo, ctx->input, c.cur, c.line, n);
    if (!ends_field(ctx, c.line))
        return START_OVER;
    // The line is examined here: scratch owes nothing and is emptied.
    ztmime_impl(ctx)->scratch_owed = 0;
    empty_scratch(ctx);
    c.next_known = c.batched;
    return hand_out_field(c, ctx->long_header ? ZTMIME_LONG_LINE : field_event(ctx));
}

// A field of n bytes (first line and continuation lines; `last` as
// field_end gives it) lying in the input's front segment with room after
// it, under a span taker.  The line after it is found before the cut: with
// n short of the front segment, find_line_after_cut reads the same bytes
// before and after.  A field that line ends is offered to the span taker,
// and goes out as a view only when the taker leaves it; any other field is
// cut and stays pending, as first_header_line leaves it.
Step field_in_front(Call &c, size_t n, size_t last) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    ztmime_ctx_impl *impl = ztmime_impl(ctx);
    const unsigned char *p = c.line.head;
    const bool folded = n > c.line.len;
    ztmime_scan::find_line_after_cut(impl->memo, ctx->input, c.cur, c.line, n);
    if (!ends_field(ctx, c.line)) {
        if (folded && !ctx->scratch && !(ctx->scratch = zt_view_new()))
            return ZTMIME_ERROR;
        if (!(ctx->header = zt_view_cut(ctx->input, nullptr, n)))
            return ZTMIME_ERROR;
        impl->header_p = p;
        impl->header_n = n;
        ctx->long_header = 0;
        impl->scratch_owed = n - last;
        return START_OVER;
    }
    // Scratch was settled and emptied before this line was examined, and
    // the field owes it nothing: it has its line end and the line after it.
    c.next_known = true;
    if (const int took = impl->span(impl->span_arg, ctx->input, p, n))
        return took > 0 ? TAKEN : ZTMIME_ERROR;
    if (!(ctx->header = zt_view_cut(ctx->input, nullptr, n)))
        return ZTMIME_ERROR;
    impl->header_p = p;
    impl->header_n = n;
    ctx->long_header = 0;
    return hand_out_field(c, field_event(ctx));
}

// No field pending: the line starts one, or ends the header block.
[[gnu::always_inline]] inline Step first_header_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const Line &line = c.line;
    size_t fail = header_name_fail(ctx->input, line);
    if (fail == npos) {
        // The continuation lines already here go with the first line in
        // one cut.  Taken one by one, the last of them would pass through
        // scratch and stay there until the next line is examined: settled
        // once that line is found (settle_scratch).
        size_t last = line.len;
        size_t n = c.over_long ? line.len : field_end(ctx, c.cur, line, last);
        if (c.batched && ztmime_impl(ctx)->span && !c.over_long && n < line.head_n)
            return field_in_front(c, n, last);
        if (n > line.len && !ctx->scratch && !(ctx->scratch = zt_view_new()))
            return ZTMIME_ERROR;
        if (!(ctx->header = zt_view_cut(ctx->input, nullptr, n)))
            return ZTMIME_ERROR;
        // Within the input's front segment the cut hands over exactly these
        // bytes, without copying (find_line_after_cut relies on it too).
        // Recorded for a taker only (ztmime_do_fields).
        ztmime_impl(ctx)->header_p = c.batched && n <= line.head_n ? line.head : nullptr;
        ztmime_impl(ctx)->header_n = n;
        ctx->long_header = c.over_long;
        ztmime_impl(ctx)->scratch_owed = n - last;
        return field_cut(c, n);
    }
    const Step ev = ctx->state == HEAD ? ZTMIME_HEADERS_DONE : ZTMIME_PART_HEADERS_DONE;
    const bool blank = fail == 0 && (line.first == '\n' || (line.first == '\r' && line.end == END_CRLF &&
                                                           line.len == 2));
    Step r = blank ? hand_out(c, line.len, static_cast<ztmime_type>(ev)) : ev;
    if (r != ZTMIME_ERROR)
        ctx->state = HEAD_END;
    return r;
}

// A continuation line of the pending field.
Step continuation_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const size_t n = c.line.len;
    if (ctx->long_header || c.over_long) {
        // The field already has an over-long line: it goes out as it is
        // and this continuation line is dropped into scratch.
        if (!ctx->scratch && !(ctx->scratch = zt_view_new()))
            return ZTMIME_ERROR;
        if (!zt_view_cut(ctx->input, ctx->scratch, n))
            return ZTMIME_ERROR;
        ztmime_impl(ctx)->scratch_full = true;
        return hand_out_field(c, ZTMIME_LONG_LINE);
    }
    ztmime_impl(ctx)->header_p = nullptr;  // the field now has more than its first cut
    if (!keep_in_scratch(ctx, 0, n) || !zt_view_move(ctx->header, ctx->input, n))
        return ZTMIME_ERROR;
    return START_OVER;
}

[[gnu::always_inline]] inline Step header_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    if (!ctx->header)
        return first_header_line(c);
    if (c.line.first == ' ' || c.line.first == '\t')
        return continuation_line(c);
    // The field is complete; this line stays for the next call.
    return hand_out_field(c, ctx->long_header ? ZTMIME_LONG_LINE : field_event(ctx));
}

// ---------------------------------------------------------------------------
// Body lines

// A "begin " line under ZTMIME_FLAG_UUENCODE.  Checked once per line (the
// memo keeps the answer), since a begin line may wait for many pieces
// before a line end follows it.
Step uu_begin_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    ztmime_scan::Memo &memo = ztmime_impl(ctx)->memo;
    int begin = ztmime_scan::memo_uu_begin(memo);
    if (begin < 0) {
        begin = uu_begin_check(ctx->input, c.line.len, nullptr);
        if (begin < 0)
            return ZTMIME_ERROR;
        ztmime_scan::memo_set_uu_begin(memo, begin);
    }
    if (begin == 0)
        return CARRY_ON;
    // Reported only once a line end follows it, unless the input has ended
    // (then at once, so the message ends).
    if (!(ctx->flags & ZTMIME_FLAG_FINISH) && !ztmime_scan::line_end_follows(memo, ctx->input, c.line))
        return ZTMIME_NO_DATA;
    Step ev = hand_out(c, c.line.len, ZTMIME_UUENCODE_HEADER);
    if (ev != ZTMIME_ERROR)
        ctx->state = UU_BLOCK;
    return ev;
}

// uuencode begin lines and BinHex notices, which the state does not change
// for.
Step special_body_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const Line &line = c.line;
    if ((ctx->flags & ZTMIME_FLAG_UUENCODE) && (line.first | 0x20) == 'b' &&
        line_begins_with_text(ctx->input, line, "begin ", 6))
        return uu_begin_line(c);
    if (line.first == '(' && line_begins_with_text(ctx->input, line, binhex_notice, 41))
        return hand_out(c, line.len, ZTMIME_BINHEX_HEADER);
    return CARRY_ON;
}

// A delimiter of the innermost multipart: the part ends; a close delimiter
// also closes the multipart.
Step boundary_line(Call &c, ztmime_boundary *top) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const bool close = line_begins_with(ctx->input, c.line, top->close_delimiter);
    Step ev = hand_out(c, c.line.len, ZTMIME_PART_DONE);
    if (ev == ZTMIME_ERROR)
        return ev;
    if (!close) {
        ctx->state = PART_HEAD;
        return ev;
    }
    if (ctx->rfc822_top == top)
        ctx->rfc822_top = nullptr;
    if (ztmime_boundary_pop(&ctx->part) != 0) {
        // Kept for safety: the stack cannot be empty here.
        zt_set_error("Unable remove message part boundary");
        zt_view_free(c.view);
        c.view = nullptr;
        return ZTMIME_ERROR;
    }
    return ev;
}

// A delimiter of the multipart around an embedded message whose own
// multipart was never closed: the embedded message ends.  The part that
// follows is taken to be another embedded message unless its own header
// says not.
Step embedded_end_line(Call &c, const ztmime_boundary *r) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const bool close = line_begins_with(ctx->input, c.line, r->close_delimiter);
    if (!close) {
        if (!ctx->part.content_type && !(ctx->part.content_type = zt_view_new()))
            return ZTMIME_ERROR;
        ztview_rewind(ctx->part.content_type);
        if (ztview_appends(ctx->part.content_type, "message/rfc822") != 0)
            return ZTMIME_ERROR;
    }
    Step ev = hand_out(c, c.line.len, ZTMIME_PART_DONE);
    if (ev == ZTMIME_ERROR) {
        ztview_rewind(ctx->part.content_type);
        return ev;
    }
    if (!close)
        ctx->state = PART_HEAD;
    pop_down_to(&ctx->part, r);
    ctx->rfc822_top = nullptr;
    return ev;
}

Step body_line(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    const Line &line = c.line;
    if (line.first == '-') {
        ztmime_boundary *top = ztmime_boundary_top(&ctx->part);
        if (top && ztview_get_len(top->delimiter) && line_begins_with(ctx->input, line, top->delimiter))
            return boundary_line(c, top);
        const ztmime_boundary *r = ctx->rfc822_top;
        if (r && ztview_get_len(r->delimiter) && line_begins_with(ctx->input, line, r->delimiter))
            return embedded_end_line(c, r);
    }
    return hand_out(c, batch_end(ctx, c.cur, line), ZTMIME_PART_BODY);
}

// ---------------------------------------------------------------------------

// The first line when field_cut found it and handed out the field before
// it, and nothing changed the input since (ztmime_do_fields): complete, no
// bare CR, not the end line, no continuation line, and scratch is empty,
// so classify_line would let it through with only the over-long check to
// make.  The header steps take it from here.
void next_line_known(Call &c) noexcept
{
    const ztmime_ctx *ctx = c.ctx;
    c.next_known = false;
    c.over_long = !(ctx->flags & ZTMIME_FLAG_BINARY) && ctx->max_line && c.line.limit > ctx->max_line;
}

// One step: the first line, then the state's own handling of it.  Scratch
// is emptied before each line that reaches header or body handling.
Step step(Call &c) noexcept
{
    ztmime_ctx *ctx = c.ctx;
    if (c.batched && c.next_known) {
        // A field just went out in a header state, which its taker does not
        // change, and scratch was emptied for the line now first: straight
        // to the header steps.
        next_line_known(c);
    } else {
        Step r = classify_line(c);
        if (r != CARRY_ON)
            return r;
        switch (ctx->state) {
        case HEAD_END:
            leave_header_block(ctx);
            return START_OVER;
        case UU_BLOCK:
            return uu_block_line(c);
        case BODY:
            if ((r = special_body_line(c)) != CARRY_ON)
                return r;
            break;
        default:
            break;
        }
        empty_scratch(ctx);
        if (ctx->state == BODY)
            return body_line(c);
        if (ctx->state != HEAD && ctx->state != PART_HEAD)
            return ZTMIME_ERROR;  // a complete line after the end of input was reported
    }
    // One call of the header steps, so that ztmime_do keeps them inline.
    return header_line(c);
}

// The calls of both entry points, on a context with input: steps until an
// event, which is handed out through `out`; with a taker, header fields go
// to it instead, as long as it takes them.  ztmime_do_fields has the steps
// inlined into it whole (flatten): called from two places, the compiler
// would otherwise keep them out of line, which cost ztmime_do a tenth of
// its speed over small header fields.  ztmime_do keeps the steps of a
// header line inline by marking them always_inline (flattened whole, it
// grew by a third).
inline ztmime_type drive(ztmime_ctx *ctx, ztview **out, bool (*take)(void *, ztview *), void *arg) noexcept
{
    Call c(ctx, take != nullptr);
    Step r;
    for (;;) {
        do {
            r = step(c);
        } while (r == START_OVER || r == TAKEN);
        if (!take || (r != ZTMIME_HEADER && r != ZTMIME_PART_HEADER) || !take(arg, c.view))
            break;  // a field the taker refused goes back with its event
        c.view = nullptr;
    }
    const auto ev = static_cast<ztmime_type>(r);
    ztmime_scan::memo_at_exit(ztmime_impl(ctx)->memo, ctx->input, ev, c.line.total);
    *out = c.view;
    return ev;
}

} // namespace

__attribute__((flatten)) ztmime_type ztmime_do_fields(ztmime_ctx *ctx, ztview **out,
                                                      bool (*take)(void *, ztview *), void *arg,
                                                      ztmime_span_taker span) noexcept
{
    *out = nullptr;
    if (!ctx->input)
        return ZTMIME_NO_DATA;
    ztmime_impl(ctx)->span = span;
    ztmime_impl(ctx)->span_arg = arg;
    return drive(ctx, out, take, arg);
}

extern "C" ZTMIME_EXPORT ztmime_type ztmime_do(ztmime_ctx *ctx, ztview **out) noexcept
{
    if (out)
        *out = nullptr;
    if (!ctx || !out) {
        zt_set_error("Invalid NULL parameters for ztmime_do");
        return ZTMIME_ERROR;
    }
    if (!ctx->input)
        return ZTMIME_NO_DATA;
    return drive(ctx, out, nullptr, nullptr);
}
