// The vector scan behind the batching of body lines: how far the lines that
// start at a given line start run without one that could be special.
#pragma once

namespace ztmime_scan {

// `q` is a line start in a buffer whose bytes up to and including *lim are
// readable (lim < the buffer's end).  A position i in [q, lim) is flagged
// when it holds an LF whose next byte is in `stop` (a line that may be
// special starts there), or a CR not followed by an LF (a bare CR).
// Returns the position just past the last LF in [q, lim) that comes before
// the first flagged position; q when there is none.  Every line between q
// and the result is then complete, ended by LF or CR LF, free of bare CRs,
// at most lim - q - 1 bytes long, and followed by a byte not in `stop`.
// `stop` is the set '-', 'b', '\r', '(', with '.' added when `dot`.
const unsigned char *clean_lines_end(const unsigned char *q, const unsigned char *lim, const bool *stop,
                                     bool dot) noexcept;

} // namespace ztmime_scan
