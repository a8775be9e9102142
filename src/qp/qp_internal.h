// Internal switches of the quoted-printable codec.
#pragma once

namespace zt_qp {

// Test switch: false forces the portable byte loops even where a vector
// unit is available, so that tests can compare both.
void set_simd(bool on) noexcept;

// Test switch: false leaves out the paths built on byte compress, so that
// the narrower vector paths run on machines that have both.
void set_wide(bool on) noexcept;

} // namespace zt_qp
