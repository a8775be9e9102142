// Making, listing and releasing the per-thread state.
#include "thread_state.h"

#include <pthread.h>

#include <cstring>

#include "view_internal.h"

__thread zt_tls *zt_tls_self __attribute__((tls_model("initial-exec")));

namespace {

// The record itself; its address is taken once per thread.
__thread zt_tls self_storage;

pthread_mutex_t list_lock = PTHREAD_MUTEX_INITIALIZER;
zt_tls *list_head;                   // live thread states, under list_lock
long retired[ZT_ACCOUNT_SLOTS];      // counts of ended threads, under list_lock
pthread_once_t key_once = PTHREAD_ONCE_INIT;
pthread_key_t end_key;
bool key_made;

void thread_end(void *p) noexcept
{
    auto *t = static_cast<zt_tls *>(p);
    zt_tls_self = t;  // views released below are counted here
    zt_tls_release_caches(t);
    pthread_mutex_lock(&list_lock);
    for (int i = 0; i < ZT_ACCOUNT_SLOTS; ++i)
        retired[i] += t->live[i];
    if (t->prev)
        t->prev->next = t->next;
    else if (list_head == t)
        list_head = t->next;
    if (t->next)
        t->next->prev = t->prev;
    std::memset(static_cast<void *>(t), 0, sizeof *t);
    pthread_mutex_unlock(&list_lock);
    zt_tls_self = nullptr;  // a later call in this thread starts afresh
}

void make_key() noexcept { key_made = pthread_key_create(&end_key, thread_end) == 0; }

} // namespace

zt_tls *zt_tls_init() noexcept
{
    zt_tls *t = &self_storage;
    pthread_once(&key_once, make_key);
    // Without the key (no memory for it) the state still works, but its
    // counts stay out of the sums: nothing would unlist it at thread end.
    if (key_made && pthread_setspecific(end_key, t) == 0) {
        pthread_mutex_lock(&list_lock);
        t->prev = nullptr;
        t->next = list_head;
        if (list_head)
            list_head->prev = t;
        list_head = t;
        pthread_mutex_unlock(&list_lock);
    }
    zt_tls_self = t;
    return t;
}

long zt_tls_live_sum(int32_t slot) noexcept
{
    pthread_mutex_lock(&list_lock);
    long n = retired[slot];
    for (zt_tls *t = list_head; t; t = t->next)
        n += std::atomic_ref<long>(t->live[slot]).load(std::memory_order_relaxed);
    pthread_mutex_unlock(&list_lock);
    return n;
}
