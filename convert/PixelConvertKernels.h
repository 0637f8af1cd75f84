// Row kernels of the BGRA pixel rules: the conversion modes, the
// mask-weighted inversion and the alpha-threshold clearing. Each works on
// one row of interleaved B, G, R, A pixels of 8-bit (BYTE) or 16-bit
// (uint16_t) channels and knows nothing of buffers.
//
// The destination row may be the source row itself (in-place conversion):
// every rule reads a whole pixel before it writes it. The kernels test for
// that once per row so that the separate-buffer loop can be compiled
// without aliasing checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {

// Largest channel value: 255 for 8-bit, 65535 for 16-bit pixels.
template <class T>
constexpr UINT ChannelMax()
{
    return static_cast<T>(~T(0));
}

// Mean of the colour channels, rounded down: 32-bit unsigned sum, integer
// division.
template <class T>
inline T MeanOf3(T b, T g, T r)
{
    const UINT unSum = static_cast<UINT>(b) + g + r;
    return static_cast<T>(unSum / 3u);
}

// Pixel rules. Apply reads the four channels into locals first, so pDst may
// equal pSrc.
template <class T>
struct RevealAlphaRule {
    static inline void Apply(const T *pSrc, T *pDst)
    {
        const T b = pSrc[0], g = pSrc[1], r = pSrc[2];
        pDst[0] = b;
        pDst[1] = g;
        pDst[2] = r;
        pDst[3] = static_cast<T>(ChannelMax<T>());
    }
};

template <class T>
struct ReplaceByAlphaRule {
    static inline void Apply(const T *pSrc, T *pDst)
    {
        const T a = pSrc[3];
        pDst[0] = a;
        pDst[1] = a;
        pDst[2] = a;
        pDst[3] = static_cast<T>(ChannelMax<T>());
    }
};

template <class T>
struct ColorToGreyRule {
    static inline void Apply(const T *pSrc, T *pDst)
    {
        const T grey = MeanOf3(pSrc[0], pSrc[1], pSrc[2]);
        pDst[0] = grey;
        pDst[1] = grey;
        pDst[2] = grey;
        pDst[3] = static_cast<T>(ChannelMax<T>());
    }
};

template <class T>
struct InvertColorRule {
    static inline void Apply(const T *pSrc, T *pDst)
    {
        const T b = pSrc[0], g = pSrc[1], r = pSrc[2], a = pSrc[3];
        pDst[0] = static_cast<T>(ChannelMax<T>() - b);
        pDst[1] = static_cast<T>(ChannelMax<T>() - g);
        pDst[2] = static_cast<T>(ChannelMax<T>() - r);
        pDst[3] = a;
    }
};

template <class T, class Rule>
__attribute__((always_inline)) inline void PixelRuleRowApart(const T *__restrict pSrc, T *__restrict pDst,
                                                             std::size_t nCount)
{
    for (std::size_t x = 0; x < nCount; ++x)
        Rule::Apply(pSrc + 4 * x, pDst + 4 * x);
}

template <class T, class Rule>
__attribute__((always_inline)) inline void PixelRuleRowInPlace(T *pPixels, std::size_t nCount)
{
    for (std::size_t x = 0; x < nCount; ++x)
        Rule::Apply(pPixels + 4 * x, pPixels + 4 * x);
}

// One conversion-mode rule over unCount pixels.
template <class T, class Rule>
QEL_KERNEL_CLONES void PixelRuleRow(const T *pSrc, T *pDst, UINT unCount)
{
    if (pSrc == pDst)
        PixelRuleRowInPlace<T, Rule>(pDst, unCount);
    else
        PixelRuleRowApart<T, Rule>(pSrc, pDst, unCount);
}

// Mask-weighted inversion of one channel value. The editor computes the
// weight and the inverted share in single precision and the rest in double
// precision; the mix is kept exactly so results match its output bit for
// bit. (The clones enable no FMA, so nothing is fused.)
template <class T>
inline T InvertByWeight(UINT unValue, float fWeight, double dKeep)
{
    const float fInverted = static_cast<float>(static_cast<int>(ChannelMax<T>() - unValue)) * fWeight;
    const double dResult = static_cast<double>(fInverted) + static_cast<double>(static_cast<int>(unValue)) * dKeep;
    // In [0, M] up to rounding, so truncation toward zero stays in range.
    return static_cast<T>(static_cast<int>(dResult));
}

