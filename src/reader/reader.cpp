// The message reader: drives the parser, header interpretation and one
// encoder object, and hands out a message as items in tree order
// (MESSAGE, PART, DATA..., PART_END, MESSAGE_END).
//
// The part tree follows the parser.  A header block that pushed a boundary
// entry opens a multipart node that remembers the entry's depth; a block
// whose recorded type is message/rfc822 opens a node whose one child is the
// embedded message.  A delimiter (PART_DONE with a line) ends every node
// above the multipart it belongs to; a close delimiter also marks that
// multipart closed, so what follows is its epilogue.  The end of the input
// ends every open node, and a multipart not closed by then was truncated.
//
// Items are produced lazily: a call hands out pending data first, then a
// pending PART, then pending PART_ENDs one by one, and only then pulls the
// next parser event, so decoded bytes never pile up.
#define ZT_MODULE "reader"

#include <cerrno>
#include <cstdio>
#include <new>
#include <strings.h>

#include "common/handles.h"
#include "common/module.h"
#include "front_segment.h"
#include "mime/ctx.h"
#include "reader/reader.h"
#include "view_peek.h"

using namespace zt_reader;

namespace zt_reader {

void Node::fix() noexcept
{
    info.path = text.str(off[0]);
    info.content_type = text.str(off[1]);
    info.charset = text.str(off[2]);
    info.disposition = text.str(off[3]);
    info.filename = text.str(off[4]);
}

} // namespace zt_reader

