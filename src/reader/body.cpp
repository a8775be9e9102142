// Bodies of the reader's leaf parts: transfer decoding through one encoder
// object, the line break before a delimiter held back, uuencode framing
// lines dropped, text converted to UTF-8.  Decoded bytes collect in the
// reader's `out` view (or `conv` for converted text) and are handed out
// before more input is parsed, so nothing of a part accumulates.
#define ZT_MODULE "reader"

#include <cerrno>
#include <cstring>

#include "common/handles.h"
#include "common/module.h"
#include "reader/reader.h"
#include "view_peek.h"

namespace zt_reader {
namespace {

ztview *codec_pending(ztmime_encoder *e) noexcept
{
    switch (e->code) {
    case ZTMIME_ENC_BASE64: return e->state.b64.pending;
    case ZTMIME_ENC_QP: return e->state.qp.pending;
    default: return e->state.uu.pending;
    }
}

size_t line_length(const ztview *v) noexcept
{
    size_t len = ztview_get_len(v);
    size_t k = ztview_strcspn(v, "\n", 1);
    return k < len ? k + 1 : len;
}

// Decodes `in` into `out`.  Lines that do not decode are left out and
// flagged; the rest of the part still decodes.  What is lost must not
// depend on how the input was cut, so the result is that of giving the
// codec one line at a time and starting it afresh after each line it
// refuses.  False for lack of memory.
bool decode_lines(ztmime_reader *r, const ztview *in) noexcept
{
    Body &b = r->body;
    errno = 0;
    int rc = ztmime_encoder_update(r->enc, r->out, in);
    if (rc == 0)
        return true;
    if (errno == ENOMEM)
        return false;
    top(r)->info.problems |= ZTMIME_PROBLEM_DECODE;
    ztview *pending = codec_pending(r->enc);
    ViewHandle rest(zt_view_cut(pending, nullptr, ztview_get_len(pending)), ZT_MODULE);
    if (!rest || !(r->enc = ztmime_encoder_reset(r->enc, b.code, 1)))
        return false;
    // A refusal that took the input up to the fault leaves the rest of the
    // refused line pending, which goes too: uuencode, and a base64 extra
    // pad (decode() gives such a line alone, so all that is pending).
    // Otherwise nothing was taken: the pending bytes are the group carried
    // in and the lines given, tried again one by one.
    if (b.code == ZTMIME_ENC_UUENCODE)
        ztview_seek(rest.get(), line_length(rest.get()), 1);
    else if (rc == -2)
        return true;
    while (ztview_get_len(rest.get()) > 0) {
        ViewHandle line(zt_view_cut(rest.get(), nullptr, line_length(rest.get())), ZT_MODULE);
        if (!line)
            return false;
        errno = 0;
        if (ztmime_encoder_update(r->enc, r->out, line.get()) != 0) {
            if (errno == ENOMEM || !(r->enc = ztmime_encoder_reset(r->enc, b.code, 1)))
                return false;
        }
    }
    return true;
}

// Where the line holding offset `at` of `v` begins.
size_t line_start(const ztview *v, size_t at) noexcept
{
    size_t start = 0, off = 0, count = ztview_segment_count(v);
    for (size_t i = 0; i < count && off < at; ++i) {
        const unsigned char *p;
        size_t n;
        if (ztview_segment(v, i, &p, &n) != 0)
            break;
        size_t k = std::min(n, at - off);
        if (const void *nl = memrchr(p, '\n', k))
            start = off + static_cast<size_t>(static_cast<const unsigned char *>(nl) - p) + 1;
        off += n;
    }
    return start;
}

bool decode(ztmime_reader *r, const ztview *in) noexcept
{
    // Base64 fails part-way only at a pad ("="), having delivered what came
    // before it: a line holding one goes to the codec alone, the lines
    // between such lines in one call.
    if (r->body.code != ZTMIME_ENC_BASE64 || ztview_strcspn(in, "=", 1) == ztview_get_len(in))
        return decode_lines(r, in);
    ViewHandle rest(zt_view_dup_front(in, nullptr, ztview_get_len(in)), ZT_MODULE);
    if (!rest)
        return false;
    while (size_t len = ztview_get_len(rest.get())) {
        size_t eq = ztview_strcspn(rest.get(), "=", 1);
        size_t k = eq == len ? len : line_start(rest.get(), eq);
        if (!k)
            k = line_length(rest.get());
        ViewHandle piece(zt_view_cut(rest.get(), nullptr, k), ZT_MODULE);
        if (!piece || !decode_lines(r, piece.get()))
            return false;
    }
    return true;
}

// Moves what `out` holds through the text conversion into `conv`.
bool convert_out(ztmime_reader *r, bool final) noexcept
{
    Body &b = r->body;
    r->conv.clear();
    bool bad = false;
    size_t count = ztview_segment_count(r->out);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *p;
        size_t n;
        if (ztview_segment(r->out, i, &p, &n) == 0 && !b.conv.convert(p, n, r->conv, &bad))
            return false;
    }
    if (final && !b.conv.flush(r->conv, &bad))
        return false;
    ztview_rewind(r->out);
    r->seg = 0;
    r->conv_ready = r->conv.n > 0;
    if (bad)
        top(r)->info.problems |= ZTMIME_PROBLEM_CHARSET;
    return true;
}

// The line break held back from the last batch, given to the data after all.
bool release_held(ztmime_reader *r) noexcept
{
    Body &b = r->body;
    if (!b.nheld)
        return true;
    bool ok;
    if (b.code == ZTMIME_ENC_QP) {
        ViewHandle t(zt_view_from_buf(b.held, b.nheld), ZT_MODULE);
        ok = t && decode(r, t.get());
    } else {
        ok = ztview_append(r->out, b.held, b.nheld) == 0;
    }
    if (ok)
        b.nheld = 0;
    return ok;
}

// uuencoded body: only the lines between "begin" and "end" are decoded.
bool uu_lines(ztmime_reader *r, ztview *v) noexcept
{
    Body &b = r->body;
    while (ztview_get_len(v) > 0) {
        ViewHandle line(zt_view_cut(v, nullptr, line_length(v)), ZT_MODULE);
        if (!line)
            return false;
        if (b.uu == 0) {
            if (ztview_strcasencmp(line.get(), "begin ", 6) == 0 && ztmime_parse_uu_header(line.get(), nullptr) == 1)
                b.uu = 1;
        } else if (b.uu == 1) {
            if (ztview_strcasencmp(line.get(), "end", 3) == 0)
                b.uu = 2;
            else if (!decode(r, line.get()))
                return false;
        }
    }
    return true;
}

} // namespace

