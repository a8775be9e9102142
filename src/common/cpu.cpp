#include "common/cpu.h"

#include <atomic>

namespace zt_cpu {
namespace {

unsigned detect() noexcept
{
    unsigned f = 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2"))
        f |= kSse2;
    if (__builtin_cpu_supports("ssse3"))
        f |= kSsse3;
    if (__builtin_cpu_supports("avx2"))
        f |= kAvx2;
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
        __builtin_cpu_supports("bmi2"))
        f |= kAvx512Compress;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi"))
        f |= kAvx512Vbmi;
#endif
    return f;
}

std::atomic<unsigned> g_mask{kAll};

} // namespace

unsigned features() noexcept
{
    static const unsigned machine = detect();
    return machine & g_mask.load(std::memory_order_relaxed);
}

void limit(unsigned mask) noexcept { g_mask.store(mask, std::memory_order_relaxed); }

bool limited() noexcept { return g_mask.load(std::memory_order_relaxed) != kAll; }

} // namespace zt_cpu