namespace {

constexpr char kDigestType[] = "Content-Type: message/rfc822\r\n";

ztmime_item fail(ztmime_reader *r, const char *why) noexcept
{
    r->phase = ztmime_reader::kError;
    std::snprintf(r->error, sizeof r->error, "%s", why);
    return ZTMIME_ITEM_ERROR;
}

// Everything a reset empties; objects that stay (parser, encoder, views)
// are only emptied.
void clear_state(ztmime_reader *r) noexcept
{
    for (size_t i = 0; i < r->nnodes; ++i)
        r->nodes[i].text.release();
    r->nnodes = 0;
    r->end_to = 0;
    r->ended.text.release();
    r->has_ended = false;
    r->paths.clear();
    r->collect.clear();
    r->shown.clear();
    r->dec.clear();
    r->dec_index.clear();
    r->dec_ready = false;
    r->raw_ready = false;
    ztview_rewind(r->in);
    ztview_rewind(r->out);
    r->seg = 0;
    r->conv.clear();
    r->conv_ready = false;
    r->body.conv.close();
    r->body.active = false;
    r->body.nheld = 0;
    r->phase = ztmime_reader::kBetween;
    r->finished = r->parser_finished = false;
    r->first_block = true;
    r->announce = r->msg_end = r->messages_done = false;
    r->last = ZTMIME_ITEM_NONE;
    r->depth_mark = 0;
    r->in_total = r->given = 0;
    r->cuts.clear();
    r->cut_head = 0;
    r->line_head.clear();
    r->nblank = 0;
    r->at_line_start = true;
    r->skip_envelope = false;
    r->mbox_started = false;
    r->error[0] = 0;
}

void release_all(ztmime_reader *r) noexcept
{
    clear_state(r);
    zt_free(r->nodes);
    r->collect.release();
    r->shown.release();
    r->dec.release();
    r->dec_index.release();
    r->raw.release();
    r->raw_index.release();
    r->conv.release();
    r->scratch.release();
    r->spare_text.release();
    r->ct_params.release();
    r->cd_params.release();
    r->paths.release();
    r->cuts.release();
    r->line_head.release();
    ztmime_destroy(r->ctx);
    ztmime_encoder_destroy(r->enc);
    zt_view_free(r->in);
    zt_view_free(r->out);
    zt_view_free(r->digest_type);
    r->~ztmime_reader();
    zt_free(r);
}

Node *push_node(ztmime_reader *r) noexcept
{
    if (r->nnodes == r->capnodes) {
        size_t cap = r->capnodes ? 2 * r->capnodes : 8;
        auto *p = static_cast<Node *>(zt_realloc(r->nodes, cap * sizeof(Node)));
        if (!p)
            return nullptr;
        r->nodes = p;
        r->capnodes = cap;
    }
    Node *n = &r->nodes[r->nnodes];
    std::memset(static_cast<void *>(n), 0, sizeof *n);
    return n;
}

bool hand_out(ztmime_reader *r, const void **data, size_t *len) noexcept
{
    if (r->conv_ready) {
        r->conv_ready = false;
        *data = r->conv.p;
        *len = r->conv.n;
        return true;
    }
    // Most calls find nothing to hand out: the count is read inline.
    size_t count = zt_view_peek_count(r->out);
    while (r->seg < count) {
        const unsigned char *p;
        size_t n;
        zt_view_peek_segment(r->out, r->seg++, &p, &n);
        if (n) {
            *data = p;
            *len = n;
            return true;
        }
    }
    if (count)
        ztview_rewind(r->out);
    r->seg = 0;
    return false;
}

// Interprets a header field and keeps it in the block being read (the
// block takes the view when this succeeds).  The interpretation may meet a
// memory failure it does not report: errno tells.
bool add_field(ztmime_reader *r, ztview *v, const HeaderBlock::Front &f) noexcept
{
    // The parser acts on Content-* fields only: a field whose first byte
    // is something else is not worth the call.
    if (!f.p || !f.n || (f.p[0] | 0x20) == 'c') {
        errno = 0;
        int rc = ztmime_parse_header(r->ctx, v, nullptr);
        if (errno == ENOMEM)
            return false;
        if (rc != 0)
            r->collect.problems |= ZTMIME_PROBLEM_HEADER;
    }
    return r->collect.add(v, f);
}

bool add_field(ztmime_reader *r, ztview *v) noexcept
{
    HeaderBlock::Front f;
    f.len = _ztview_front_segment(v, &f.p, &f.n, &f.segments);
    return add_field(r, v, f);
}

// A field the parser has just handed out: where its bytes lie is known
// from the parser's cut when they are one piece, and the view library need
// not be asked.
bool add_parsed_field(ztmime_reader *r, ztview *v) noexcept
{
    const ztmime_ctx_impl *impl = ztmime_impl(r->ctx);
    if (!impl->header_p)
        return add_field(r, v);
    HeaderBlock::Front f;
    f.p = impl->header_p;
    f.len = f.n = impl->header_n;
    f.segments = 1;
#ifndef NDEBUG
    // Debug builds check the parser's record against the view itself.
    HeaderBlock::Front g;
    g.len = _ztview_front_segment(v, &g.p, &g.n, &g.segments);
    if (g.len != f.len || g.p != f.p || g.n != f.n || g.segments != 1)
        __builtin_trap();
#endif
    return add_field(r, v, f);
}

// The parser's hand-over of a field (ztmime_do_fields).  errno is left as
// a call of ztmime_do finds it, so that a later failure in the same call
// is told apart from lack of memory.
bool take_field(void *reader, ztview *v) noexcept
{
    if (!add_parsed_field(static_cast<ztmime_reader *>(reader), v))
        return false;
    errno = 0;
    return true;
}

// take_span for a field whose name begins with 'c': the parser reads it
// first (a Content- field changes the parse), from its bytes when it can
// do so without the tokenizer, else the field takes the view path.  Once
// the parser has recorded it, the field can no longer be declined.
__attribute__((noinline)) int take_c_span(ztmime_reader *r, ztview *input, const unsigned char *p, size_t n) noexcept
{
    HeaderBlock &b = r->collect;
    if (!b.span_fits(n) || (!b.hold && !b.make_hold())) {
        errno = 0;
        return 0;
    }
    errno = 0;
    const int rc = ztmime_parse_header_bytes(r->ctx, p, n);
    if (rc == ztmime_flat::kFlatIrregular)
        return 0;
    if (errno == ENOMEM || _ztview_take_front(b.hold, input, n) != 0) {
        errno = ENOMEM;
        return -1;
    }
    if (rc != 0)
        b.problems |= ZTMIME_PROBLEM_HEADER;
    b.keep_span(p, n);
    if (n > 12)
        b.note_content(p, n);
    errno = 0;
    return 1;
}

// The parser's offer of a field lying whole in its input's front segment.
int take_span(void *reader, ztview *input, const unsigned char *p, size_t n) noexcept
{
    auto *r = static_cast<ztmime_reader *>(reader);
    if ((p[0] | 0x20) == 'c')
        return take_c_span(r, input, p, n);
    return r->collect.add_span(input, p, n) ? 1 : 0;
}

// A header line cut by the end of the input is a field too.
bool take_cut_field(ztmime_reader *r) noexcept
{
    ztview *rest = r->ctx->input;
    if (!ztview_get_len(rest))
        return true;
    ViewHandle line(zt_view_cut(rest, nullptr, ztview_get_len(rest)), ZT_MODULE);
    if (!line || !add_field(r, line.get()))
        return false;
    line.release();
    return true;
}

bool on_headers_done(ztmime_reader *r, int ev, bool has_view) noexcept
{
    ztmime_ctx *ctx = r->ctx;
    bool cut = !has_view && ctx->state == 2 && (ztview_get_len(ctx->input) > 0 || !r->collect.last_ended);
    if (cut && !take_cut_field(r))
        return false;
    Node *parent = top(r);
    bool root = !parent || (ev == ZTMIME_HEADERS_DONE && r->first_block);
    bool in_digest = !root && ev == ZTMIME_PART_HEADERS_DONE && parent->digest;
    if (in_digest && !r->collect.ct_index) {
        // Parts of a digest are messages unless they say otherwise: the
        // parser is told so, and follows the embedded message.
        errno = 0;
        ztmime_parse_header(ctx, r->digest_type, nullptr);
        if (errno == ENOMEM)
            return false;
    }
    Node *n = push_node(r);
    if (!n)
        return false;
    if (parent)
        parent = n - 1;  // push_node may have moved the nodes
    // The paths of the open nodes are prefixes of one another: they share
    // r->paths, which holds the path of the deepest (ztmime_reader_next
    // points info.path at it), so deep nesting costs no memory per level
    // beyond the level's own digits.
    std::swap(n->text, r->spare_text);
    n->text.clear();
    n->off[0] = 0;
    bool ok = n->text.push(0);
    if (root) {
        r->paths.clear();
        n->path_len = 0;
        ok = ok && r->paths.push(0);
    } else {
        char num[16];
        int k = 0;
        for (uint32_t v = ++parent->children; v; v /= 10)
            num[k++] = static_cast<char>('0' + v % 10);
        std::reverse(num, num + k);
        size_t pl = parent->path_len;
        r->paths.n = pl;
        ok = ok && (!pl || r->paths.push('.')) && r->paths.append(num, static_cast<size_t>(k)) && r->paths.push(0);
        n->path_len = r->paths.n - 1;
        n->info.depth = parent->info.depth + 1;
    }
    n->info.encoding = ctx->part.encoding;
    if (!ok || !interpret(r, *n, in_digest)) {
        n->text.release();
        return false;
    }
    if (ctx->part.depth > r->depth_mark) {
        auto *entry = reinterpret_cast<ztmime_boundary *>(ctx->part.boundaries.top);
        if (entry && ztview_get_len(entry->delimiter) > 0) {
            n->multipart = true;
            n->mp_depth = ctx->part.depth;
            n->digest = std::strcmp(n->text.str(n->off[1]), "multipart/digest") == 0;
        } else {
            n->info.problems |= ZTMIME_PROBLEM_HEADER;  // a multipart without a boundary is one body
        }
    }
    const ztview *type = ctx->part.content_type;
    n->rfc822 = zt_view_peek_len(type) >= 14 && ztview_strcasencmp(type, "message/rfc822", 14) == 0;
    n->info.container = n->multipart || n->rfc822;
    if (n->info.encoding == ZTMIME_ENC_OTHER && !n->info.container)
        n->info.problems |= ZTMIME_PROBLEM_DECODE;  // an encoding we cannot undo: the bytes as they came
    if (cut)
        n->info.problems |= ZTMIME_PROBLEM_TRUNCATED;
    n->fix();
    r->end_to = ++r->nnodes;
    r->depth_mark = ctx->part.depth;
    r->first_block = false;
    std::swap(r->collect, r->shown);
    r->collect.clear();
    r->dec_ready = false;
    r->raw_ready = false;
    r->announce = true;
    return n->info.container || body_start(r, *n);
}

bool on_part_done(ztmime_reader *r, const ztview *line) noexcept
{
    if (!line)
        return true;  // the end of the input: the message ends next, with its last line
    if (!body_end(r, true))
        return false;
    ztmime_ctx *ctx = r->ctx;
    int32_t depth = ctx->part.depth, target = depth;
    if (ctx->state != ZTMIME_PART_HEADER) {
        // A close delimiter: normally of the entry just popped; when it is
        // the close delimiter of the entry now on top, the parser ended an
        // embedded message's unclosed multiparts down to that entry.
        auto *entry = reinterpret_cast<ztmime_boundary *>(ctx->part.boundaries.top);
        size_t cl = entry ? ztview_get_len(entry->close_delimiter) : 0;
        bool outer = cl && ztview_get_len(line) >= cl && ztview_ncmp(line, entry->close_delimiter, cl) == 0;
        target = outer ? depth : depth + 1;
    }
    size_t k = r->nnodes;
    while (k > 0 && !(r->nodes[k - 1].multipart && r->nodes[k - 1].mp_depth == target))
        --k;
    if (k > 0) {
        r->end_to = k;
        if (ctx->state != ZTMIME_PART_HEADER)
            r->nodes[k - 1].closed = true;
    } else {
        r->end_to = r->nnodes ? 1 : 0;
    }
    r->depth_mark = depth;
    return true;
}

bool on_msg_done(ztmime_reader *r, ztview *rest) noexcept
{
    // A part header block cut by the end of the input.
    if (r->ctx->state == ZTMIME_PART_HEADER && r->nnodes && (r->collect.seen || zt_view_peek_len(rest))) {
        if (rest && zt_view_peek_len(rest)) {
            ViewHandle line(zt_view_cut(rest, nullptr, ztview_get_len(rest)), ZT_MODULE);
            if (!line || !add_field(r, line.get()))
                return false;
            line.release();
        }
        if (!on_headers_done(r, ZTMIME_PART_HEADERS_DONE, false))
            return false;
        top(r)->info.problems |= ZTMIME_PROBLEM_TRUNCATED;
    }
    if (rest && zt_view_peek_len(rest) && !body_data(r, rest, true))
        return false;
    if (!body_end(r, false))
        return false;
    size_t k = 0;
    while (k < r->nnodes && !(r->nodes[k].multipart && !r->nodes[k].closed))
        ++k;
    for (; k < r->nnodes; ++k)
        r->nodes[k].info.problems |= ZTMIME_PROBLEM_TRUNCATED;
    r->end_to = 0;
    r->msg_end = true;
    uint64_t at;
    if (cut_pending(r, &at) && at <= r->given)
        cut_pop(r);
    return true;
}

// Acts on one parser event other than a header field (those go to
// take_field within the parser's call); v is set to null when the view was
// taken.
bool handle(ztmime_reader *r, int ev, ztview *&v) noexcept
{
    switch (ev) {
    case ZTMIME_HEADERS_DONE:
    case ZTMIME_PART_HEADERS_DONE:
        return on_headers_done(r, ev, v != nullptr);
    case ZTMIME_PART_DONE:
        return on_part_done(r, v);
    case ZTMIME_MSG_DONE:
        return on_msg_done(r, v);
    case ZTMIME_LONG_LINE:
        if (r->ctx->state == ZTMIME_HEADER || r->ctx->state == ZTMIME_PART_HEADER) {
            // A header field with a line longer than kMaxLine: over the
            // block's limit, so add() counts it and lets it go.
            static_assert(kMaxLine >= kMaxBlockBytes);
            r->collect.problems |= ZTMIME_PROBLEM_HEADER;
            if (!r->collect.add(v))
                return false;
            v = nullptr;
            return true;
        }
        return body_data(r, v, false);
    default:  // body lines, uuencode and BinHex lines, long lines
        return body_data(r, v, false);
    }
}

// Gives the parser the bytes of the current message that have arrived, or
// tells it the message is complete.  1 when something was given, 0 when
// more input is needed, -1 for lack of memory.
int supply(ztmime_reader *r) noexcept
{
    uint64_t limit = r->in_total, at;
    bool end_known = r->finished;
    if ((r->flags & ZTMIME_READER_MBOX) && cut_pending(r, &at)) {
        limit = at;
        end_known = true;
    }
    if (limit > r->given) {
        size_t k = static_cast<size_t>(limit - r->given);
        if (!zt_view_move(r->ctx->input, r->in, k))
            return -1;
        r->given = limit;
        return 1;
    }
    if (end_known && !r->parser_finished) {
        ztmime_finish(r->ctx);
        r->parser_finished = true;
        return 1;
    }
    return 0;
}

// 1 when a message begins, 0 when none can yet, -1 for lack of memory.
int start_message(ztmime_reader *r) noexcept
{
    uint64_t at;
    if (!(r->flags & ZTMIME_READER_MBOX)) {
        if (r->messages_done || (!r->finished && ztview_get_len(r->in) == 0))
            return 0;
        r->messages_done = true;
    } else {
        // An envelope line at the very start leaves nothing before it.
        while (!r->mbox_started && cut_pending(r, &at) && at == r->given)
            cut_pop(r);
        if (!cut_pending(r, &at) && r->in_total == r->given)
            return 0;
        r->mbox_started = true;
    }
    ztmime_reset(r->ctx);
    if (!r->ctx->input)
        return -1;
    r->ctx->flags &= ~ZTMIME_FLAG_FINISH;
    r->parser_finished = false;
    r->first_block = true;
    r->depth_mark = 0;
    r->collect.clear();
    r->phase = ztmime_reader::kInMessage;
    // The message's bytes at hand go to the parser now: its first call
    // would otherwise only find an empty input and ask for them.
    return supply(r) < 0 ? -1 : 1;
}

} // namespace

