// Drivers that run a row kernel over a buffer's rows. A row kernel is a
// plain function of row pointers and a pixel count; it knows nothing of
// buffers, locks, logging or Python.
#pragma once

#include <cstddef>

#include "QelTypes.h"

// Hot kernels are compiled for AVX2 and for baseline x86-64; the loader
// picks one on first call.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QEL_KERNEL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QEL_KERNEL_CLONES
#endif

namespace qel {

// Rows on the OpenMP team, self-scheduled one row per claim: a free worker
// takes the next unclaimed row.
template <class RowFn>
inline void ForEachRowParallel(int nRows, RowFn &&fnRow)
{
#pragma omp parallel for schedule(dynamic, 1)
    for (int y = 0; y < nRows; ++y)
        fnRow(y);
}

// Rows on the calling thread, top to bottom.
template <class RowFn>
inline void ForEachRow(int nRows, RowFn &&fnRow)
{
    for (int y = 0; y < nRows; ++y)
        fnRow(y);
}

} // namespace qel
