// Header interpretation: the three fields that steer the parser.
//
// Content-Type records the part's type, opens a boundary entry for a
// multipart and fills its delimiters from the boundary parameter;
// Content-Transfer-Encoding records the transfer-encoding code;
// Content-Disposition (and the name parameter of Content-Type) gives the
// file name, also in the RFC 2231 form filename*=charset'language'text.
// Values are recorded as the tokenizer returns them from the raw field.
//
// A field held in one segment is first offered to the flat reader
// (parse_header_flat.cpp), which takes the usual plain fields without the
// tokenizer's view calls; whatever it declines is read here.
#define ZT_MODULE "mime"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/error.h"
#include "common/handles.h"
#include "charset/charset.h"
#include "mime/ctx.h"
#include "mime/header_record.h"
#include "mime/normalize.h"
#include "view_peek.h"
#include "ztmime.h"

namespace {

// The field with its name and the blanks after it dropped, as a private
// (shared-bytes) copy.  When `value` is given, the main value is read off
// the front into it (empty when the tokenizer refuses it).
ztview *field_body(const ztview *header, size_t name_len, ztview **value) noexcept
{
    size_t n = ztview_get_len(header);
    ztview *copy = _ztview_duplicate_front(header, nullptr, n, ZT_MODULE, __LINE__);
    if (copy) {
        ztview_seek(copy, name_len < n ? name_len : n, ZTVIEW_SEEK_FRONT);
        ztview_skip_while(copy, "\n\r \t");
        if (value)
            ztmime_header_get_value(copy, value);
    }
    return copy;
}

// 0 and -2 are remembered in *result (-2 sticks); anything else fails.
bool tokenizer_ok(int r, int *result) noexcept
{
    if (r == -2)
        *result = -2;
    return r == 0 || r == -2;
}

// Walks the parameters after the main value: a name, a value, then the
// separators in `after`.  `use(name, &value)` acts on each and returns 0,
// or -1 to end the field; it may take the value view over.  Returns 0, -2
// when a name or value was malformed, or -1.
template <class Use> int for_each_param(ztview *copy, const char *after, Use use) noexcept
{
    int result = 0;
    ztview *name = nullptr, *value = nullptr;
    ztview_skip_while(copy, "\n\r \t;");
    for (size_t left = ztview_get_len(copy); left;) {
        bool ok = tokenizer_ok(ztmime_header_get_attribute_name(copy, &name), &result);
        ztview_skip_while(copy, " \t");
        ok = ok && tokenizer_ok(ztmime_header_get_attribute_value(copy, &value), &result);
        ztview_skip_while(copy, after);
        if (!ok || use(name, &value)) {
            result = -1;
            break;
        }
        size_t now = ztview_get_len(copy);
        if (now >= left)
            break;  // a tokenizer that consumed nothing would loop forever
        left = now;
    }
    _ztview_destroy(name, ZT_MODULE, __LINE__);
    _ztview_destroy(value, ZT_MODULE, __LINE__);
    return result;
}

} // namespace

