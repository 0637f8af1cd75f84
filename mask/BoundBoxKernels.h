// Row kernels of the bounding-box measurements: per-format pixel tests and
// a row scanner that finds the first and last passing pixel of a row while
// reading as little of it as it can, plus the parallel row reduction that
// turns row extents into a box. Nothing here knows buffers or Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace box {

using qel::PixelU32;
using qel::PixelU64;
using qel::WordU;

// ---- pixel tests -----------------------------------------------------------
// Each test is a struct with Pass(row, x), whether pixel x passes, and
// AnyOf(row, x), whether any of the kBlock pixels from x passes. The block
// forms fold the raw pixels with OR or AND first and test once, so a block
// costs a few vector operations; tests without such a fold evaluate Pass
// for every pixel of the block.

// Pixels tested per block.
constexpr std::size_t kBlock = 64;

template <class Test>
inline bool AnyByPixel(const BYTE *p, std::size_t x)
{
    unsigned unAny = 0;
    for (std::size_t k = 0; k < kBlock; ++k)
        unAny |= Test::Pass(p, x + k) ? 1u : 0u;
    return unAny != 0;
}

// kBits of a T-wide pixel repeated over a 64-bit word.
template <class T, T kBits>
constexpr std::uint64_t Replicated()
{
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < 8 / sizeof(T); ++k)
        v |= static_cast<std::uint64_t>(kBits) << (8 * sizeof(T) * k);
    return v;
}

// Some T-wide pixel value v of the block has (v & kBits) != 0 (AnyBitsSet),
// or (v & kBits) != kBits (AnyBitsClear). The block is folded as 64-bit
// words, each holding whole pixels, so the fold ends in one test of one
// word whatever the pixel width.
template <class T, T kBits>
inline bool AnyBitsSet(const BYTE *p, std::size_t x)
{
    const PixelU64 *pW = reinterpret_cast<const PixelU64 *>(p + x * sizeof(T));
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < kBlock * sizeof(T) / 8; ++k)
        v |= pW[k];
    return (v & Replicated<T, kBits>()) != 0;
}
template <class T, T kBits>
inline bool AnyBitsClear(const BYTE *p, std::size_t x)
{
    const PixelU64 *pW = reinterpret_cast<const PixelU64 *>(p + x * sizeof(T));
    std::uint64_t v = ~0ull;
    for (std::size_t k = 0; k < kBlock * sizeof(T) / 8; ++k)
        v &= pW[k];
    return (v & Replicated<T, kBits>()) != Replicated<T, kBits>();
}

// One 8-bit value: above 0, or below 255.
struct Mask8Above {
    static inline bool Pass(const BYTE *p, std::size_t x) { return p[x] != 0; }
    static inline bool AnyOf(const BYTE *p, std::size_t x) { return AnyBitsSet<std::uint8_t, 0xFF>(p, x); }
};
struct Mask8Below {
    static inline bool Pass(const BYTE *p, std::size_t x) { return p[x] != 0xFF; }
    static inline bool AnyOf(const BYTE *p, std::size_t x) { return AnyBitsClear<std::uint8_t, 0xFF>(p, x); }
};

// Alpha of 8-bit BGRA.
struct Alpha32Above {
    static inline bool Pass(const BYTE *p, std::size_t x) { return p[4 * x + 3] != 0; }
    static inline bool AnyOf(const BYTE *p, std::size_t x)
    {
        return AnyBitsSet<std::uint32_t, 0xFF000000u>(p, x);
    }
};
struct Alpha32Below {
    static inline bool Pass(const BYTE *p, std::size_t x) { return p[4 * x + 3] != 0xFF; }
    static inline bool AnyOf(const BYTE *p, std::size_t x)
    {
        return AnyBitsClear<std::uint32_t, 0xFF000000u>(p, x);
    }
};

// Alpha of 16-bit BGRA.
struct Alpha64Above {
    static inline bool Pass(const BYTE *p, std::size_t x)
    {
        return reinterpret_cast<const WordU *>(p)[4 * x + 3] != 0;
    }
    static inline bool AnyOf(const BYTE *p, std::size_t x)
    {
        return AnyBitsSet<std::uint64_t, 0xFFFF000000000000ull>(p, x);
    }
};
struct Alpha64Below {
    static inline bool Pass(const BYTE *p, std::size_t x)
    {
        return reinterpret_cast<const WordU *>(p)[4 * x + 3] != 0xFFFF;
    }
    static inline bool AnyOf(const BYTE *p, std::size_t x)
    {
        return AnyBitsClear<std::uint64_t, 0xFFFF000000000000ull>(p, x);
    }
};