namespace {

ztmime_item next_item(ztmime_reader *r, const void **data, size_t *len) noexcept
{
    const void *d0;
    size_t l0;
    if (!data)
        data = &d0;
    if (!len)
        len = &l0;
    *data = nullptr;
    *len = 0;
    if (!r)
        return ZTMIME_ITEM_ERROR;
    if (r->phase == ztmime_reader::kError)
        return ZTMIME_ITEM_ERROR;
    for (;;) {
        if (hand_out(r, data, len)) {
            top(r)->info.size += *len;
            return static_cast<ztmime_item>(r->last = ZTMIME_ITEM_DATA);
        }
        if (r->announce) {
            r->announce = false;
            return static_cast<ztmime_item>(r->last = ZTMIME_ITEM_PART);
        }
        if (r->nnodes > r->end_to) {
            // The texts of the part that ended before serve the next part.
            if (!r->spare_text.p)
                std::swap(r->spare_text, r->ended.text);
            if (r->ended.text.p)
                r->ended.text.release();
            r->ended = r->nodes[--r->nnodes];
            r->has_ended = true;
            return static_cast<ztmime_item>(r->last = ZTMIME_ITEM_PART_END);
        }
        if (r->msg_end) {
            r->msg_end = false;
            r->phase = ztmime_reader::kBetween;
            return static_cast<ztmime_item>(r->last = ZTMIME_ITEM_MESSAGE_END);
        }
        if (r->phase == ztmime_reader::kBetween) {
            int s = start_message(r);
            if (s < 0)
                return fail(r, "out of memory");
            if (s == 0)
                return ZTMIME_ITEM_NONE;
            return static_cast<ztmime_item>(r->last = ZTMIME_ITEM_MESSAGE);
        }
        // Header fields hand nothing out and end nothing: the parser gives
        // them to the block one after another within one call.
        ztview *v = nullptr;
        errno = 0;
        int ev = ztmime_do_fields(r->ctx, &v, take_field, r, take_span);
        // A field comes back as an event only when take_field could not
        // keep it.
        if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER) {
            zt_view_free(v);
            return fail(r, "out of memory");
        }
        if (ev == ZTMIME_ERROR) {
            const char *why = errno == ENOMEM ? "out of memory" : "the parser failed";
            zt_view_free(v);
            return fail(r, why);
        }
        if (ev == ZTMIME_NO_DATA) {
            if (v)
                zt_view_free(v);
            int s = supply(r);
            if (s < 0)
                return fail(r, "out of memory");
            if (s == 0)
                return ZTMIME_ITEM_NONE;
            continue;
        }
        // Most events hand their view over: no call to free a null one.
        bool ok = handle(r, ev, v);
        if (v && ev == ZTMIME_MSG_DONE && !r->ctx->input) {
            // The parser's input, handed over at the end of the message,
            // serves the next message emptied rather than made again.
            if (!zt_view_peek_blank(v))
                ztview_rewind(v);
            r->ctx->input = v;
            v = nullptr;
        }
        if (v)
            zt_view_free(v);
        if (!ok)
            return fail(r, "out of memory");
    }
}