namespace ztmime_record {

int set_view(ztview **slot, const ztview *from, const char *suffix) noexcept
{
    if (!*slot && !(*slot = _ztview_init(ZT_MODULE, __LINE__)))
        return -1;
    ztview_rewind(*slot);
    return from ? ztview_concat(*slot, from) | (suffix ? ztview_appends(*slot, suffix) : 0)
                : ztview_appends(*slot, suffix);
}

int set_bytes(ztview **slot, const unsigned char *p, size_t n) noexcept
{
    if (!*slot && !(*slot = _ztview_init(ZT_MODULE, __LINE__)))
        return -1;
    if (!zt_view_peek_blank(*slot))  // a part's first record: no call
        ztview_rewind(*slot);
    return n ? ztview_append(*slot, p, n) : 0;
}

namespace {

template <class Append> int set_boundary_with(ztmime_part *part, Append append) noexcept
{
    auto *top = reinterpret_cast<ztmime_boundary *>(part->boundaries.top);
    if (!top)
        return 0;
    if (set_view(&top->delimiter, nullptr, "--") || append(top->delimiter))
        return -1;
    return set_view(&top->close_delimiter, top->delimiter, "--");
}

// An escape with a byte that is not a hexadecimal digit counts it as 0.
int hex_value(int c) noexcept
{
    int v = zt_charset::hex_digit(c);
    return v < 0 ? 0 : v;
}

// The position of the first c in t[i, n), or n.
size_t find_byte(const unsigned char *t, size_t i, size_t n, unsigned char c) noexcept
{
    const void *at = i < n ? std::memchr(t + i, c, n - i) : nullptr;
    return at ? static_cast<size_t>(static_cast<const unsigned char *>(at) - t) : n;
}

} // namespace

int set_boundary(ztmime_part *part, const unsigned char *p, size_t n) noexcept
{
    return set_boundary_with(part, [p, n](ztview *d) { return n ? ztview_append(d, p, n) : 0; });
}

int set_boundary(ztmime_part *part, const ztview *value) noexcept
{
    return set_boundary_with(part, [value](ztview *d) { return ztview_concat(d, value); });
}

bool view_equals(const ztview *v, ztmime_params::Span s) noexcept
{
    if (ztview_get_len(v) != s.n)
        return false;
    size_t done = 0;
    const unsigned char *p;
    size_t n;
    for (size_t i = 0; done < s.n && ztview_segment(v, i, &p, &n) == 0; ++i, done += n) {
        if (std::memcmp(p, s.p + done, n) != 0)
            return false;
    }
    return done == s.n;
}

int extended_filename(ztmime_part *part, unsigned char *t, size_t n) noexcept
{
    // The charset ends at the first quote (which becomes its NUL), the
    // language at the second; the text is the rest.
    size_t q = find_byte(t, 0, n, '\'');
    t[q] = 0;
    size_t from = find_byte(t, q < n ? q + 1 : n, n, '\'');
    from = from < n ? from + 1 : n;
    // Decoded in place: the text never grows.  An escape cut short by the
    // end counts its missing digits as 0.
    unsigned char *text = t + from;
    size_t d = 0;
    for (size_t i = from; i < n;) {
        int c = t[i++];
        if (c == '%') {
            int h = i < n ? hex_value(t[i++]) : 0;
            int l = i < n ? hex_value(t[i++]) : 0;
            c = 16 * h + l;
        }
        text[d++] = static_cast<unsigned char>(c);
    }
    text[d] = 0;
    Buffer<unsigned char> out(static_cast<unsigned char *>(zt_calloc(5 * d + 1, 1)));
    if (!out)
        return -1;
    size_t len;
    if (!zt_charset::convert_once(reinterpret_cast<const char *>(t), text, d, out.get(), 5 * d, &len))
        return 0;
    if (!part->filename && !(part->filename = _ztview_init(ZT_MODULE, __LINE__)))
        return -1;
    ztview_rewind(part->filename);
    return ztview_append(part->filename, out.get(), len);
}

} // namespace ztmime_record