// Colour: the integer mean of all channels but the last is above 0, which
// for integer channels is the same as their sum reaching the channel count
// (B + G + R >= 3 for four channels, B + G >= 2 for three) ...
template <class T, int kChannels>
struct ColorMeanAbove {
    static inline bool Pass(const BYTE *p, std::size_t x)
    {
        typedef T __attribute__((may_alias, aligned(1))) TU;
        const TU *pC = reinterpret_cast<const TU *>(p) + x * kChannels;
        std::uint32_t unSum = 0;
        for (int c = 0; c < kChannels - 1; ++c)
            unSum += pC[c];
        return unSum >= static_cast<std::uint32_t>(kChannels - 1);
    }
    static inline bool AnyOf(const BYTE *p, std::size_t x) { return AnyByPixel<ColorMeanAbove>(p, x); }
};
// ... or the blue channel is below full scale.
template <class T, int kChannels>
struct BlueBelow {
    static inline bool Pass(const BYTE *p, std::size_t x)
    {
        typedef T __attribute__((may_alias, aligned(1))) TU;
        return reinterpret_cast<const TU *>(p)[x * kChannels] != static_cast<T>(~T(0));
    }
    static inline bool AnyOf(const BYTE *p, std::size_t x) { return AnyByPixel<BlueBelow>(p, x); }
};

// A UV map pixel is the 32-bit word at 4 x; all bits set marks it empty.
struct UVWordSet {
    static inline bool Pass(const BYTE *p, std::size_t x)
    {
        return reinterpret_cast<const PixelU32 *>(p)[x] != 0xFFFFFFFFu;
    }
    static inline bool AnyOf(const BYTE *p, std::size_t x)
    {
        return AnyBitsClear<std::uint32_t, 0xFFFFFFFFu>(p, x);
    }
};

// ---- row scanning ----------------------------------------------------------
// Blocks are tested whole and only the block that holds the answer is
// walked pixel by pixel.

// First passing pixel in [nBegin, nEnd), or nEnd.
template <class Test>
inline std::size_t FindFirst(const BYTE *pRow, std::size_t nBegin, std::size_t nEnd)
{
    std::size_t x = nBegin;
    for (; x + kBlock <= nEnd; x += kBlock)
        if (Test::AnyOf(pRow, x))
            break;
    for (; x < nEnd; ++x)
        if (Test::Pass(pRow, x))
            return x;
    return nEnd;
}

// Last passing pixel in [nBegin, nEnd), or nEnd when none passes.
template <class Test>
inline std::size_t FindLast(const BYTE *pRow, std::size_t nBegin, std::size_t nEnd)
{
    std::size_t x = nEnd;
    for (; x >= nBegin + kBlock; x -= kBlock)
        if (Test::AnyOf(pRow, x - kBlock))
            break;
    while (x > nBegin) {
        --x;
        if (Test::Pass(pRow, x))
            return x;
    }
    return nEnd;
}

// Running box of one thread: columns and rows of passing pixels seen.
struct Extent {
    std::size_t nMinX, nMaxX, nMinY, nMaxY; // empty while nMinX > nMaxX
};

// Folds one row into the box. Only pixels that could widen the box are
// read beyond the first passing one: the right end is searched from the
// row's end down to just past the widest column already known.
template <class Test>
QEL_KERNEL_CLONES void ExtendByRow(const BYTE *pRow, std::size_t nWidth, std::size_t y, Extent *pBox)
{
    const std::size_t nFirst = FindFirst<Test>(pRow, 0, nWidth);
    if (nFirst == nWidth)
        return;
    const bool bSeen = pBox->nMinX <= pBox->nMaxX;
    // Columns up to nFrom - 1 cannot widen the box (nFrom <= nWidth, as the
    // box only holds columns of rows of this width).
    const std::size_t nFrom = bSeen ? std::max(nFirst, pBox->nMaxX) + 1 : nFirst + 1;
    std::size_t nLast = FindLast<Test>(pRow, nFrom, nWidth);
    if (nLast == nWidth)
        nLast = nFrom - 1; // nothing further right: the row ends at its first pixel or inside the box
    pBox->nMinX = std::min(pBox->nMinX, nFirst);
    pBox->nMaxX = nLast;
    pBox->nMinY = std::min(pBox->nMinY, y);
    pBox->nMaxY = bSeen ? std::max(pBox->nMaxY, y) : y;
}

