// Normalisation for callers inside the library that already know the
// field's length and, when it is one segment, its bytes.
#pragma once

#include <cstddef>

#include "mime/params_flat.h"
#include "ztmime.h"

// ztmime_normalize_header(src, dst) for a field of n bytes; `flat` is its
// bytes when they are one segment, else {nullptr, 0}.
int ztmime_normalize_known(const ztview *src, size_t n, ztmime_params::Span flat, ztview *dst) noexcept;
