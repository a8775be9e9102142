// Processor features for the codecs' vector kernels: one check of the
// machine, and one test override that hides features from it.
#pragma once

namespace zt_cpu {

// Instruction sets a kernel may need.  Sets that only come together are
// one bit (kAvx512Compress: byte compress with the 512-bit byte, word and
// bit-manipulation instructions it is used with).
enum Feature : unsigned {
    kSse2 = 1u << 0,
    kSsse3 = 1u << 1,
    kAvx2 = 1u << 2,
    kAvx512Compress = 1u << 3,
    kAvx512Vbmi = 1u << 4, // byte permutes and multishift with the 512-bit byte instructions
};
inline constexpr unsigned kAll = ~0u;

// The features of this machine, less those the override hides.
unsigned features() noexcept;

// Test override: only the features in `mask` count from now on (kAll: the
// machine's own).  Kernels chosen before are chosen again while an override
// is active, so that tests can run every kernel against the portable one.
void limit(unsigned mask) noexcept;
bool limited() noexcept;

// The first entry of a codec's vector kernel list (best first, ended by an
// entry whose `needs` is 0; null for none) that this machine runs, else the
// portable kernels.
template <class Kernels> const Kernels &pick(const Kernels *vector, const Kernels &portable) noexcept
{
    const unsigned have = features();
    for (; vector && vector->needs; ++vector)
        if ((vector->needs & have) == vector->needs)
            return *vector;
    return portable;
}

} // namespace zt_cpu
