// A call the view library exports for the parser's line scans, outside the
// public interface: what starting a scan over a view needs, in one call
// rather than one for the length and one for the first segment.
#pragma once

#include "ztview.h"

extern "C" {

// The view's length (0 for null).  *bytes and *n get its first segment
// (null and 0 when it has none), *count its number of segments.
ZTVIEW_EXPORT size_t _ztview_front_segment(const ztview *view, const unsigned char **bytes, size_t *n,
                                           size_t *count) noexcept;
}
