// The first line of a context's input, found by ztmime_do at the start of
// every step, and the memo that keeps each input byte scanned a bounded
// number of times however small the pieces the host appends.
#pragma once

#include <cstdint>

#include "mime/scan.h"
#include "ztmime.h"

namespace ztmime_scan {

// What earlier scans learnt about the input.  Why it can be trusted:
//
// - The memo names the input's first byte by address (`front`) and its
//   length at the time (`len`).  ztmime_update only appends, which leaves
//   the front, the segments before the last one and the bytes already in
//   the last one as they were: a memo whose front still matches and whose
//   length has not shrunk describes the same bytes, and segment `seg`
//   still starts at offset `seg_base`.
// - Bytes taken off the front may free the storage they lived in, and the
//   allocator may hand it back for other bytes at the same address.  So
//   every call that takes bytes off the input drops the memo on its way out
//   (memo_at_exit), and a repair of a bare CR, which rebuilds the input,
//   drops it before the rebuild.
// - Within a call, every change to the input after its last scan takes
//   bytes off it or replaces it, so an unchanged length at the exit means
//   an unchanged input.  A call that hands out a header field (cut before
//   that scan) or no data leaves the input as its last scan found it: the
//   line that ends a header field is found by the call that hands out the
//   field and reused by the next one, and an unterminated line resumes
//   where it stopped.
struct Memo {
    const unsigned char *front;  // null: no memo
    size_t len;
    bool complete;  // `line` is the complete first line
    Line line;
    // Offset up to which the bytes are known to hold no CR or LF: from the
    // front for an incomplete line, from line.len for a complete one.  The
    // next scan resumes there, at segment `seg` (which starts at offset
    // `seg_base` and holds `clean`, or is the last segment).
    size_t clean;
    size_t seg;
    size_t seg_base;
    int8_t uu_begin;  // complete line: -1 unchecked, else the begin-line check
};

// Finds the first line of ctx's input; `cur` is left on a segment at or
// before the line's end, for scans that go on from there.
void find_line(ztmime_ctx *ctx, SegCursor &cur, Line &line) noexcept;

// True when a CR or LF follows the complete first line.
bool line_end_follows(ztmime_ctx *ctx, const Line &line) noexcept;

// Result of the uuencode begin-line check for the complete first line,
// -1 when it has not been made; and its record.
int memo_uu_begin(ztmime_ctx *ctx) noexcept;
void memo_set_uu_begin(ztmime_ctx *ctx, int result) noexcept;

void memo_forget(ztmime_ctx *ctx) noexcept;

// Called at the exit of ztmime_do with the event and the input length of
// the call's last scan: drops the memo when the input may have lost bytes.
void memo_at_exit(ztmime_ctx *ctx, ztmime_type ev, size_t scanned_len) noexcept;

} // namespace ztmime_scan