namespace {

using namespace ztmime_record;

// Parameter names are told apart by length before the caseless compare.
bool is_name(const ztview *name, const char *text, size_t len) noexcept
{
    return ztview_get_len(name) == len && !ztview_strcasencmp(name, text, len);
}

// The first file name of a header block wins; a different one later fails.
// Takes the value view over when it becomes the file name.
int take_filename(ztmime_part *part, ztview **value) noexcept
{
    if (ztview_get_len(part->filename)) {
        if (ztview_cmp(*value, part->filename)) {
            const char *now = ztview_copy_data_escaped(*value, 1, 0);
            const char *was = ztview_copy_data_escaped(part->filename, 2, 0);
            zt_set_error("Filename mismatch '%s' '%s'", now, was);
            return -1;
        }
        return 0;
    }
    _ztview_destroy(part->filename, ZT_MODULE, __LINE__);
    part->filename = *value;
    *value = nullptr;
    return 0;
}

// The same for a value view, which is used up.
int extended_filename_view(ztmime_part *part, ztview *value) noexcept
{
    size_t n = 0;
    Buffer<unsigned char> t(static_cast<unsigned char *>(ztview_copy_data_r(value, nullptr, &n, 1)));
    if (!t)
        return -1;
    n = ztview_get_len(value);
    ztview_seek(value, n, ZTVIEW_SEEK_FRONT);
    return extended_filename(part, t.get(), n);
}

int content_type(ztmime_ctx *ctx, const ztview *header) noexcept
{
    ztmime_part *part = &ctx->part;
    ztview *raw = nullptr;
    ViewHandle copy(field_body(header, 13, &raw), ZT_MODULE), value(raw, ZT_MODULE);
    if (!copy || ztview_get_len(value.get()) == 0)
        return -1;
    if (ztview_get_len(part->content_type)) {
        if (ztview_cmp(value.get(), part->content_type)) {
            const char *now = ztview_copy_data_escaped(value.get(), 1, 0);
            const char *was = ztview_copy_data_escaped(part->content_type, 2, 0);
            zt_set_error("Content-type mismatch '%s' '%s'", now, was);
            return -1;
        }
    } else {
        // The recorded type is a copy: sharing the field's bytes would keep
        // a second reference on the parser's input block for the rest of
        // the header block, and every cut from it would then pay for an
        // atomic count.  The view keeps its block from one part to the next.
        if (set_view(&part->content_type, value.get(), nullptr))
            return -1;
        if (!ztview_strcasencmp(value.get(), "multipart/", 10) && ztmime_boundary_add(part, nullptr))
            return -1;
    }
    return for_each_param(copy.get(), " \t\r\n;", [part](const ztview *name, ztview **value) {
        if (is_name(name, "boundary", 8))
            return set_boundary(part, *value);
        if (is_name(name, "name", 4) || is_name(name, "filename", 8))
            return take_filename(part, value);
        return 0;
    });
}

int transfer_encoding(ztmime_ctx *ctx, const ztview *header) noexcept
{
    static const struct {
        const char *prefix;
        int32_t code;
    } codes[] = {
        {"base64", ZTMIME_ENC_BASE64}, {"quoted-printable", ZTMIME_ENC_QP}, {"7bit", ZTMIME_ENC_7BIT},
        {"8bit", ZTMIME_ENC_8BIT},     {"binary", ZTMIME_ENC_BINARY},       {"x-uuencode", ZTMIME_ENC_UUENCODE},
    };
    ViewHandle copy(field_body(header, 26, nullptr), ZT_MODULE);
    if (!copy)
        return -1;
    int32_t code = ZTMIME_ENC_OTHER;
    for (const auto &c : codes) {
        if (!ztview_strcasencmp(copy.get(), c.prefix, std::strlen(c.prefix))) {
            code = c.code;
            break;
        }
    }
    ctx->part.encoding = code;
    return 0;
}

// Reads the disposition type off the front of `copy` and drops it.  A type
// the tokenizer refuses (a quote or a comment in it) is dropped as well and
// leaves no message, since the field's result does not depend on it; only
// running out of memory fails.
bool drop_disposition_type(ztview *copy) noexcept
{
    char kept[129];  // a message is at most 128 characters
    std::snprintf(kept, sizeof kept, "%s", ztmime_strerror());
    ztview *type = nullptr;
    errno = 0;
    int r = ztmime_header_get_value(copy, &type);
    bool no_memory = r != 0 && errno == ENOMEM;
    _ztview_destroy(type, ZT_MODULE, __LINE__);
    if (r != 0 && !no_memory)
        zt_set_error("%s", kept);
    return !no_memory;
}

int disposition(ztmime_ctx *ctx, const ztview *header) noexcept
{
    ztmime_part *part = &ctx->part;
    ViewHandle copy(field_body(header, 20, nullptr), ZT_MODULE);
    if (!copy || !drop_disposition_type(copy.get()))
        return -1;
    return for_each_param(copy.get(), " \t\r\n", [part](const ztview *name, ztview **value) {
        if (is_name(name, "name", 4) || is_name(name, "filename", 8))
            return take_filename(part, value);
        if (is_name(name, "filename*", 9))
            return extended_filename_view(part, *value);
        return 0;
    });
}

enum FieldKind { kOther, kContentType, kTransferEncoding, kDisposition };

// equal_lower for a name of 8 bytes or more, 8 bytes a step (the last step
// overlaps the one before).  A byte matches a letter of the name when it
// is that letter with the case bit 0x20 set, and any other byte exactly:
// so the case bit is set in the input at the name's letters only.
bool name_equal(const unsigned char *p, const char *lower, size_t n) noexcept
{
    constexpr uint64_t ones = 0x0101010101010101u, high = ones * 0x80;
    for (size_t i = 0;; i += 8) {
        if (i + 8 > n)
            i = n - 8;
        uint64_t x, l;
        std::memcpy(&x, p + i, 8);
        std::memcpy(&l, lower + i, 8);
        // The name's bytes are below 0x80: high bit of each byte set where
        // it is 'a' to 'z', without carries between bytes.
        const uint64_t letters = (l + ones * (0x80 - 'a')) & ~(l + ones * (0x80 - 'z' - 1)) & high;
        if ((x | letters >> 2) != l)
            return false;
        if (i + 8 == n)
            return true;
    }
}

// The fields this code acts on, told apart on the field's first segment
// (p, n; null when the field is empty).  Most fields are known by their
// first byte and the byte after "Content-" without a call into the view
// library; only a name split across segments takes the slow compare.
[[gnu::always_inline]] inline FieldKind field_kind(const ztview *header, const unsigned char *p, size_t n) noexcept
{
    static const struct {
        const char *name;
        size_t len;
        FieldKind kind;
    } fields[] = {
        {"content-type:", 13, kContentType},
        {"content-transfer-encoding:", 26, kTransferEncoding},
        {"content-disposition", 19, kDisposition},
    };
    if (!p || (n && (p[0] | 0x20) != 'c'))
        return kOther;
    // Every name begins with "content-": compared once, in one word (a
    // byte ORed with 0x20 is one of its letters only when it is that letter
    // in either case; the '-' is compared as it is), so that other fields
    // are told apart without a look at the table.
    if (n >= 8) {
        uint64_t w, want;
        std::memcpy(&w, p, 8);
        std::memcpy(&want, "content-", 8);
        if ((w | 0x2020202020202020u) != want || p[7] != '-')
            return kOther;
    }
    for (const auto &f : fields) {
        if (n >= f.len ? name_equal(p, f.name, f.len) : !ztview_strcasencmp(header, f.name, f.len))
            return f.kind;
    }
    return kOther;
}

// The field through the flat reader when it is one segment and regular,
// else through the tokenizer.
template <class Flat, class Slow>
int interpret(ztmime_ctx *ctx, const ztview *header, ztmime_params::Span flat, Flat fast, Slow slow) noexcept
{
    if (flat.n) {
        int r = fast(&ctx->part, flat);
        if (r != ztmime_flat::kFlatIrregular)
            return r;
    }
    return slow(ctx, header);
}

} // namespace

