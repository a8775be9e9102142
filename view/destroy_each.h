// A call the view library exports for the message reader, outside the
// public interface: releasing a header block's views in one call rather
// than one call per field.
#pragma once

#include <cstddef>

#include "ztview.h"

extern "C" {

// Releases `count` views whose pointers lie `stride` bytes apart from
// `first` onwards (the first member of a caller's records); null pointers
// are skipped.  Each view is released as _ztview_destroy releases it.
ZTVIEW_EXPORT void _ztview_destroy_each(const void *first, size_t count, size_t stride) noexcept;
}
