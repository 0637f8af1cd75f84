// Row kernels that cut a BGRA row with a mask row: the alpha channel or the
// three colour channels are scaled by the mask value (or by its complement
// in the inverse sense). Each works on one row of nPixels destination pixels
// and the matching mask pixels; the shells pick one per call.
//
// The mask value of a mask pixel is its first byte, whatever its width; the
// mask step (its bytes per pixel) is a template constant for the common
// widths so the loads vectorise, and a run-time value for any other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Div255.h"
#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace maskch {

using qel::PixelU32;
using qel::PixelU64;
using qel::WordU;

typedef void (*PFN_MaskRow)(BYTE *pDst, const BYTE *pMask, int nPixels, UINT unMaskStep);

// kStep 0: the step is only known at run time.
template <int kStep>
inline std::uint32_t MaskValue(const BYTE *pMask, int x, UINT unMaskStep)
{
    if (kStep > 0)
        return pMask[static_cast<std::size_t>(x) * kStep];
    return pMask[static_cast<std::size_t>(x) * unMaskStep];
}

// The weight a mask value gives: the value itself, or 255 minus it.
template <bool kInverse>
inline std::uint32_t Weight(std::uint32_t m)
{
    return kInverse ? 255u - m : m;
}

// ---- alpha ---------------------------------------------------------------
// Normal sense: a transparent pixel stays as it is; a visible pixel under a
// zero mask becomes transparent black; otherwise alpha = floor(a * m / 255).
// Inverse sense: weight 255 - m; a full mask clears the pixel whatever its
// alpha, and a zero mask leaves it (floor(a * 255 / 255) = a).

template <bool kInverse, int kStep>
QEL_KERNEL_CLONES void AlphaByMaskBgra32Row(BYTE *pDst, const BYTE *pMask, int nPixels, UINT unMaskStep)
{
    PixelU32 *pP = reinterpret_cast<PixelU32 *>(pDst);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint32_t p = pP[x];
        const std::uint32_t a = p >> 24;
        const std::uint32_t w = Weight<kInverse>(MaskValue<kStep>(pMask, x, unMaskStep));
        const std::uint32_t kept = (p & 0x00FFFFFFu) | (Div255(a * w) << 24);
        const bool bClear = kInverse ? w == 0 : (w == 0) & (a != 0);
        pP[x] = bClear ? 0u : kept;
    }
}

template <bool kInverse, int kStep>
QEL_KERNEL_CLONES void AlphaByMaskBgra64Row(BYTE *pDst, const BYTE *pMask, int nPixels, UINT unMaskStep)
{
    PixelU64 *pP = reinterpret_cast<PixelU64 *>(pDst);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint64_t p = pP[x];
        const std::uint32_t a = static_cast<std::uint32_t>(p >> 48);
        const std::uint32_t w = Weight<kInverse>(MaskValue<kStep>(pMask, x, unMaskStep));
        const std::uint64_t kept =
            (p & 0x0000FFFFFFFFFFFFull) | (static_cast<std::uint64_t>(Div255Wide(a * w)) << 48);
        const bool bClear = kInverse ? w == 0 : (w == 0) & (a != 0);
        pP[x] = bClear ? 0ull : kept;
    }
}

// ---- colour --------------------------------------------------------------
// Each of B, G, R becomes floor(c * w / 255); alpha never changes. 16-bit
// channels use the same byte weight over 255, so a mask scales both depths
// alike.

template <bool kInverse, int kStep>
QEL_KERNEL_CLONES void ColorByMaskBgra32Row(BYTE *pDst, const BYTE *pMask, int nPixels, UINT unMaskStep)
{
    PixelU32 *pP = reinterpret_cast<PixelU32 *>(pDst);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint32_t p = pP[x];
        const std::uint32_t w = Weight<kInverse>(MaskValue<kStep>(pMask, x, unMaskStep));
        const std::uint32_t b = Div255((p & 0xFFu) * w);
        const std::uint32_t g = Div255(((p >> 8) & 0xFFu) * w);
        const std::uint32_t r = Div255(((p >> 16) & 0xFFu) * w);
        pP[x] = (p & 0xFF000000u) | b | (g << 8) | (r << 16);
    }
}

template <bool kInverse, int kStep>
QEL_KERNEL_CLONES void ColorByMaskBgra64Row(BYTE *pDst, const BYTE *pMask, int nPixels, UINT unMaskStep)
{
    PixelU64 *pP = reinterpret_cast<PixelU64 *>(pDst);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint64_t p = pP[x];
        const std::uint32_t w = Weight<kInverse>(MaskValue<kStep>(pMask, x, unMaskStep));
        const std::uint64_t b = Div255Wide(static_cast<std::uint32_t>(p & 0xFFFFu) * w);
        const std::uint64_t g = Div255Wide(static_cast<std::uint32_t>((p >> 16) & 0xFFFFu) * w);
        const std::uint64_t r = Div255Wide(static_cast<std::uint32_t>((p >> 32) & 0xFFFFu) * w);
        pP[x] = (p & 0xFFFF000000000000ull) | b | (g << 16) | (r << 32);
    }
}

// ---- choice, once per call -----------------------------------------------

template <bool kInverse, int kStep>
PFN_MaskRow PickForStep(bool bColor, UINT unDstBytesPerPixel)
{
    if (unDstBytesPerPixel == 4)
        return bColor ? ColorByMaskBgra32Row<kInverse, kStep> : AlphaByMaskBgra32Row<kInverse, kStep>;
    if (unDstBytesPerPixel == 8)
        return bColor ? ColorByMaskBgra64Row<kInverse, kStep> : AlphaByMaskBgra64Row<kInverse, kStep>;
    return nullptr;
}

template <bool kInverse>
PFN_MaskRow PickForSense(bool bColor, UINT unDstBytesPerPixel, UINT unMaskStep)
{
    switch (unMaskStep) {
    case 1:
        return PickForStep<kInverse, 1>(bColor, unDstBytesPerPixel);
    case 2:
        return PickForStep<kInverse, 2>(bColor, unDstBytesPerPixel);
    case 4:
        return PickForStep<kInverse, 4>(bColor, unDstBytesPerPixel);
    case 8:
        return PickForStep<kInverse, 8>(bColor, unDstBytesPerPixel);
    default:
        return PickForStep<kInverse, 0>(bColor, unDstBytesPerPixel);
    }
}

// The row kernel for one call, or null for a destination format the
// methods leave alone (anything but 4 or 8 bytes per pixel).
inline PFN_MaskRow ChooseMaskRowKernel(bool bColor, UINT unDstBytesPerPixel, bool bInverse, UINT unMaskStep)
{
    return bInverse ? PickForSense<true>(bColor, unDstBytesPerPixel, unMaskStep)
                    : PickForSense<false>(bColor, unDstBytesPerPixel, unMaskStep);
}

} // namespace maskch
} // namespace qel
