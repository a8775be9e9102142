// The message reader's record, shared by its source files:
//   reader.cpp   public calls, the pull loop and the part tree
//   body.cpp     transfer decoding and text conversion of a part's body
//   headers.cpp  header blocks, decoded values, content facts, file names
//   mbox.cpp     splitting mbox input into messages
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hold.h"
#include "reader/buf.h"
#include "reader/text.h"
#include "ztmime.h"

namespace zt_reader {

// What one header block keeps at most: fields past either limit are still
// interpreted by the parser (a Content-Type there is followed) but are not
// kept, and the block gets ZTMIME_PROBLEM_HEADER.  Millions of fields then
// cost no memory.
constexpr size_t kMaxFields = 10000;
constexpr size_t kMaxBlockBytes = size_t(1) << 20;

// The longest line the parser holds whole in a body: a longer one comes
// out in pieces, so a body without line ends streams.
constexpr uint32_t kMaxLine = 1u << 20;

// One header block: the fields as the parser handed them out, kept as
// views (no copy is made of a field nobody asks for).  A field that lay
// whole in one segment of the parser's input has no view of its own: its
// bytes are moved onto `hold`, whose segments keep them alive for the
// block, and its record points at them.
struct HeaderBlock {
    // A kept field: its view, owned (null for a field held by `hold`), and
    // its bytes when they lie in one piece (null otherwise).
    struct Field {
        ztview *view;
        const unsigned char *p;
        size_t n;
    };
    ByteBuf fields;       // Field of each field kept
    ztview *hold = nullptr;  // the bytes of the fields without a view; made with the first
    size_t count = 0;     // fields kept
    size_t views = 0;     // fields kept with a view of their own
    size_t seen = 0;      // fields handed out, kept or not
    size_t bytes = 0;     // length of the fields kept
    uint32_t problems = 0;  // ZTMIME_PROBLEM_HEADER when a field was malformed or not kept
    bool last_ended = true;  // the last field handed out ended in a line break
    size_t ct_index = 0;  // 1 + index of the first Content-Type field, 0: none
    size_t cd_index = 0;  // likewise for Content-Disposition

    // What a field's view gives in one call: its length, its first
    // segment and its number of segments.
    struct Front {
        size_t len;
        const unsigned char *p;
        size_t n;
        size_t segments;
    };
    bool add(ztview *field) noexcept;  // takes the view when it succeeds (keeps or frees it)
    // The same, the front already read.  The usual field (one segment,
    // within the limits, room for its record) is kept inline; the rest
    // goes to add_general.
    bool add(ztview *field, const Front &front) noexcept
    {
        const unsigned char *p = front.p;
        const size_t len = front.len;
        if (front.segments != 1 || !len || count >= kMaxFields || len > kMaxBlockBytes - bytes ||
            fields.cap - fields.n < sizeof(Field))
            return add_general(field, front);
        last_ended = p[len - 1] == '\n';
        put_record(field, p, len);
        ++views;
        if (len > 12 && (p[0] | 0x20) == 'c')
            note_content(p, len);
        return true;
    }
    bool add_general(ztview *field, const Front &front) noexcept;
    // A field the parser does not act on, n bytes at p, the first bytes of
    // the parser's input: moved onto `hold` and kept, true; false, the input
    // as it was, when it needs the view path (a block at a limit or out of
    // room for its record, a failed move).
    bool add_span(ztview *input, const unsigned char *p, size_t n) noexcept
    {
        if (!span_fits(n))
            return false;
        if ((!hold && !make_hold()) || _ztview_take_front(hold, input, n) != 0) {
            errno = 0;  // the view path tries again, and reports what it meets
            return false;
        }
        keep_span(p, n);
        return true;
    }
    // Whether a field of n bytes is kept, and its record has room.
    bool span_fits(size_t n) const noexcept
    {
        return count < kMaxFields && n <= kMaxBlockBytes - bytes && fields.cap - fields.n >= sizeof(Field);
    }
    // Records a field whose n bytes at p are on `hold` (span_fits).
    void keep_span(const unsigned char *p, size_t n) noexcept
    {
        last_ended = true;  // the parser offers fields with their line end only
        put_record(nullptr, p, n);
    }
    // Appends the record of a kept field (room checked by the caller),
    // member by member: a whole-record copy from the stack would wait for
    // the separate stores that made it.
    void put_record(ztview *view, const unsigned char *p, size_t n) noexcept
    {
        ++seen;
        unsigned char *slot = fields.p + fields.n;
        std::memcpy(slot + offsetof(Field, view), &view, sizeof view);
        std::memcpy(slot + offsetof(Field, p), &p, sizeof p);
        std::memcpy(slot + offsetof(Field, n), &n, sizeof n);
        fields.n += sizeof(Field);
        ++count;
        bytes += n;
    }
    bool make_hold() noexcept;  // false for lack of memory
    // Records field `count` (just kept, its first n bytes at p) when it is
    // the block's first Content-Type or Content-Disposition field.
    void note_content(const unsigned char *p, size_t n) noexcept;
    Field at(size_t i) const noexcept
    {
        Field f;
        std::memcpy(&f, fields.p + i * sizeof f, sizeof f);
        return f;
    }
    ztview *get(size_t i) const noexcept { return at(i).view; }
    // The bytes of field i in one piece: where they lie, or copied into
    // `copy`.  False for lack of memory.
    bool contiguous(size_t i, ByteBuf &copy, const unsigned char **p, size_t *n) const noexcept
    {
        Field f = at(i);
        if (!f.p) {
            copy.clear();
            if (!copy.append_view(f.view))
                return false;
            f.p = copy.p, f.n = copy.n;
        }
        *p = f.p, *n = f.n;
        return true;
    }
    void clear() noexcept;
    void release() noexcept;
};

// Parameters of a structured field (Content-Type, Content-Disposition),
// names in lower case.  The buffers are kept from one header block to the
// next.
struct Params {
    ByteBuf list;  // per entry: size_t name length, name, size_t value length, value
    ByteBuf main;  // main value, lower case

