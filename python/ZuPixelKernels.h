// Row kernels of the companion module: moving one row between the packed
// interleaved form that Python sees and a buffer's own storage. They know
// nothing of buffers or Python.
#pragma once

#include "QelTypes.h"

namespace zb {

// Plain row copy (BYTE and CHUNK rows, planes as stored).
void CopyRow(BYTE *pDst, const BYTE *pSrc, UINT unBytes);

// PLANAR rows: ppPlanes holds one row pointer per plane (B, G, R[, A]);
// pInterleaved is the packed row. The 16-bit forms move little-endian
// words and accept any alignment.
void InterleaveRow3x8(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels);
void InterleaveRow4x8(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels);
void InterleaveRow3x16(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels);
void InterleaveRow4x16(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels);

void SplitRow3x8(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels);
void SplitRow4x8(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels);
void SplitRow3x16(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels);
void SplitRow4x16(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels);

typedef void (*PFN_InterleaveRow)(BYTE *, const BYTE *const *, UINT);
typedef void (*PFN_SplitRow)(BYTE *const *, const BYTE *, UINT);

// The kernels for a PLANAR pixel size (3, 4, 6 or 8), or null for others.
PFN_InterleaveRow InterleaveKernelFor(UINT unBytesPerPixel);
PFN_SplitRow SplitKernelFor(UINT unBytesPerPixel);

} // namespace zb
