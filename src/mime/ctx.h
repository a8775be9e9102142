// Internal parts of the parser context shared by the lifecycle calls and the
// parse driver.
#pragma once

#include "mime/scan.h"
#include "ztmime.h"

// What the library allocates for a context: the public record followed by
// state of the driver's own.  Hosts only ever hold the public part.
struct ztmime_ctx_impl {
    ztmime_ctx pub;
    // Memo of the last scan of the input's first line, kept while the input
    // still starts at the same byte and has not shrunk (scan_front is null
    // when there is none).  A complete line (scan_complete) is not scanned
    // again: the line that ends a header field is found by the call that
    // hands out the field and reused by the next call.  For a line with no
    // end yet, its first `scan_clean` bytes hold no CR or LF and need not be
    // scanned again.  This keeps a long unterminated line arriving in many
    // chunks linear in its length.
    const unsigned char *scan_front;
    size_t scan_len;
    size_t scan_clean;
    bool scan_complete;
    ztmime_scan::Line scan_line;
};

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
