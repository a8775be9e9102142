// Reversible in-place scramblers: every byte of a view XORed with a fixed
// constant (cloak) or with a key of the caller's (lock).
#define ZT_MODULE "encode"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/module.h"
#include "ztmime.h"

namespace {

constexpr unsigned char kCloakByte = 0x6E;

// XORs n bytes at p with key: byte by byte up to an 8-byte boundary, then
// whole aligned words (four at a time, which the compiler turns into vector
// operations), then the last bytes.  The result equals a byte-by-byte XOR.
void xor_bytes(unsigned char *p, size_t n, unsigned char key)
{
    while (n && (reinterpret_cast<uintptr_t>(p) & 7u)) {
        *p++ ^= key;
        --n;
    }
    const uint64_t pattern = 0x0101010101010101ull * key;
    for (; n >= 32; n -= 32, p += 32) {
        uint64_t w[4];
        std::memcpy(w, p, 32);
        w[0] ^= pattern;
        w[1] ^= pattern;
        w[2] ^= pattern;
        w[3] ^= pattern;
        std::memcpy(p, w, 32);
    }
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        w ^= pattern;
        std::memcpy(p, &w, 8);
    }
    while (n--)
        *p++ ^= key;
}

} // namespace

extern "C" {

ZTMIME_EXPORT int32_t ztmime_cloak(ztview *view) noexcept
{
    if (!view)
        return -1;
    size_t len = 0;
    auto *copy = static_cast<unsigned char *>(ztview_copy_data_r(view, nullptr, &len, 0));
    if (!copy)
        return -1;
    for (size_t i = 0; i < len; ++i)
        copy[i] ^= kCloakByte;
    // The scrambled bytes go into a fresh view first and then replace the
    // content in one step, so that a failure leaves the view as it was.
    ztview *tmp = zt_view_new();
    int rc = -1;
    if (tmp && ztview_append(tmp, copy, len) == 0 && zt_view_cut(tmp, view, len))
        rc = 0;
    zt_view_free(tmp);
    std::free(copy);
    return rc;
}

ZTMIME_EXPORT int ztmime_lock(ztview *view, uint8_t key) noexcept
{
    if (!view)
        return -1;
    int count = 0;
    struct iovec *iov = ztview_get_iovec(view, 0, &count);
    if (!iov)
        return -1;
    for (int i = 0; i < count; ++i)
        if (iov[i].iov_len)
            xor_bytes(static_cast<unsigned char *>(iov[i].iov_base), iov[i].iov_len, key);
    std::free(iov);
    return 0;
}

} // extern "C"
