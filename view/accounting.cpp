// Per-module accounting of live views.
//
// Module names get slots in one process-wide table; a slot, once given, never
// changes, so readers scan the published part without a lock and only a new
// name takes the lock.  The counts themselves are per thread.
#include <pthread.h>

#include <cstring>

#include "view_internal.h"

namespace {

const char *names[ZT_ACCOUNT_SLOTS];
std::atomic<int> used;  // slots [0, used) are filled and never change
pthread_mutex_t names_lock = PTHREAD_MUTEX_INITIALIZER;

int scan(const char *module, int from, int to) noexcept
{
    // Module names are string literals: look for the pointer first and
    // compare texts only when no pointer matches.
    for (int i = from; i < to; ++i)
        if (names[i] == module)
            return i;
    for (int i = from; i < to; ++i)
        if (std::strcmp(names[i], module) == 0)
            return i;
    return -1;
}

} // namespace

int32_t zt_account_find(zt_tls *t, const char *module) noexcept
{
    if (!module)
        module = "";
    int n = used.load(std::memory_order_acquire);
    int i = scan(module, 0, n);
    if (i < 0) {
        pthread_mutex_lock(&names_lock);
        int now = used.load(std::memory_order_relaxed);
        i = scan(module, n, now);
        if (i < 0) {
            if (now == ZT_ACCOUNT_SLOTS) {
                i = ZT_ACCOUNT_SLOTS - 1;  // the last slot collects any further modules
            } else {
                names[now] = module;
                used.store(now + 1, std::memory_order_release);
                i = now;
            }
        }
        pthread_mutex_unlock(&names_lock);
    }
    t->last_name = module;
    t->last_slot = i;
    return i;
}

long ztview_live_count(const char *module) noexcept
{
    long n = 0;
    int m = used.load(std::memory_order_acquire);
    for (int i = 0; i < m; ++i)
        if (!module || std::strcmp(names[i], module) == 0)
            n += zt_tls_live_sum(i);
    return n;
}
