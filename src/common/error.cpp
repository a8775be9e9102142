#include "common/error.h"

#include <cstdarg>
#include <cstdio>

#include "ztmime.h"

ZTMIME_THREAD_LOCAL char ztmime_last_error[129];

void zt_set_error(const char *fmt, ...) noexcept
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(ztmime_last_error, sizeof ztmime_last_error, fmt, ap);
    va_end(ap);
}

const char *ztmime_strerror(void) noexcept { return ztmime_last_error; }