template <class T>
inline void InvertByMaskPixel(const T *pSrc, BYTE byMask, T *pDst)
{
    const float fWeight = static_cast<float>(byMask) / 255.0f;
    const double dKeep = 1.0 - static_cast<double>(fWeight);
    const T b = pSrc[0], g = pSrc[1], r = pSrc[2], a = pSrc[3];
    pDst[0] = InvertByWeight<T>(b, fWeight, dKeep);
    pDst[1] = InvertByWeight<T>(g, fWeight, dKeep);
    pDst[2] = InvertByWeight<T>(r, fWeight, dKeep);
    pDst[3] = a;
}

template <class T>
__attribute__((always_inline)) inline void InvertByMaskRowApart(const T *__restrict pSrc,
                                                                const BYTE *__restrict pMask,
                                                                T *__restrict pDst, std::size_t nCount)
{
    for (std::size_t x = 0; x < nCount; ++x)
        InvertByMaskPixel<T>(pSrc + 4 * x, pMask[x], pDst + 4 * x);
}

template <class T>
__attribute__((always_inline)) inline void InvertByMaskRowInPlace(T *pPixels, const BYTE *__restrict pMask,
                                                                  std::size_t nCount)
{
    for (std::size_t x = 0; x < nCount; ++x)
        InvertByMaskPixel<T>(pPixels + 4 * x, pMask[x], pPixels + 4 * x);
}

// In place with the mask row inside the pixels being rewritten (a buffer
// used as its own mask): pixel by pixel in order, each reading the mask
// byte as it stands at that moment.
template <class T>
inline void InvertByMaskRowShared(T *pPixels, const BYTE *pMask, std::size_t nCount)
{
    for (std::size_t x = 0; x < nCount; ++x)
        InvertByMaskPixel<T>(pPixels + 4 * x, pMask[x], pPixels + 4 * x);
}

// Colour inverted in proportion to one mask byte per pixel (255 inverts,
// 0 keeps); alpha copied.
template <class T>
QEL_KERNEL_CLONES void InvertByMaskRow(const T *pSrc, const BYTE *pMask, T *pDst, UINT unCount)
{
    if (pSrc != pDst) {
        InvertByMaskRowApart<T>(pSrc, pMask, pDst, unCount);
        return;
    }
    const auto uRowBegin = reinterpret_cast<std::uintptr_t>(pDst);
    const auto uRowEnd = uRowBegin + std::size_t(unCount) * 4 * sizeof(T);
    const auto uMaskBegin = reinterpret_cast<std::uintptr_t>(pMask);
    if (uMaskBegin + unCount > uRowBegin && uMaskBegin < uRowEnd)
        InvertByMaskRowShared<T>(pDst, pMask, unCount);
    else
        InvertByMaskRowInPlace<T>(pDst, pMask, unCount);
}

// Copies pixels whose alpha exceeds the threshold; the others get black
// colour and keep their alpha. Written as a per-channel select so the loop
// stays branch-free.
template <class T>
QEL_KERNEL_CLONES void ClearBGRByAlphaRow(const T *__restrict pSrc, T *__restrict pDst, UINT unCount, T threshold)
{
    const std::size_t nCount = unCount;
    for (std::size_t x = 0; x < nCount; ++x) {
        const T *s = pSrc + 4 * x;
        T *d = pDst + 4 * x;
        const T a = s[3];
        const T keep = a > threshold ? static_cast<T>(~T(0)) : T(0);
        d[0] = static_cast<T>(s[0] & keep);
        d[1] = static_cast<T>(s[1] & keep);
        d[2] = static_cast<T>(s[2] & keep);
        d[3] = a;
    }
}

// Plain row copy, for a separate destination when no rule applies.
inline void CopyPixelRow(const BYTE *pSrc, BYTE *pDst, std::size_t nBytes)
{
    if (pSrc != pDst)
        std::memcpy(pDst, pSrc, nBytes);
}

} // namespace qel
