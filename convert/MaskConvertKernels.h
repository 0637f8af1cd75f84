// Row kernels between BGRA images and 8-bit masks. Source and destination
// rows always belong to different buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {

// Mask byte = alpha of an 8-bit BGRA pixel.
QEL_KERNEL_CLONES inline void AlphaToMaskRow(const BYTE *__restrict pBGRA, BYTE *__restrict pMask, UINT unCount)
{
    const std::size_t nCount = unCount;
    for (std::size_t x = 0; x < nCount; ++x)
        pMask[x] = pBGRA[4 * x + 3];
}

// Mask byte = mean of B, G and R, rounded down (32-bit sum, integer /3).
QEL_KERNEL_CLONES inline void ColorToMaskRow(const BYTE *__restrict pBGRA, BYTE *__restrict pMask, UINT unCount)
{
    const std::size_t nCount = unCount;
    for (std::size_t x = 0; x < nCount; ++x) {
        const UINT unSum = static_cast<UINT>(pBGRA[4 * x]) + pBGRA[4 * x + 1] + pBGRA[4 * x + 2];
        pMask[x] = static_cast<BYTE>(unSum / 3u);
    }
}

// 16-bit BGRA into an 8-bit mask: the 16-bit mean of B, G and R, rounded
// down, then its high byte, the same reduction a 16-bit image gets when it
// is turned into 8-bit grey.
QEL_KERNEL_CLONES inline void Color16ToMaskRow(const std::uint16_t *__restrict pBGRA, BYTE *__restrict pMask,
                                               UINT unCount)
{
    const std::size_t nCount = unCount;
    for (std::size_t x = 0; x < nCount; ++x) {
        const UINT unSum = static_cast<UINT>(pBGRA[4 * x]) + pBGRA[4 * x + 1] + pBGRA[4 * x + 2];
        pMask[x] = static_cast<BYTE>((unSum / 3u) >> 8);
    }
}

// The BGRA pixels are built as little-endian 32-bit words (B in the low
// byte), which lets the loops vectorise as whole-pixel stores.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "BGRA words are assembled little-endian");

inline void StorePixel32(BYTE *pPixel, std::uint32_t dwPixel)
{
    std::memcpy(pPixel, &dwPixel, sizeof dwPixel);
}

// Black pixels carrying the mask as alpha.
QEL_KERNEL_CLONES inline void MaskToAlphaRow(const BYTE *__restrict pMask, BYTE *__restrict pBGRA, UINT unCount)
{
    const std::size_t nCount = unCount;
    for (std::size_t x = 0; x < nCount; ++x)
        StorePixel32(pBGRA + 4 * x, static_cast<std::uint32_t>(pMask[x]) << 24);
}

// Opaque grey pixels of the mask's value.
QEL_KERNEL_CLONES inline void MaskToGreyRow(const BYTE *__restrict pMask, BYTE *__restrict pBGRA, UINT unCount)
{
    const std::size_t nCount = unCount;
    for (std::size_t x = 0; x < nCount; ++x)
        StorePixel32(pBGRA + 4 * x, static_cast<std::uint32_t>(pMask[x]) * 0x00010101u | 0xFF000000u);
}

// An empty mask row: the result for sources that have no colour to average.
inline void ClearMaskRow(BYTE *pMask, UINT unCount)
{
    std::memset(pMask, 0, unCount);
}

} // namespace qel