// Whether any pixel of the row passes.
template <class Test>
QEL_KERNEL_CLONES bool RowHasAny(const BYTE *pRow, std::size_t nWidth)
{
    return FindFirst<Test>(pRow, 0, nWidth) != nWidth;
}

// Rows per claim of the OpenMP team: about 64 KiB of pixels, at least one
// row. Small images run on the calling thread, where waking the team would
// cost more than the scan.
inline std::size_t RowsPerClaim(std::size_t cbRow)
{
    const std::size_t cb = cbRow == 0 ? 1 : cbRow;
    return cb >= (64u << 10) ? 1 : (64u << 10) / cb;
}
constexpr std::size_t kParallelBytes = 256u << 10;

// The box of passing pixels over rows [nRowBegin, nRowEnd) of nWidth
// pixels, each thread folding its own rows into its own box and the boxes
// merged once per thread at the end. fnRow(y) gives the start of row y.
template <class Test, class RowFn>
Extent ScanBox(RowFn &&fnRow, std::size_t nWidth, std::size_t nRowBegin, std::size_t nRowEnd,
               std::size_t cbRow)
{
    Extent total{SIZE_MAX, 0, SIZE_MAX, 0};
    if (nWidth == 0 || nRowBegin >= nRowEnd)
        return total;
    const long long nChunk = static_cast<long long>(RowsPerClaim(cbRow));
    const bool bParallel = (nRowEnd - nRowBegin) * cbRow >= kParallelBytes;
    const long long nBegin = static_cast<long long>(nRowBegin), nEnd = static_cast<long long>(nRowEnd);
#pragma omp parallel if (bParallel)
    {
        Extent mine{SIZE_MAX, 0, SIZE_MAX, 0};
#pragma omp for schedule(dynamic, nChunk) nowait
        for (long long y = nBegin; y < nEnd; ++y)
            ExtendByRow<Test>(fnRow(static_cast<std::size_t>(y)), nWidth, static_cast<std::size_t>(y), &mine);
        if (mine.nMinX <= mine.nMaxX) {
#pragma omp critical(qel_box_merge)
            {
                if (total.nMinX > total.nMaxX) {
                    total = mine;
                } else {
                    total.nMinX = std::min(total.nMinX, mine.nMinX);
                    total.nMaxX = std::max(total.nMaxX, mine.nMaxX);
                    total.nMinY = std::min(total.nMinY, mine.nMinY);
                    total.nMaxY = std::max(total.nMaxY, mine.nMaxY);
                }
            }
        }
    }
    return total;
}

// First and last rows in [0, nRows) holding a passing pixel; *pFirst >
// *pLast when there is none.
template <class Test, class RowFn>
void ScanRowRange(RowFn &&fnRow, std::size_t nWidth, std::size_t nRows, std::size_t cbRow, std::size_t *pFirst,
                  std::size_t *pLast)
{
    std::size_t nFirst = SIZE_MAX, nLast = 0;
    if (nWidth != 0 && nRows != 0) {
        const long long nChunk = static_cast<long long>(RowsPerClaim(cbRow));
        const bool bParallel = nRows * cbRow >= kParallelBytes;
        const long long nEnd = static_cast<long long>(nRows);
#pragma omp parallel if (bParallel) reduction(min : nFirst) reduction(max : nLast)
        {
#pragma omp for schedule(dynamic, nChunk) nowait
            for (long long y = 0; y < nEnd; ++y) {
                if (RowHasAny<Test>(fnRow(static_cast<std::size_t>(y)), nWidth)) {
                    nFirst = std::min(nFirst, static_cast<std::size_t>(y));
                    nLast = std::max(nLast, static_cast<std::size_t>(y));
                }
            }
        }
    }
    if (nFirst == SIZE_MAX)
        nLast = 0, nFirst = 1;
    *pFirst = nFirst;
    *pLast = nLast;
}

} // namespace box
} // namespace qel
