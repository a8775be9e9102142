// Internal to the library and its tests.
#pragma once

// The uuencode line kernels use vector instructions where the processor has
// them.  With `on`, the portable kernels are used instead, so that tests
// check both on any machine.
void zt_uu_force_portable(bool on) noexcept;
