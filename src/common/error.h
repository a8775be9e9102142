// The library-wide last-error text.
#pragma once

// Formats a message into ztmime_last_error, cut at 128 characters.
void zt_set_error(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));