int ztmime_parse_header_bytes(ztmime_ctx *ctx, const unsigned char *p, size_t n) noexcept
{
    // No view: a field shorter than a name is not that field, as a view of
    // its bytes would compare.
    const ztmime_params::Span flat{p, n};
    switch (field_kind(nullptr, p, n)) {
    case kOther:
        return 0;
    case kContentType:
        return ztmime_flat::content_type(&ctx->part, flat, &ztmime_impl(ctx)->type_memo);
    case kTransferEncoding:
        return ztmime_flat::transfer_encoding(&ctx->part, flat);
    default:
        return ztmime_flat::disposition(&ctx->part, flat);
    }
}

int ztmime_parse_header(ztmime_ctx *ctx, const ztview *header, ztview *normalized) noexcept
{
    if (!ctx || !header)
        return 1;
    // The field's first segment, asked for once; the length only where it
    // is needed (most fields are none of the three).
    const unsigned char *p = nullptr;
    size_t n = 0;
    if (ztview_segment(header, 0, &p, &n) != 0)
        p = nullptr;
    auto one_segment = [p, n](size_t len) {
        return p && n == len ? ztmime_params::Span{p, n} : ztmime_params::Span{nullptr, 0};
    };
    // Nobody reads the normalised text when no view is given for it.
    if (normalized) {
        const size_t len = ztview_get_len(header);
        int r = ztmime_normalize_known(header, len, one_segment(len), normalized);
        if (r) {
            ztview_rewind(normalized);
            _ztview_duplicate_front(header, normalized, len, ZT_MODULE, __LINE__);
            return r;
        }
    }
    const FieldKind kind = field_kind(header, p, n);
    if (kind == kOther)
        return 0;
    const ztmime_params::Span flat = one_segment(ztview_get_len(header));
    switch (kind) {
    case kContentType:
        return interpret(
            ctx, header, flat,
            [ctx](ztmime_part *part, ztmime_params::Span f) {
                return ztmime_flat::content_type(part, f, &ztmime_impl(ctx)->type_memo);
            },
            content_type);
    case kTransferEncoding:
        return interpret(ctx, header, flat, ztmime_flat::transfer_encoding, transfer_encoding);
    default:
        return interpret(ctx, header, flat, ztmime_flat::disposition, disposition);
    }
}
