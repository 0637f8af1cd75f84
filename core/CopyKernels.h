// Row kernels for moving and filling pixels without changing their format.
// Each works on one row segment given by pointers and a length; the callers
// decide which rows and which part of them.
#pragma once

#include <cstddef>
#include <cstring>

#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {

// Plain byte moves: the C library's memcpy and memset already choose the
// widest moves the processor offers, so nothing is gained by cloning them.
inline void CopyRowBytes(BYTE *pDst, const BYTE *pSrc, size_t cbRow)
{
    if (cbRow != 0)
        std::memmove(pDst, pSrc, cbRow);
}

inline void FillRowBytes(BYTE *pDst, BYTE byValue, size_t cbRow)
{
    if (cbRow != 0)
        std::memset(pDst, byValue, cbRow);
}

// Sets every 4-byte pixel of the segment to (byB, byG, byR, byA) in memory
// order. Written as four byte stores per pixel so the compiler turns the
// loop into wide stores of one repeated vector.
QEL_KERNEL_CLONES static inline void FillRowPixel4(BYTE *__restrict pDst, UINT nPixels, BYTE byB, BYTE byG,
                                                   BYTE byR, BYTE byA)
{
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        pDst[4 * x + 0] = byB;
        pDst[4 * x + 1] = byG;
        pDst[4 * x + 2] = byR;
        pDst[4 * x + 3] = byA;
    }
}

// Packed BGR bytes to opaque BGRA: the BGR-to-BGRA conversion and the
// clipboard's 24-bit paste both widen rows this way.
QEL_KERNEL_CLONES inline void Bgr24ToOpaqueBgra32Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    for (int x = 0; x < nPixels; ++x) {
        pDst[4 * x + 0] = pSrc[3 * x + 0];
        pDst[4 * x + 1] = pSrc[3 * x + 1];
        pDst[4 * x + 2] = pSrc[3 * x + 2];
        pDst[4 * x + 3] = 0xFF;
    }
}

} // namespace qel
