// Kernel sets a codec test runs through the processor override, widest
// first and ending with the portable kernels (no feature at all), so that
// every vector kernel the machine has is checked against the portable one.
#pragma once

#include "common/cpu.h"

namespace zt_test {

inline constexpr unsigned kAllKernels[] = {
    zt_cpu::kAll,
    zt_cpu::kAll & ~(zt_cpu::kAvx512Compress | zt_cpu::kAvx512Vbmi),
    zt_cpu::kSse2 | zt_cpu::kSsse3,
    0,
};

// Holds the override for a scope.
struct CpuLimit {
    explicit CpuLimit(unsigned mask) noexcept { zt_cpu::limit(mask); }
    ~CpuLimit() { zt_cpu::limit(zt_cpu::kAll); }
    CpuLimit(const CpuLimit &) = delete;
    CpuLimit &operator=(const CpuLimit &) = delete;
};

} // namespace zt_test
