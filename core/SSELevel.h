// The processor's SSE level, which picks vector or scalar kernels in the
// re-projection, the blend and the look-up tables.
#pragma once

// 0 (no SSE) to 6 (SSE4.2), from CPUID leaf 1:
//   0 no leaf 1 or no SSE, 1 no SSE2, 2 no SSE3, 3 no SSSE3, 4 no SSE4.1,
//   5 no SSE4.2, 6 otherwise.
// The environment variable QEL_SSE_LEVEL (a digit 0 to 6), read at each
// call, lowers the answer so that the scalar paths can be run and compared
// on any machine; it never raises it above what the processor has.
int GetSSELevel();

namespace qel {
// The level CPUID reports, without the override.
int ProcessorSSELevel();
} // namespace qel