// Points the path of the part ztmime_reader_part describes into r->paths.
ztmime_item with_path(ztmime_reader *r, ztmime_item it) noexcept
{
    Node *n = r->last == ZTMIME_ITEM_PART_END && r->has_ended ? &r->ended : top(r);
    if (n && r->paths.cap > n->path_len) {
        r->paths.p[n->path_len] = 0;
        n->info.path = r->paths.str(0);
    }
    return it;
}

} // namespace

namespace {

// ztmime_reader_field_at for a field whose bytes are not in one piece: a
// field split across input pieces is handed out from a copy of the block,
// made once and kept until the next block.
__attribute__((noinline)) int field_at_split(const ztmime_reader *r, size_t i, const void **data,
                                             size_t *len) noexcept
{
    HeaderBlock::Field f = r->shown.at(i);
    const unsigned char *p = reinterpret_cast<const unsigned char *>("");
    size_t n = 0;
    if (ztview_get_len(f.view) > 0) {
        if (!r->raw_ready && !copy_raw_fields(r)) {
            errno = ENOMEM;
            return -1;
        }
        size_t at[2];
        std::memcpy(at, r->raw_index.p + i * sizeof(size_t), sizeof at);
        p = r->raw.p + at[0];
        n = at[1] - at[0];
    }
    if (data)
        *data = p;
    if (len)
        *len = n;
    return 0;
}

} // namespace

