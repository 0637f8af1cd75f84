// Row kernels of mask combination and of the hidden colour of transparent
// pixels. Each works on one span of bytes or pixels; the shell picks one
// per call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

// The combination is bound by memory traffic; 64-byte registers halve the
// instructions per byte where the processor has them.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QEL_MASK_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define QEL_MASK_CLONES
#endif

namespace qel {
namespace mask {

// ---- bitwise combination of two masks, in place in the first --------------

QEL_MASK_CLONES inline void AndSpan(BYTE *__restrict pDst, const BYTE *__restrict pRef, std::size_t cb)
{
    for (std::size_t i = 0; i < cb; ++i)
        pDst[i] &= pRef[i];
}

QEL_MASK_CLONES inline void AndNotSpan(BYTE *__restrict pDst, const BYTE *__restrict pRef, std::size_t cb)
{
    for (std::size_t i = 0; i < cb; ++i)
        pDst[i] &= static_cast<BYTE>(~pRef[i]);
}

typedef void (*PFN_CombineSpan)(BYTE *pDst, const BYTE *pRef, std::size_t cb);

// ---- colour of fully transparent pixels taken from a second image ----------
// A destination pixel whose alpha is 0 takes the reference's blue, green
// and red and keeps its alpha 0; any other pixel is left as it is.

QEL_KERNEL_CLONES inline void TransparentRgbBgra32Row(BYTE *__restrict pDst, const BYTE *__restrict pRef, int nPixels)
{
    PixelU32 *pD = reinterpret_cast<PixelU32 *>(pDst);
    const PixelU32 *pR = reinterpret_cast<const PixelU32 *>(pRef);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint32_t d = pD[x];
        pD[x] = (d & 0xFF000000u) == 0 ? (pR[x] & 0x00FFFFFFu) : d;
    }
}

// One channel of either image may sit in its own plane (step 1) or inside
// interleaved pixels (step 4); apDst and apRef hold where blue, green, red
// and alpha of pixel 0 are. Only PLANAR images come this way.
template <int kDstStep, int kRefStep>
inline void TransparentRgbChannelsRow(BYTE *const apDst[4], const BYTE *const apRef[4], int nPixels)
{
    BYTE *__restrict pB = apDst[0];
    BYTE *__restrict pG = apDst[1];
    BYTE *__restrict pR = apDst[2];
    const BYTE *__restrict pA = apDst[3];
    const BYTE *__restrict qB = apRef[0];
    const BYTE *__restrict qG = apRef[1];
    const BYTE *__restrict qR = apRef[2];
    for (int x = 0; x < nPixels; ++x) {
        const bool bClear = pA[kDstStep * x] == 0;
        pB[kDstStep * x] = bClear ? qB[kRefStep * x] : pB[kDstStep * x];
        pG[kDstStep * x] = bClear ? qG[kRefStep * x] : pG[kDstStep * x];
        pR[kDstStep * x] = bClear ? qR[kRefStep * x] : pR[kDstStep * x];
    }
}

typedef void (*PFN_TransparentChannelsRow)(BYTE *const apDst[4], const BYTE *const apRef[4], int nPixels);

} // namespace mask
} // namespace qel
