// Tests and cuts on the first lines of a parser context's input, for the
// parse driver: bare CR repair, the header-name test, how far a folded
// field or a batch of body lines reaches, delimiters and uuencode begin
// lines.
#pragma once

#include <cstddef>

#include "mime/scan.h"
#include "ztmime.h"

namespace ztmime_lines {

using ztmime_scan::npos;

using ztmime_scan::Line;
using ztmime_scan::SegCursor;

// Rebuilds the input around the bare CR at line.text: drops it when it is
// the first byte or another CR follows, else inserts an LF after it.  On
// failure the input is unchanged.
bool repair_bare_cr(ztmime_ctx *ctx, const Line &line) noexcept;

// Header-name test: a ':' before any byte outside 33..126.  Returns npos
// when the line passes, else the offset of the failing byte.
inline size_t header_name_fail(const ztview *input, const Line &line) noexcept
{
    if (line.len <= line.head_n) {
        // The usual case: the line lies in the first segment.
        const unsigned char *q = ztmime_scan::find_name_stop(line.head, line.head + line.len);
        if (q < line.head + line.len && *q == ':')
            return npos;
        return static_cast<size_t>(q - line.head);
    }
    SegCursor cur;
    cur.start(input);
    size_t pos = 0;
    while (pos < line.len && cur.reach(pos)) {
        const unsigned char *q = cur.p + (pos - cur.base);
        const unsigned char *end = cur.p + cur.n;
        if (static_cast<size_t>(end - q) > line.len - pos)
            end = q + (line.len - pos);
        for (; q < end; ++q) {
            unsigned char c = *q;
            if (c == ':')
                return npos;
            if (c < 33 || c > 126)
                return cur.base + static_cast<size_t>(q - cur.p);
        }
        pos = cur.base + static_cast<size_t>(end - cur.p);
    }
    return pos;
}

// True when the first line begins with the bytes of d / with the n bytes
// of text, ignoring ASCII case.
inline bool line_begins_with(const ztview *input, const Line &line, const ztview *d) noexcept
{
    size_t n = ztview_get_len(d);
    return n <= line.len && ztview_ncmp(input, d, n) == 0;
}

inline bool line_begins_with_text(const ztview *input, const Line &line, const char *text, size_t n) noexcept
{
    return n <= line.len && ztview_strcasencmp(input, text, n) == 0;
}

// Offset just past the continuation lines that follow a field's first line,
// taking only those that would be appended one by one as they are:
// complete, ended by LF or CR LF, and within the length limit.  `last` gets
// the offset of the last one taken (line.len when none).
inline size_t field_end(const ztmime_ctx *ctx, SegCursor &cur, const Line &line, size_t &last) noexcept
{
    const size_t max_line = ctx->max_line;
    size_t pos = line.len;
    last = pos;  // where the last continuation line taken begins
    for (;;) {
        int c = cur.byte(pos);
        if (c != ' ' && c != '\t')
            return pos;
        size_t t = cur.find_eol(pos);
        if (t == npos)
            return pos;
        size_t limit = t - pos;
        size_t end = t + 1;
        if (cur.byte(t) == '\r') {
            if (cur.byte(t + 1) != '\n')
                return pos;
            ++limit;
            ++end;
        }
        if (max_line && limit > max_line)
            return pos;
        last = pos;
        pos = end;
    }
}

// Makes scratch hold a copy of the input's bytes [from, to): a
// continuation line, which passes through scratch on its way into the
// field.  The copy shares the input's blocks; the input is unchanged.
bool keep_in_scratch(ztmime_ctx *ctx, size_t from, size_t to) noexcept;

// Offset just past the batch of body lines that starts with the first line:
// further complete lines are taken while none of them could be special.
size_t batch_end(const ztmime_ctx *ctx, SegCursor &cur, const Line &line) noexcept;

// Pops entries until the top one's close delimiter equals r's (r stays).
void pop_down_to(ztmime_part *part, const ztmime_boundary *r) noexcept;

// The uuencode begin-line check on the first n bytes of `line` (which begin
// with "begin "): 1 when they hold a non-zero mode, or none, and a file
// name, which is moved into `filename` when given; 0 when they do not; -1
// when a copy could not be made (errno ENOMEM).
int uu_begin_check(const ztview *line, size_t n, ztview *filename) noexcept;

} // namespace ztmime_lines