bool body_start(ztmime_reader *r, const Node &n) noexcept
{
    Body &b = r->body;
    int code = n.info.encoding;
    b.code = code == ZTMIME_ENC_BASE64 || code == ZTMIME_ENC_QP || code == ZTMIME_ENC_UUENCODE ? code : 0;
    if (b.code && !(r->enc = ztmime_encoder_reset(r->enc, b.code, 1)))
        return false;
    b.active = true;
    b.nheld = 0;
    b.uu = 0;
    // Base64 and uuencode ignore line breaks; elsewhere the break before a
    // delimiter is not data.
    b.holdback = r->ctx->part.depth > 0 && (b.code == 0 || b.code == ZTMIME_ENC_QP);
    b.text = (r->flags & ZTMIME_READER_TEXT_UTF8) && std::strncmp(n.info.content_type, "text/", 5) == 0;
    if (b.text && !b.conv.open(n.info.charset))
        top(r)->info.problems |= ZTMIME_PROBLEM_CHARSET;
    return true;
}

bool body_data(ztmime_reader *r, ztview *v, bool last) noexcept
{
    Body &b = r->body;
    if (!b.active)
        return true;
    if (b.code == ZTMIME_ENC_UUENCODE)
        return uu_lines(r, v) && (!b.text || convert_out(r, false));
    if (!release_held(r))
        return false;
    size_t len = zt_view_peek_len(v), keep = 0;
    if (b.holdback && !last && len) {
        unsigned char c = 0;
        ztview_getnchar(v, len - 1, &c);
        if (c == '\n' || c == '\r') {
            keep = 1;
            if (c == '\n' && len >= 2 && ztview_getnchar(v, len - 2, &c) == 0 && c == '\r')
                keep = 2;
        }
    }
    if (b.code) {
        if (keep) {
            ViewHandle front(zt_view_cut(v, nullptr, len - keep), ZT_MODULE);
            if (!front || !decode(r, front.get()))
                return false;
        } else if (!decode(r, v)) {
            return false;
        }
    } else if (len - keep && !zt_view_move(r->out, v, len - keep)) {
        return false;
    }
    if (keep) {
        for (size_t i = 0; i < keep; ++i)
            ztview_getnchar(v, i, &b.held[i]);
        b.nheld = static_cast<uint8_t>(keep);
    }
    return !b.text || convert_out(r, false);
}

bool body_end(ztmime_reader *r, bool at_delimiter) noexcept
{
    Body &b = r->body;
    if (!b.active)
        return true;
    if (at_delimiter)
        b.nheld = 0;
    else if (!release_held(r))
        return false;
    if (b.code) {
        errno = 0;
        if (ztmime_encoder_finish(r->enc, r->out) != 0) {
            if (errno == ENOMEM)
                return false;
            // A quoted-printable part may end in a soft line break before
            // its delimiter; that is no fault.
            if (b.code != ZTMIME_ENC_QP)
                top(r)->info.problems |= ZTMIME_PROBLEM_DECODE;
        }
        if (b.code == ZTMIME_ENC_UUENCODE && b.uu == 0)
            top(r)->info.problems |= ZTMIME_PROBLEM_DECODE;
    }
    bool ok = !b.text || convert_out(r, true);
    b.conv.close();
    b.active = false;
    return ok;
}

} // namespace zt_reader