extern "C" {

ZTMIME_EXPORT ztmime_reader *ztmime_reader_new(uint32_t flags) noexcept
{
    void *mem = zt_malloc(sizeof(ztmime_reader));
    if (!mem)
        return nullptr;
    auto *r = new (mem) ztmime_reader{};
    r->flags = flags;
    r->ctx = ztmime_init(kMaxLine, 0);
    r->in = zt_view_new();
    r->out = zt_view_new();
    r->digest_type = zt_view_from_buf(kDigestType, sizeof kDigestType - 1);
    if (!r->ctx || !r->in || !r->out || !r->digest_type) {
        release_all(r);
        errno = ENOMEM;
        return nullptr;
    }
    clear_state(r);
    return r;
}

ZTMIME_EXPORT int ztmime_reader_feed(ztmime_reader *r, const void *data, size_t len) noexcept
{
    if (!r || (!data && len) || r->finished) {
        errno = EINVAL;
        return -1;
    }
    if (r->phase == ztmime_reader::kError) {
        errno = EINVAL;
        return -1;
    }
    if (!len)
        return 0;
    if (r->flags & ZTMIME_READER_MBOX) {
        if (!mbox_feed(r, static_cast<const unsigned char *>(data), len)) {
            fail(r, "out of memory");
            errno = ENOMEM;
            return -1;
        }
        return 0;
    }
    if (ztview_append(r->in, data, len) != 0)
        return -1;
    r->in_total += len;
    return 0;
}

ZTMIME_EXPORT int ztmime_reader_finish(ztmime_reader *r) noexcept
{
    if (!r) {
        errno = EINVAL;
        return -1;
    }
    if (r->finished)
        return 0;
    if ((r->flags & ZTMIME_READER_MBOX) && r->phase != ztmime_reader::kError && !mbox_finish(r)) {
        fail(r, "out of memory");
        errno = ENOMEM;
        return -1;
    }
    r->finished = true;
    return 0;
}

ZTMIME_EXPORT ztmime_item ztmime_reader_next(ztmime_reader *r, const void **data, size_t *len) noexcept
{
    ztmime_item it = next_item(r, data, len);
    return r && it != ZTMIME_ITEM_ERROR ? with_path(r, it) : it;
}

ZTMIME_EXPORT const ztmime_part_info *ztmime_reader_part(const ztmime_reader *r) noexcept
{
    if (!r)
        return nullptr;
    if (r->last == ZTMIME_ITEM_PART_END && r->has_ended)
        return &r->ended.info;
    return r->nnodes ? &r->nodes[r->nnodes - 1].info : nullptr;
}

ZTMIME_EXPORT const char *ztmime_reader_header(const ztmime_reader *r, const char *name) noexcept
{
    if (!r || !name)
        return nullptr;
    if (!r->dec_ready && !decode_headers(r)) {
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < r->shown.count; ++i) {
        size_t at[2];
        std::memcpy(at, r->dec_index.p + i * sizeof at, sizeof at);
        if (strcasecmp(r->dec.str(at[0]), name) == 0)
            return r->dec.str(at[1]);
    }
    return nullptr;
}

ZTMIME_EXPORT int ztmime_reader_header_at(const ztmime_reader *r, size_t i, const char **name,
                                          const char **value) noexcept
{
    if (!r || i >= r->shown.count)
        return -1;
    if (!r->dec_ready && !decode_headers(r)) {
        errno = ENOMEM;
        return -1;
    }
    size_t at[2];
    std::memcpy(at, r->dec_index.p + i * sizeof at, sizeof at);
    if (name)
        *name = r->dec.str(at[0]);
    if (value)
        *value = r->dec.str(at[1]);
    return 0;
}

ZTMIME_EXPORT int ztmime_reader_field_at(const ztmime_reader *r, size_t i, const void **data, size_t *len) noexcept
{
    if (!r || i >= r->shown.count)
        return -1;
    // The usual field lies in one piece: its two words are all that is read.
    const unsigned char *rec = r->shown.fields.p + i * sizeof(HeaderBlock::Field);
    const unsigned char *p;
    std::memcpy(&p, rec + offsetof(HeaderBlock::Field, p), sizeof p);
    if (!p)
        return field_at_split(r, i, data, len);
    size_t n;
    std::memcpy(&n, rec + offsetof(HeaderBlock::Field, n), sizeof n);
    if (data)
        *data = p;
    if (len)
        *len = n;
    return 0;
}

ZTMIME_EXPORT size_t ztmime_reader_decode_field(const void *field, size_t len, char *out, size_t cap,
                                                size_t *value_at) noexcept
{
    if (!field && len) {
        errno = EINVAL;
        return 0;
    }
    ByteBuf dec, idx;
    size_t need = 0;
    const auto *p = field ? static_cast<const unsigned char *>(field) : reinterpret_cast<const unsigned char *>("");
    if (decode_field(p, len, dec, idx)) {
        size_t at[2];
        std::memcpy(at, idx.p, sizeof at);
        need = dec.n;
        if (value_at)
            *value_at = at[1];
        if (out && need <= cap)
            std::memcpy(out, dec.p, need);
    } else {
        errno = ENOMEM;
    }
    dec.release();
    idx.release();
    return need;
}

ZTMIME_EXPORT const char *ztmime_reader_error(const ztmime_reader *r) noexcept
{
    return r && r->phase == ztmime_reader::kError ? r->error : "";
}

ZTMIME_EXPORT void ztmime_reader_reset(ztmime_reader *r) noexcept
{
    if (!r)
        return;
    clear_state(r);
    ztmime_reset(r->ctx);
    r->ctx->flags &= ~ZTMIME_FLAG_FINISH;
}

ZTMIME_EXPORT void ztmime_reader_destroy(ztmime_reader *r) noexcept
{
    if (r)
        release_all(r);
}

} // extern "C"
