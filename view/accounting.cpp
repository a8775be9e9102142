// Per-module accounting of live views.
#include <cstring>

#include "view_internal.h"

long zt_account_live[ZT_ACCOUNT_SLOTS];
const char *zt_account_last;
int32_t zt_account_last_slot;

namespace {

const char *names[ZT_ACCOUNT_SLOTS];
int used;

} // namespace

int32_t zt_account_find(const char *module) noexcept
{
    if (!module)
        module = "";
    // Module names are string literals: look for the pointer first and
    // compare texts only when no pointer matches.
    int i = 0;
    while (i < used && names[i] != module)
        ++i;
    if (i == used)
        for (i = 0; i < used; ++i)
            if (std::strcmp(names[i], module) == 0)
                break;
    if (i == used) {
        if (used == ZT_ACCOUNT_SLOTS)
            i = ZT_ACCOUNT_SLOTS - 1;  // the last slot collects any further modules
        else
            names[used++] = module;
    }
    ++zt_account_live[i];
    zt_account_last = module;
    zt_account_last_slot = i;
    return i;
}

long ztview_live_count(const char *module) noexcept
{
    long n = 0;
    for (int i = 0; i < used; ++i)
        if (!module || std::strcmp(names[i], module) == 0)
            n += zt_account_live[i];
    return n;
}
