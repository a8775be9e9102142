// Per-module accounting of live views.
#include <cstring>

#include "view_internal.h"

namespace {

constexpr int SLOTS = 32;
const char *names[SLOTS];
long live[SLOTS];
int used;

} // namespace

int32_t zt_account_add(const char *module) noexcept
{
    if (!module)
        module = "";
    // Module names are string literals: look for the pointer first and
    // compare texts only when no pointer matches.
    // Most calls come in runs from one module: try the last slot first.
    static int last;
    if (last < used && names[last] == module) {
        ++live[last];
        return last;
    }
    int i = 0;
    while (i < used && names[i] != module)
        ++i;
    if (i == used)
        for (i = 0; i < used; ++i)
            if (std::strcmp(names[i], module) == 0)
                break;
    if (i == used) {
        if (used == SLOTS)
            i = SLOTS - 1;  // the last slot collects any further modules
        else
            names[used++] = module;
    }
    ++live[i];
    last = i;
    return i;
}

void zt_account_drop(int32_t slot) noexcept
{
    if (slot >= 0 && slot < SLOTS)
        --live[slot];
}

long ztview_live_count(const char *module) noexcept
{
    long n = 0;
    for (int i = 0; i < used; ++i)
        if (!module || std::strcmp(names[i], module) == 0)
            n += live[i];
    return n;
}
