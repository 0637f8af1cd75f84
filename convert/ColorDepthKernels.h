// Row kernels of the colour-depth conversions. Each converts one row of
// nPixels pixels from a source row to a destination row; the shells choose
// the kernel once per call and drive it over the rows.
//
// 16-bit channels are little-endian words. Whole pixels are read and written
// as one 32- or 64-bit value where that lets the compiler keep the loop in
// full-width vector lanes instead of de-interleaving bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace depth {

using qel::PixelU32;
using qel::PixelU64;
using qel::WordU;

// 16-bit BGRA -> 8-bit BGRA: the high byte of every word (truncation).
QEL_KERNEL_CLONES inline void Bgra64ToBgra32Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const WordU *pW = reinterpret_cast<const WordU *>(pSrc);
    const int nValues = nPixels * 4;
    for (int i = 0; i < nValues; ++i)
        pDst[i] = static_cast<BYTE>(pW[i] >> 8);
}

// 16-bit BGRA -> 8-bit grey: floor((B + G + R) / 3) of the words, then its
// high byte. Alpha is not used.
QEL_KERNEL_CLONES inline void Bgra64ToGrey8Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU64 *pP = reinterpret_cast<const PixelU64 *>(pSrc);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint64_t p = pP[x];
        const std::uint32_t uSum = static_cast<std::uint32_t>(p & 0xFFFF) +
                                   static_cast<std::uint32_t>((p >> 16) & 0xFFFF) +
                                   static_cast<std::uint32_t>((p >> 32) & 0xFFFF);
        pDst[x] = static_cast<BYTE>((uSum / 3u) >> 8);
    }
}

// 8-bit BGRA -> 16-bit BGRA: every byte times 257, so 0xFF stays full scale.
QEL_KERNEL_CLONES inline void Bgra32ToBgra64Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    WordU *pW = reinterpret_cast<WordU *>(pDst);
    const int nValues = nPixels * 4;
    for (int i = 0; i < nValues; ++i)
        pW[i] = static_cast<std::uint16_t>(pSrc[i] * 257u);
}

// 8-bit BGRA -> 8-bit grey: floor((B + G + R) / 3). Alpha is not used.
QEL_KERNEL_CLONES inline void Bgra32ToGrey8Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU32 *pP = reinterpret_cast<const PixelU32 *>(pSrc);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint32_t p = pP[x];
        const std::uint32_t uSum = (p & 0xFF) + ((p >> 8) & 0xFF) + ((p >> 16) & 0xFF);
        pDst[x] = static_cast<BYTE>(uSum / 3u);
    }
}

// 8-bit mask -> 8-bit BGRA: black colour, the mask as alpha.
QEL_KERNEL_CLONES inline void Mask8ToBgra32Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    PixelU32 *pP = reinterpret_cast<PixelU32 *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pP[x] = static_cast<std::uint32_t>(pSrc[x]) << 24;
}

// 8-bit mask -> 16-bit grey: the byte shifted left by 4 (0..4080), the
// scale the editor's 16-bit masks use.
QEL_KERNEL_CLONES inline void Mask8ToGrey16Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    WordU *pW = reinterpret_cast<WordU *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pW[x] = static_cast<std::uint16_t>(pSrc[x] << 4);
}

// 8-bit BGRA -> 8-bit mask: the alpha byte.
QEL_KERNEL_CLONES inline void Bgra32AlphaToMask8Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU32 *pP = reinterpret_cast<const PixelU32 *>(pSrc);
    for (int x = 0; x < nPixels; ++x)
        pDst[x] = static_cast<BYTE>(pP[x] >> 24);
}

// Same format on both sides: the row as it is.
inline void CopyRow(const BYTE *__restrict pSrc, BYTE *__restrict pDst, std::size_t cbRow)
{
    std::memcpy(pDst, pSrc, cbRow);
}

typedef void (*PFN_DepthRow)(const BYTE *pSrc, BYTE *pDst, int nPixels);

} // namespace depth
} // namespace qel
