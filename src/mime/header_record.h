// What header interpretation records in a part, shared by the two readers
// of a field: the tokenizer walk over views (parse_header.cpp) and the walk
// over one contiguous segment (parse_header_flat.cpp).
#pragma once

#include <cstddef>

#include "mime/params_flat.h"
#include "ztmime.h"

namespace ztmime_record {

// Replaces a view's content with `from` (may be null) followed by `suffix`
// (may be null), making the view when it is absent.
int set_view(ztview **slot, const ztview *from, const char *suffix) noexcept;

// Replaces a view's content with n bytes, making the view when it is absent.
int set_bytes(ztview **slot, const unsigned char *p, size_t n) noexcept;

// boundary=: the delimiters of the entry on top of the stack (none: no
// change).
int set_boundary(ztmime_part *part, const unsigned char *p, size_t n) noexcept;
int set_boundary(ztmime_part *part, const ztview *value) noexcept;

// filename*=charset'language'percent-encoded-text: replaces the file name
// (no mismatch check).  A charset the converter refuses leaves it as it is.
// `t` holds the value's n bytes and room for one more; it is worked on in
// place.
int extended_filename(ztmime_part *part, unsigned char *t, size_t n) noexcept;

// True when the view holds exactly the span's bytes.
bool view_equals(const ztview *v, ztmime_params::Span s) noexcept;

} // namespace ztmime_record

// The flat readers (parse_header_flat.cpp): the field's bytes in one
// segment.  They give the field's result, or kFlatIrregular, having
// recorded nothing, when the field needs the tokenizer.
namespace ztmime_flat {

constexpr int kFlatIrregular = 2;

// The last short Content-Type field whose reading, with no type recorded
// yet, came down to recording its type: regular, no boundary or file name
// parameter, not a multipart.  The same bytes again, with no type recorded,
// record the same type with no walk over the field.
struct TypeMemo {
    static constexpr size_t kMax = 96;
    unsigned char field[kMax];
    size_t n;
    size_t type_at, type_n;
    bool valid;
};

int content_type(ztmime_part *part, ztmime_params::Span field, TypeMemo *memo = nullptr) noexcept;
int transfer_encoding(ztmime_part *part, ztmime_params::Span field) noexcept;
int disposition(ztmime_part *part, ztmime_params::Span field) noexcept;

} // namespace ztmime_flat