    bool add(const ztview *name, const ztview *value) noexcept;
    bool add(const unsigned char *name, size_t nl, const unsigned char *value, size_t vl) noexcept;
    // Whether a parameter name begins with `base`.
    bool any(const char *base) const noexcept;
    // The value of the first parameter called `name`, or null.
    const unsigned char *get(const char *name, size_t *len) const noexcept;
    void clear() noexcept { list.clear(), main.clear(); }
    void release() noexcept { list.release(), main.release(); }
};

// One part of the tree, open or just ended.  Its texts live in `text`.
struct Node {
    ByteBuf text;          // "", content type, charset, disposition, file name, each NUL-ended
    size_t off[5];
    size_t path_len;       // its path is the first path_len bytes of the reader's `paths`
    ztmime_part_info info;
    int32_t mp_depth;      // a multipart: the parser's boundary depth of its entry; else 0
    uint32_t children;
    bool multipart, rfc822, closed, digest;

    void fix() noexcept;   // points info at the texts
};

// Body of the leaf being read.
struct Body {
    bool active = false;   // the top node is a leaf receiving data
    int code = 0;          // codec to decode with: base64, qp, uuencode, or 0
    bool holdback = false; // the line break before a delimiter is held back
    unsigned char held[2];
    uint8_t nheld = 0;
    int uu = 0;            // uuencode: 0 before "begin", 1 inside, 2 after "end"
    bool text = false;     // converted to UTF-8
    TextConv conv;
};

// The last short Content-Type body read with content_type_charset_flat and
// what the walk gave: mail from one sender repeats the field, and a byte
// comparison costs less than the walk.
struct CharsetMemo {
    static constexpr size_t kMax = 64;
    unsigned char body[kMax];
    size_t n = 0;
    bool valid = false;
    int result = 0;
    size_t at = 0, len = 0;  // the charset's place in the body
    bool found = false;

    int read(const unsigned char *p, size_t pn, const unsigned char **charset, size_t *clen) noexcept;
};

} // namespace zt_reader

struct ztmime_reader {
    uint32_t flags;
    ztmime_ctx *ctx;
    ztmime_encoder *enc;   // reused from part to part
    ztview *in;            // fed bytes the parser has not been given
    ztview *out;           // decoded bytes being handed out
    ztview *digest_type;   // the field that gives a digest's part its default type
    size_t seg;            // next segment of `out` to hand out
    zt_reader::ByteBuf conv;  // converted text being handed out
    bool conv_ready;

    enum Phase { kBetween, kInMessage, kError } phase;
    bool finished;         // the host called finish
    bool parser_finished;
    bool first_block;      // the next header block is the message's own
    bool announce;         // a PART item is due for the top node
    bool msg_end;          // a MESSAGE_END item is due once the nodes have ended
    bool messages_done;    // single-message input: the message was read
    int last;              // the last item handed out
    int32_t depth_mark;    // parser boundary depth after the last block or delimiter

    zt_reader::Node *nodes;
    size_t nnodes, capnodes;
    size_t end_to;         // nodes above this count are due to end
    zt_reader::Node ended; // the node of the last PART_END
    zt_reader::ByteBuf spare_text;  // an ended node's texts, kept for the next node
    zt_reader::ByteBuf paths;  // the path of the deepest open or just ended node
    bool has_ended;

