#include "ztmime.h"

const char *ztmime_version(void) noexcept { return ZTMIME_VERSION_STRING; }
