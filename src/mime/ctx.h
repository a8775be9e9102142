// Internal parts of the parser context shared by the lifecycle calls and the
// parse driver.
#pragma once

#include "mime/header_record.h"
#include "mime/line_scan.h"
#include "ztmime.h"

// What the library allocates for a context: the public record followed by
// state of the driver's own.  Hosts only ever hold the public part.
struct ztmime_ctx_impl {
    ztmime_ctx pub;
    ztmime_scan::Memo memo;  // what earlier scans learnt about the input
    // Bytes at the end of the pending field that scratch must hold (the last
    // continuation line, taken together with the field's first line) unless
    // the next line is examined, which empties scratch anyway.
    size_t scratch_owed;
    bool scratch_full;  // scratch may hold bytes: emptying it has work to do
    // The bytes of ctx->header when they lie in its one segment, as the cut
    // that made it from the front segment of the input left them; null when
    // it has more than one segment or lines were added to it since.  Valid
    // until the next call of ztmime_do: the message reader reads a field it
    // is handed from here rather than asking the view library.
    const unsigned char *header_p;
    size_t header_n;
    // The span taker of the ztmime_do_fields call under way and its
    // argument (ztmime_span_taker below); not read by ztmime_do.
    int (*span)(void *arg, ztview *input, const unsigned char *p, size_t n);
    void *span_arg;
    ztmime_flat::TypeMemo type_memo;  // kept across messages: a cache of bytes only
};

// A field whose bytes lie whole in the input's first segment, offered
// before any view is made for it: the n bytes at p, the input's first.
// The taker either takes them off the input itself (exactly n bytes) and
// returns 1, or leaves the input as it is and returns 0, and the field
// then comes as a view as any other, or returns -1 (errno ENOMEM), the
// input as it was, and the call gives ZTMIME_ERROR.
using ztmime_span_taker = int (*)(void *arg, ztview *input, const unsigned char *p, size_t n);

// ztmime_parse_header (no normalised text) on a field's bytes, for the
// fields it reads without the tokenizer: the same result, or
// ztmime_flat::kFlatIrregular, with nothing recorded, for a field that
// needs the view.
int ztmime_parse_header_bytes(ztmime_ctx *ctx, const unsigned char *p, size_t n) noexcept;

// ztmime_do for the message reader: header fields go to take(arg, field)
// as they come, within the one call, and the first other event is returned
// as ztmime_do returns it.  take owns the field when it returns true; when
// it returns false the field is returned with its event (ZTMIME_HEADER or
// ZTMIME_PART_HEADER) and the call ends.  ctx and out must not be null,
// and take must leave the context's input as it is.  With `span`, a field
// that lies in the input's first segment, complete with the line that ends
// it, goes to span first (same events, bytes and states as through take).
ztmime_type ztmime_do_fields(ztmime_ctx *ctx, ztview **out, bool (*take)(void *, ztview *), void *arg,
                             ztmime_span_taker span = nullptr) noexcept;

inline ztmime_ctx_impl *ztmime_impl(ztmime_ctx *ctx) noexcept
{
    return reinterpret_cast<ztmime_ctx_impl *>(ctx);
}

// Pops the top boundary entry of `part`, decrements its depth and releases
// the entry with its two views.  0, or -1 when the stack is empty (or part
// is null).
int ztmime_boundary_pop(ztmime_part *part) noexcept;

// The top entry of the boundary stack, or null.  The link is the entry's
// first field, so the stack's top item is the entry itself.
inline ztmime_boundary *ztmime_boundary_top(const ztmime_part *part) noexcept
{
    return reinterpret_cast<ztmime_boundary *>(part->boundaries.top);
}