    zt_reader::HeaderBlock collect;  // the block being read
    zt_reader::HeaderBlock shown;    // the block of the part last announced
    mutable zt_reader::ByteBuf dec;  // decoded names and values of `shown`
    mutable zt_reader::ByteBuf dec_index;
    mutable bool dec_ready;
    mutable zt_reader::ByteBuf raw;        // copies of `shown`'s fields when one spans segments
    mutable zt_reader::ByteBuf raw_index;  // their offsets in `raw`, one past the last field's end
    mutable bool raw_ready;

    zt_reader::Body body;
    zt_reader::ByteBuf scratch;   // a field's bytes while it is interpreted
    zt_reader::Params ct_params, cd_params;  // of the block being interpreted
    zt_reader::CharsetMemo ct_memo;

    // mbox splitting
    uint64_t in_total;     // bytes ever put in `in`
    uint64_t given;        // bytes moved on to the parser
    zt_reader::ByteBuf cuts;    // uint64_t offsets (in in_total terms) where messages end
    size_t cut_head;
    zt_reader::ByteBuf line_head;  // a line start too short to classify yet
    unsigned char *resv;   // a feed's open reservation at the end of `in`, or null
    size_t resv_n;         // bytes written into it
    unsigned char blank[2];   // a blank line held back: it may precede a "From " line
    uint8_t nblank;
    bool at_line_start;
    bool skip_envelope;
    bool mbox_started;

    char error[96];
};

namespace zt_reader {

// headers.cpp
bool interpret(ztmime_reader *r, Node &n, bool in_digest) noexcept;
// The main value and parameters of a field body (what follows the colon)
// into ps.  read_params uses the header tokenizer and reads any body: false
// for lack of memory, *problems gets ZTMIME_PROBLEM_HEADER for anything
// malformed.  read_params_flat reads the usual regular bodies with plain
// pointer code and gives the same result: 1 when it did, 0 when the body is
// not regular (ps empty), -1 for lack of memory.
bool read_params(const unsigned char *p, size_t n, Params &ps, uint32_t *problems) noexcept;
int read_params_flat(const unsigned char *p, size_t n, Params &ps) noexcept;
// What interpretation needs of the usual Content-Type body, in one walk
// over its bytes: 1 when read_params_flat would read it and it has no
// parameter whose name begins with "name"; then *charset and *len give the
// first charset value as it lies in p (null when there is none).  0 when
// the full parameter list is needed.
int content_type_charset_flat(const unsigned char *p, size_t n, const unsigned char **charset, size_t *len) noexcept;
// Appends the parser's record of a part's type in lower case and
// NUL-ended; *typed tells whether it is type/subtype (a slash neither first
// nor last, no NUL byte).  type_text takes a one-segment record on a
// shortcut; type_text_general reads any record and gives the same result.
// False for lack of memory.
bool type_text(const ztview *recorded, ByteBuf &text, bool *typed) noexcept;
bool type_text_general(const ztview *recorded, ByteBuf &text, bool *typed) noexcept;
bool decode_headers(const ztmime_reader *r) noexcept;
// Appends a raw value (what follows the colon) unfolded, trimmed, encoded
// words decoded, as UTF-8 without NUL bytes.  decode_value takes the usual
// plain values on shortcuts; decode_value_general reads every value the
// long way and gives the same bytes.
bool decode_value(const unsigned char *p, size_t n, ByteBuf &out) noexcept;
bool decode_value_general(const unsigned char *p, size_t n, ByteBuf &out) noexcept;
bool decode_field(const unsigned char *p, size_t n, ByteBuf &dec, ByteBuf &idx) noexcept;
bool copy_raw_fields(const ztmime_reader *r) noexcept;

// body.cpp
bool body_start(ztmime_reader *r, const Node &n) noexcept;
bool body_data(ztmime_reader *r, ztview *v, bool last) noexcept;
bool body_end(ztmime_reader *r, bool at_delimiter) noexcept;

// mbox.cpp
bool mbox_feed(ztmime_reader *r, const unsigned char *p, size_t n) noexcept;
bool mbox_finish(ztmime_reader *r) noexcept;
// The offset where the first message not yet ended ends, when known.
inline bool cut_pending(const ztmime_reader *r, uint64_t *at) noexcept
{
    if (r->cut_head * sizeof(uint64_t) >= r->cuts.n)
        return false;
    std::memcpy(at, r->cuts.p + r->cut_head * sizeof(uint64_t), sizeof *at);
    return true;
}

inline void cut_pop(ztmime_reader *r) noexcept
{
    if (++r->cut_head * sizeof(uint64_t) >= r->cuts.n) {
        r->cuts.clear();
        r->cut_head = 0;
    }
}

// The innermost open node, or null.
inline Node *top(ztmime_reader *r) noexcept { return r->nnodes ? &r->nodes[r->nnodes - 1] : nullptr; }

} // namespace zt_reader
