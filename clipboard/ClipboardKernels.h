// Row kernels of the clipboard exchange: one stored DIB row from one buffer
// row, and one BGRA buffer row from one DIB row. They know nothing of
// clipboards, buffers or headers; the shells choose one per call.
#pragma once

#include <cstddef>

#include "CopyKernels.h"
#include "QelTypes.h"

namespace qel {
namespace clip {

// A buffer row of cbPixels bytes into a stored row of cbPixels + cbPad
// bytes; the padding is zeroed so no stale memory reaches other programs.
inline void StoreDibRow(BYTE *pDst, const BYTE *pSrc, std::size_t cbPixels, std::size_t cbPad)
{
    qel::CopyRowBytes(pDst, pSrc, cbPixels);
    qel::FillRowBytes(pDst + cbPixels, 0, cbPad);
}

typedef void (*PFN_PasteRow)(const BYTE *pSrc, BYTE *pDst, int nPixels);

// 32-bit pixels are taken as they are, alpha included.
inline void PasteBgra32Row(const BYTE *pSrc, BYTE *pDst, int nPixels)
{
    qel::CopyRowBytes(pDst, pSrc, (std::size_t)nPixels * 4);
}

// 24-bit pixels get an opaque alpha.
inline void PasteBgr24Row(const BYTE *pSrc, BYTE *pDst, int nPixels)
{
    qel::Bgr24ToOpaqueBgra32Row(pSrc, pDst, nPixels);
}

// The kernel for b bytes per pixel, or null for the sizes the paste refuses.
inline PFN_PasteRow ChoosePasteRow(int nBytesPerPixel)
{
    switch (nBytesPerPixel) {
    case 3:
        return PasteBgr24Row;
    case 4:
        return PasteBgra32Row;
    default:
        return nullptr;
    }
}

} // namespace clip
} // namespace qel
