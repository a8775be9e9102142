// Calls the view library exports for the message reader, outside the
// public interface: one view per header block keeps the bytes of the
// block's fields alive, instead of one view per field.
#pragma once

#include <cstddef>

#include "ztview.h"

extern "C" {

// Moves the first n bytes of src (0 < n <= the length of its first
// segment) onto the end of dst.  Bytes that continue dst's last segment in
// the same block lengthen that segment: a run of fields cut one after
// another from one input block stays one segment.  0, or -1 (errno ENOMEM)
// with both views as they were.
ZTVIEW_EXPORT int _ztview_take_front(ztview *dst, ztview *src, size_t n) noexcept;

// Empties the view and releases its blocks.  Unlike ztview_rewind it keeps
// no block for later appends: a view that only holds bytes of other views
// never appends, and the block it held last may be a large input block.
ZTVIEW_EXPORT void _ztview_release_all(ztview *view) noexcept;
}
