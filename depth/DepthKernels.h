// Kernels of the depth maps: the depth range of a row, the histogram of the
// depths a reference mask selects, the scaling of a raw depth into the
// buffer's own range, and the 256-entry table that turns a depth into a
// focus mask value. Nothing here knows of buffers, locks or Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace depth {

// Folds the smallest and largest byte of a span into *pbyMin and *pbyMax.
QEL_KERNEL_CLONES inline void MinMaxSpan(const BYTE *__restrict pSpan, std::size_t cb, BYTE *pbyMin, BYTE *pbyMax)
{
    BYTE byMin = *pbyMin, byMax = *pbyMax;
    for (std::size_t i = 0; i < cb; ++i) {
        byMin = pSpan[i] < byMin ? pSpan[i] : byMin;
        byMax = pSpan[i] > byMax ? pSpan[i] : byMax;
    }
    *pbyMin = byMin;
    *pbyMax = byMax;
}

// Counts the depth of every pixel whose reference value is exactly 255.
inline void SelectedHistogramRow(const BYTE *pDepth, const BYTE *pRef, std::size_t nPixels, std::uint32_t *pCounts)
{
    for (std::size_t i = 0; i < nPixels; ++i)
        pCounts[pDepth[i]] += pRef[i] == 255 ? 1u : 0u;
}

// Clamps a value already truncated toward zero (or about to be) into 0..255.
inline int ClampByteOfTruncated(double dValue)
{
    if (!(dValue > 0.0))
        return 0; // negative values truncate to 0 or below
    if (dValue >= 255.0)
        return 255;
    return static_cast<int>(dValue);
}

// A raw depth on the 0..255 scale of the range [nMin, nMax]: the raw value
// itself is scaled by 255 / range, rounded half up; a flat range gives nMin.
inline int ScaledDepth(int nRawDepth, int nMin, int nMax)
{
    const int nRange = nMax - nMin;
    if (nRange == 0)
        return nMin;
    return ClampByteOfTruncated(static_cast<double>(nRawDepth) * 255.0 / nRange + 0.5);
}

// The smallest depth whose running count reaches half the selected pixels
// (rounded down), 255 when none below 255 does; -1 when nothing was selected.
inline int LowerMedianDepth(const std::uint32_t anCounts[256])
{
    std::uint64_t aqwRunning[256];
    std::uint64_t qwSum = 0;
    for (int i = 0; i < 256; ++i) {
        qwSum += anCounts[i];
        aqwRunning[i] = qwSum;
    }
    if (qwSum == 0)
        return -1;
    const std::uint64_t qwHalf = qwSum / 2;
    for (int i = 0; i < 255; ++i) {
        if (aqwRunning[i] >= qwHalf)
            return i;
    }
    return 255;
}

// ---- the focus mask table ------------------------------------------------------

// Depths normalised to the buffer's range: min -> 0, max -> 255, linear in
// between, above max 255, below min 0; a flat buffer marks only its one depth.
inline void NormalisingTable(int nMin, int nMax, BYTE abyTable[256])
{
    for (int v = 0; v < 256; ++v)
        abyTable[v] = 0;
    const int nRange = nMax - nMin;
    if (nRange == 0) {
        abyTable[nMin] = 255;
        return;
    }
    for (int i = 0; i <= nRange; ++i)
        abyTable[nMin + i] = static_cast<BYTE>(ClampByteOfTruncated(i * 255.0 / nRange + 0.5));
    for (int v = nMax + 1; v < 256; ++v)
        abyTable[v] = 255;
}

// Closeness to the chosen depth: 255 at it, falling linearly with the
// normalised distance over the longer side of the scale.
inline void DistanceStep(int nDepth, BYTE abyTable[256])
{
    const int d = nDepth < 0 ? 0 : nDepth > 255 ? 255 : nDepth;
    const int nSpan = 255 - d > d ? 255 - d : d;
    for (int v = 0; v < 256; ++v) {
        const int nDistance = std::abs(d - static_cast<int>(abyTable[v]));
        abyTable[v] = static_cast<BYTE>(255 - ClampByteOfTruncated(nDistance * 255.0 / nSpan + 0.5));
    }
}

// Keeps a band of 16 steps around the chosen depth, stretched to full range.
inline void FocusLineStep(BYTE abyTable[256])
{
    for (int v = 0; v < 256; ++v) {
        const int c = 255 - abyTable[v];
        abyTable[v] = static_cast<BYTE>(c < 16 ? 255 - 16 * c : 0);
    }
}

inline void InvertStep(BYTE abyTable[256])
{
    for (int v = 0; v < 256; ++v)
        abyTable[v] = static_cast<BYTE>(255 - abyTable[v]);
}

} // namespace depth
} // namespace qel
