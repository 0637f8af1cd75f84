// Pixel readers of the probes: the colour square of GetPixelInfo and the
// visibility test of HitTest. They read through row pointers and know
// nothing of buffers, locks or Python.
#pragma once

#include <cstdint>

#include "PixelTypes.h"
#include "QelTypes.h"

namespace qel {
namespace probe {

using qel::WordU;

// One probed position: A (always full scale), R, G, B.
typedef WORD ProbeEntry[4];

// Fills nGrid x nGrid entries, row-major, for the square whose top-left
// corner is (nLeft, nTop): pixels inside the nWidth x nHeight image give
// their colour (black where alpha is 0), positions outside give mid-grey.
// T is the channel type: BYTE for 8-bit BGRA, std::uint16_t for 16-bit.
template <class T>
void ProbeSquare(BYTE *const *ppRows, long long nWidth, long long nHeight, long long nLeft, long long nTop,
                 int nGrid, ProbeEntry *pEntries)
{
    const WORD wMax = static_cast<WORD>(static_cast<T>(~T(0)));
    const WORD wGrey = static_cast<WORD>(wMax / 2 + 1);
    for (int j = 0; j < nGrid; ++j) {
        const long long y = nTop + j;
        for (int i = 0; i < nGrid; ++i) {
            const long long x = nLeft + i;
            WORD *pOut = pEntries[j * nGrid + i];
            pOut[0] = wMax;
            if (x < 0 || x >= nWidth || y < 0 || y >= nHeight) {
                pOut[1] = pOut[2] = pOut[3] = wGrey;
                continue;
            }
            const T *pPixel = reinterpret_cast<const T *>(ppRows[y]) + 4 * x;
            const bool bVisible = pPixel[3] != 0;
            pOut[1] = bVisible ? static_cast<WORD>(pPixel[2]) : 0;
            pOut[2] = bVisible ? static_cast<WORD>(pPixel[1]) : 0;
            pOut[3] = bVisible ? static_cast<WORD>(pPixel[0]) : 0;
        }
    }
}

// Whether pixel x of a row is visible content: the mask byte above 0, the
// 8-bit alpha above 26 or the 16-bit alpha above 6554 (both a tenth of full
// scale). Other formats never are.
inline bool IsHit(const BYTE *pRow, long long x, UINT unBytesPerPixel)
{
    switch (unBytesPerPixel) {
    case 1:
        return pRow[x] > 0;
    case 4:
        return pRow[4 * x + 3] > 26;
    case 8:
        return reinterpret_cast<const WordU *>(pRow)[4 * x + 3] > 6554;
    default:
        return false;
    }
}

} // namespace probe
} // namespace qel
