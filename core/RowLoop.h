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

// Rows on the OpenMP team, self-scheduled in bands: a free worker claims the
// next band of consecutive rows. Bands of about kBandBytes keep two workers
// from faulting in pages under the same page-table page at once, which on
// freshly allocated buffers costs more than the copy itself.
constexpr size_t kBandBytes = 1u << 20;

template <class RowFn>
inline void ForEachRowBandParallel(int nRows, size_t cbRowTouched, RowFn &&fnRow)
{
    if (nRows <= 0)
        return;
    const size_t cbRow = cbRowTouched == 0 ? 1 : cbRowTouched;
    const size_t nPerBand = cbRow >= kBandBytes ? 1 : kBandBytes / cbRow;
    const int nBandRows = nPerBand > (size_t)nRows ? nRows : (int)nPerBand;
    const int nBands = (nRows - 1) / nBandRows + 1;
    ForEachRowParallel(nBands, [&](int nBand) {
        const int yEnd = nRows - nBand * nBandRows < nBandRows ? nRows : (nBand + 1) * nBandRows;
        for (int y = nBand * nBandRows; y < yEnd; ++y)
            fnRow(y);
    });
}

} // namespace qel
