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

// The functions below take the memo of the context whose input they are
// given.  find_line finds the first line of the input; `cur` is left on a
// segment at or before the line's end, for scans that go on from there.
// line_end_follows: whether a CR or LF follows the complete first line.
// memo_uu_begin: the uuencode begin-line check's result for the complete
// first line, -1 when it has not been made.  memo_at_exit is called at the
// exit of ztmime_do with the event and the input length of the call's last
// scan, and drops the memo when the input may have lost bytes.

// Records a scan that stopped at offset `clean` with `cur` on the segment
// holding it (or on the last segment).
inline void remember(Memo &m, const unsigned char *front, const Line &line, bool complete, size_t clean,
              const SegCursor &cur) noexcept
{
    m.front = front;
    m.len = line.total;
    m.complete = complete;
    // Field by field: a copy of the whole record would read back, in wide
    // loads, fields just written in narrow stores, which stalls.
    m.line.total = line.total;
    m.line.len = line.len;
    m.line.text = line.text;
    m.line.limit = line.limit;
    m.line.first = line.first;
    m.line.after = line.after;
    m.line.end = line.end;
    m.clean = clean;
    m.seg = cur.si;
    m.seg_base = cur.base;
    m.uu_begin = -1;
}

// remember for a complete line, from the values at hand: read back from
// the Line, the fields just stored there were loaded two at a time in one
// wide load, which waited for both narrow stores (a stall on every line).
[[gnu::always_inline]] inline void remember_complete(Memo &m, const unsigned char *front, size_t total, size_t len,
                                                      size_t text, size_t limit, int first, line_end end,
                                                      const SegCursor &cur) noexcept
{
    m.front = front;
    m.len = total;
    m.complete = true;
    m.line.total = total;
    m.line.len = len;
    m.line.text = text;
    m.line.limit = limit;
    m.line.first = first;
    m.line.after = -1;
    m.line.end = end;
    m.clean = len;
    m.seg = cur.si;
    m.seg_base = cur.base;
    m.uu_begin = -1;
}

// find_line once `cur` is started on the input and line.total set.
[[gnu::always_inline]] inline void find_line_started(Memo &m, const ztview *input, SegCursor &cur,
                                                      Line &line) noexcept
{
    line.head = cur.p;
    line.head_n = cur.n;
    if (line.total == 0) {
        m.front = nullptr;
        return;
    }
    const unsigned char *front = cur.p;
    size_t from = 0;
    if (front == m.front && line.total >= m.len) {
        if (m.complete) {
            const Line &known = m.line;
            line.len = known.len;
            line.text = known.text;
            line.limit = known.limit;
            line.first = known.first;
            line.after = known.after;
            line.end = known.end;
            return;
        }
        from = m.clean;
        cur.resume(input, m.seg, m.seg_base);
    }
    m.front = nullptr;
    line.after = -1;
    const int first = front[0];
    line.first = first;
    size_t t = cur.find_eol(from);
    if (t == npos) {
        line.end = END_NONE;
        line.len = line.text = line.limit = line.total;
        remember(m, front, line, false, line.total, cur);
        return;
    }
    line.text = t;
    int next;
    line_end end;
    size_t limit;
    if (cur.byte(t) == '\n') {
        end = END_LF;
        limit = t;
    } else if ((next = cur.byte(t + 1)) < 0) {
        // A CR as the last byte: scanned again from the CR once more bytes
        // come.  The cursor is on the last segment, which holds the CR.
        line.end = END_NONE;
        line.len = line.limit = line.total;
        remember(m, front, line, false, t, cur);
        return;
    } else if (next == '\n') {
        end = END_CRLF;
        limit = t + 1;
    } else {
        // Not kept: the repair that follows rebuilds the input.
        line.end = END_BARE_CR;
        line.after = next;
        line.len = t + 1;
        line.limit = t;
        return;
    }
    line.end = end;
    line.len = limit + 1;
    line.limit = limit;
    remember_complete(m, front, line.total, limit + 1, t, limit, first, end, cur);
}

[[gnu::always_inline]] inline void find_line(Memo &m, const ztview *input, SegCursor &cur, Line &line) noexcept
{
    line.total = cur.start(input);
    find_line_started(m, input, cur, line);
}

// find_line right after the first n bytes were cut from the input, where
// `line` is what find_line gave before the cut and n is less than its first
// segment: a cut hands bytes over without copying, so the rest of that
// segment is the input's front now, and the view library need not be asked.
[[gnu::always_inline]] inline void find_line_after_cut(Memo &m, const ztview *input, SegCursor &cur, Line &line,
                                                        size_t n) noexcept
{
    if (n >= line.head_n) {
        find_line(m, input, cur, line);
        return;
    }
    cur.start_known(input, line.head + n, line.head_n - n);
    line.total -= n;
    find_line_started(m, input, cur, line);
}

inline bool line_end_follows(Memo &m, const ztview *input, const Line &line) noexcept
{
    const bool known = m.front && m.complete;
    SegCursor c;
    size_t from = line.len;
    if (known && m.clean >= line.len) {
        c.resume(input, m.seg, m.seg_base);
        from = m.clean;
    } else {
        c.start(input);
    }
    if (c.find_eol(from) != npos)
        return true;
    if (known) {
        m.len = line.total;
        m.clean = line.total;
        m.seg = c.si;
        m.seg_base = c.base;
    }
    return false;
}

inline int memo_uu_begin(const Memo &m) noexcept
{
    return m.front && m.complete ? m.uu_begin : -1;
}

inline void memo_set_uu_begin(Memo &m, int result) noexcept
{
    if (m.front && m.complete)
        m.uu_begin = static_cast<int8_t>(result);
}

inline void memo_forget(Memo &m) noexcept { m.front = nullptr; }

inline void memo_at_exit(Memo &m, const ztview *input, ztmime_type ev, size_t scanned_len) noexcept
{
    if (ev != ZTMIME_HEADER && ev != ZTMIME_PART_HEADER && ev != ZTMIME_NO_DATA &&
        ztview_get_len(input) != scanned_len)
        m.front = nullptr;
}

} // namespace ztmime_scan
