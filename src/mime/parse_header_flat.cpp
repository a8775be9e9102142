// Header interpretation over a field held in one segment.
//
// Each reader walks the field twice with the byte cursor of params_flat.h.
// The first walk only checks: every piece must be regular, and the values
// must not clash with what the part already holds (a different type or
// file name fails with a message the tokenizer path writes).  Only then
// does the second walk record, in the order the tokenizer path records, so
// the results, including what stays recorded after running out of memory,
// are the same.  Values are copied into the part's own views: a view
// sharing the field's bytes would hold a second reference to the parser's
// input block until the header block ends.
#define ZT_MODULE "mime"

#include <cstring>

#include "common/alloc.h"
#include "common/handles.h"
#include "mime/header_record.h"

namespace {

using ztmime_flat::kFlatIrregular;
using ztmime_params::Cursor;
using ztmime_params::is_name;
using ztmime_params::Read;
using ztmime_params::Span;
using namespace ztmime_record;

// The field body: after the name's n bytes (fewer when the field is
// shorter) and the white space after them.
Cursor body(Span field, size_t name_len) noexcept
{
    Cursor c(field.p + (name_len < field.n ? name_len : field.n), field.p + field.n);
    c.skip_white();
    return c;
}

bool is_filename(Span name) noexcept { return is_name(name, "name", 4) || is_name(name, "filename", 8); }

// The file name as the parameters of one field leave it, followed through
// the checking walk: a different second name is a mismatch.  After an
// extended file name the name depends on a conversion, and a later plain
// one is left to the tokenizer path.
struct FileName {
    const ztview *recorded;
    Span taken{nullptr, 0};
    bool replaced = false;  // a name was taken in this field
    bool converted = false;

    bool take(Span v) noexcept
    {
        if (converted)
            return false;
        if (replaced ? taken.n == 0 : ztview_get_len(recorded) == 0) {
            taken = v;
            replaced = true;
            return true;
        }
        return replaced ? taken.n == v.n && std::memcmp(taken.p, v.p, v.n) == 0 : view_equals(recorded, v);
    }
};

// The first file name of a header block wins (the checking walk ruled out
// a different one).
int take_filename(ztmime_part *part, Span v) noexcept
{
    if (ztview_get_len(part->filename))
        return 0;
    return set_bytes(&part->filename, v.p, v.n);
}

int extended_filename(ztmime_part *part, Span v) noexcept
{
    unsigned char local[256];
    Buffer<unsigned char> heap(v.n < sizeof local ? nullptr : static_cast<unsigned char *>(zt_malloc(v.n + 1)));
    unsigned char *t = v.n < sizeof local ? local : heap.get();
    if (!t)
        return -1;
    std::memcpy(t, v.p, v.n);
    return ztmime_record::extended_filename(part, t, v.n);
}

// The checking walk over the parameters from `c`: true when each is
// regular and check(name, value) accepts it.
template <class Check> bool regular(Cursor c, bool semicolon_after, Check check) noexcept
{
    c.skip_white_and_semicolons();
    Span name, value;
    for (;;) {
        Read r = c.param(&name, &value, semicolon_after);
        if (r != Read::kParam)
            return r == Read::kDone;
        if (!check(name, value))
            return false;
    }
}

// The recording walk: record(name, value) returns 0 or -1.
template <class Record> int record(Cursor c, bool semicolon_after, Record rec) noexcept
{
    c.skip_white_and_semicolons();
    Span name, value;
    while (c.param(&name, &value, semicolon_after) == Read::kParam) {
        if (rec(name, value))
            return -1;
    }
    return 0;
}

} // namespace

namespace ztmime_flat {

int content_type(ztmime_part *part, Span field, TypeMemo *memo) noexcept
{
    const bool known = ztview_get_len(part->content_type) != 0;
    if (!known && memo && memo->valid && memo->n == field.n && std::memcmp(memo->field, field.p, field.n) == 0)
        return set_bytes(&part->content_type, field.p + memo->type_at, memo->type_n);
    Cursor c = body(field, 13);
    Span type;
    if (!c.main_value(&type) || type.n == 0)
        return kFlatIrregular;
    if (known && !view_equals(part->content_type, type))
        return kFlatIrregular;
    FileName file{part->filename};
    bool plain = true;  // no parameter that records anything
    if (!regular(c, true, [&file, &plain](Span name, Span value) {
            if (is_name(name, "boundary", 8))
                plain = false;
            if (!is_filename(name))
                return true;
            plain = false;
            return file.take(value);
        }))
        return kFlatIrregular;
    if (!known) {
        if (set_bytes(&part->content_type, type.p, type.n))
            return -1;
        const bool multipart = type.n >= 10 && ztmime_params::equal_lower(type.p, "multipart/", 10);
        if (multipart && ztmime_boundary_add(part, nullptr))
            return -1;
        if (plain && !multipart && memo && field.n <= TypeMemo::kMax) {
            std::memcpy(memo->field, field.p, field.n);
            memo->n = field.n;
            memo->type_at = static_cast<size_t>(type.p - field.p);
            memo->type_n = type.n;
            memo->valid = true;
            return 0;  // the recording walk has nothing to record
        }
    }
    return record(c, true, [part](Span name, Span value) {
        if (is_name(name, "boundary", 8))
            return set_boundary(part, value.p, value.n);
        if (is_filename(name))
            return take_filename(part, value);
        return 0;
    });
}

int transfer_encoding(ztmime_part *part, Span field) noexcept
{
    static const struct {
        const char *prefix;
        size_t len;
        int32_t code;
    } codes[] = {
        {"base64", 6, ZTMIME_ENC_BASE64}, {"quoted-printable", 16, ZTMIME_ENC_QP},
        {"7bit", 4, ZTMIME_ENC_7BIT},     {"8bit", 4, ZTMIME_ENC_8BIT},
        {"binary", 6, ZTMIME_ENC_BINARY}, {"x-uuencode", 10, ZTMIME_ENC_UUENCODE},
    };
    size_t at = 26 < field.n ? 26 : field.n;
    while (at < field.n && ztmime_params::is_white(field.p[at]))
        ++at;
    const unsigned char *v = field.p + at;
    size_t n = field.n - at;
    int32_t code = ZTMIME_ENC_OTHER;
    for (const auto &c : codes) {
        if (n >= c.len && ztmime_params::equal_lower(v, c.prefix, c.len)) {
            code = c.code;
            break;
        }
    }
    part->encoding = code;
    return 0;
}

int disposition(ztmime_part *part, Span field) noexcept
{
    Cursor c = body(field, 20);
    Span type;  // the disposition type does not change the result
    if (!c.main_value(&type))
        return kFlatIrregular;
    FileName file{part->filename};
    auto check = [&file](Span name, Span value) {
        if (is_filename(name))
            return file.take(value);
        if (is_name(name, "filename*", 9))
            file.converted = true;
        return true;
    };
    if (!regular(c, false, check))
        return kFlatIrregular;
    return record(c, false, [part](Span name, Span value) {
        if (is_filename(name))
            return take_filename(part, value);
        if (is_name(name, "filename*", 9))
            return extended_filename(part, value);
        return 0;
    });
}

} // namespace ztmime_flat
