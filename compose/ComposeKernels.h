// Pixel arithmetic and run kernels of composition: bringing a source pixel
// into the destination's format, mixing a colour into a destination pixel
// with an opacity, the runs that apply both along a destination row
// (forwards, or backwards for a mirrored row), the run that mixes one solid
// colour into a row, and the tile transpose that lets the orientations
// that turn rows into columns use the same row runs. The shells choose the
// kernels once per call; nothing here knows buffers, locks, logging or
// Python.
//
// Colours travel packed in the destination's layout: 8-bit B, G, R, A in
// bits 0-31 for a 4-byte destination, 16-bit B, G, R, A in bits 0-63 for an
// 8-byte one, the value in bits 0-7 for a 1-byte mask.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "Div255.h"
#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace compose {

// floor(v * a) for an opacity a in [0, 1] and every v below 2^nValueBits,
// as (v * unMul) >> nShift. Every opacity the methods pass is a float
// widened to double (or 0 or 1), so a = f * 2^e with a 24-bit f: with
// unMul = f * 2^24 the product is exact and so is its floor. Below
// 2^-nValueBits every v * a is under 1 and the multiplier is 0.
struct tagAlphaScale {
    std::uint32_t unMul;
    int nShift;
};

inline tagAlphaScale AlphaScaleFor(double dAlpha, int nValueBits)
{
    if (!(dAlpha > 0.0))
        return {0, 0};
    int nExp = 0;
    const double dFrac = std::frexp(dAlpha, &nExp); // dAlpha = dFrac * 2^nExp, dFrac in [0.5, 1)
    if (nExp <= -nValueBits)
        return {0, 0};
    return {static_cast<std::uint32_t>(std::ldexp(dFrac, 24)), 24 - nExp};
}

// The opacity as the blend sees it: first the smaller of 1 and a, then the
// larger of 0 and that (so NaN, which compares false, counts as 1).
inline double ClampOpacity(double dAlpha)
{
    const double dMin = dAlpha < 1.0 ? dAlpha : 1.0;
    return 0.0 < dMin ? dMin : 0.0;
}

// floor(x / 65535) for every x up to 65535 * 65535 (a product of two 16-bit
// values); tests/cpp/compose_kernels.cpp checks it over that whole range.
inline constexpr std::uint64_t Div65535(std::uint64_t x)
{
    return (x + 1 + (x >> 16)) >> 16;
}

// ---- pixel types ---------------------------------------------------------

template <int nBpp>
struct tagPixel;
template <>
struct tagPixel<1> {
    typedef std::uint8_t Value;
    static Value Load(const BYTE *p) { return *p; }
    static void Store(BYTE *p, Value v) { *p = v; }
};
template <>
struct tagPixel<4> {
    typedef std::uint32_t Value;
    static Value Load(const BYTE *p) { return *reinterpret_cast<const PixelU32 *>(p); }
    static void Store(BYTE *p, Value v) { *reinterpret_cast<PixelU32 *>(p) = v; }
};
template <>
struct tagPixel<8> {
    typedef std::uint64_t Value;
    static Value Load(const BYTE *p) { return *reinterpret_cast<const PixelU64 *>(p); }
    static void Store(BYTE *p, Value v) { *reinterpret_cast<PixelU64 *>(p) = v; }
};

// ---- colour conversion -------------------------------------------------------

// 16-bit B, G, R, A to 8-bit: the high byte of each channel.
inline std::uint32_t HighBytes(std::uint64_t s)
{
    return static_cast<std::uint32_t>(((s >> 8) & 0xFFu) | ((s >> 16) & 0xFF00u) | ((s >> 24) & 0xFF0000u) |
                                      ((s >> 32) & 0xFF000000u));
}

// 8-bit B, G, R, A to 16-bit: each channel shifted up by 8 (255 -> 65280).
inline std::uint64_t WidenBytes(std::uint32_t s)
{
    const std::uint64_t q = s;
    return ((q & 0xFFu) << 8) | ((q & 0xFF00u) << 16) | ((q & 0xFF0000u) << 24) | ((q & 0xFF000000u) << 32);
}

// A source pixel in the destination's layout. Pairs without a rule give 0,
// whose alpha is 0, so they never change a 4- or 8-byte destination; a mask
// destination takes the first byte of any source pixel.
template <int nDst, int nSrc>
inline std::uint64_t ConvertColor(const BYTE *pSrc)
{
    if constexpr (nDst == 1) {
        return pSrc[0];
    } else if constexpr (nDst == 4 && nSrc == 4) {
        return tagPixel<4>::Load(pSrc);
    } else if constexpr (nDst == 4 && nSrc == 8) {
        return HighBytes(tagPixel<8>::Load(pSrc));
    } else if constexpr (nDst == 8 && nSrc == 4) {
        return WidenBytes(tagPixel<4>::Load(pSrc));
    } else if constexpr (nDst == 8 && nSrc == 8) {
        return tagPixel<8>::Load(pSrc);
    } else {
        return 0;
    }
}

// ---- the blend ---------------------------------------------------------------
// Effective alpha ea = floor(sA * a). Colour: (s * ea + d * (max - ea)) >> bits
// (a divisor of 256 or 65536, not 255 or 65535), blue and red in one
// multiplication under a paired mask, green in another; the sums stay below
// the next channel. Alpha: an opaque destination stays opaque, else ea when
// replacing, else dA - floor(dA * ea / max) + ea. A source alpha of 0 leaves
// the destination as it was. Everything is selects, so the runs vectorise.

template <bool bReplace>
inline std::uint32_t Blend32(std::uint32_t d, std::uint32_t s, tagAlphaScale sc)
{
    const std::uint32_t sA = s >> 24;
    const std::uint32_t ea = (sA * sc.unMul) >> sc.nShift;
    const std::uint32_t nea = 255u - ea;
    const std::uint32_t rb = (((s & 0x00FF00FFu) * ea + (d & 0x00FF00FFu) * nea) >> 8) & 0x00FF00FFu;
    const std::uint32_t g = (((s & 0x0000FF00u) * ea + (d & 0x0000FF00u) * nea) >> 8) & 0x0000FF00u;
    const std::uint32_t dA = d >> 24;
    const std::uint32_t mixed = bReplace ? ea : dA - Div255(dA * ea) + ea;
    const std::uint32_t a = dA == 255u ? 255u : mixed;
    const std::uint32_t out = rb | g | (a << 24);
    return sA == 0 ? d : out;
}

template <bool bReplace>
inline std::uint64_t Blend64(std::uint64_t d, std::uint64_t s, tagAlphaScale sc)
{
    const std::uint64_t kRB = 0x0000FFFF0000FFFFull;
    const std::uint64_t kG = 0x00000000FFFF0000ull;
    const std::uint64_t sA = s >> 48;
    const std::uint64_t ea = (sA * sc.unMul) >> sc.nShift;
    const std::uint64_t nea = 65535u - ea;
    const std::uint64_t rb = (((s & kRB) * ea + (d & kRB) * nea) >> 16) & kRB;
    const std::uint64_t g = (((s & kG) * ea + (d & kG) * nea) >> 16) & kG;
    const std::uint64_t dA = d >> 48;
    const std::uint64_t mixed = bReplace ? ea : dA - Div65535(dA * ea) + ea;
    const std::uint64_t a = dA == 65535u ? 65535u : mixed;
    const std::uint64_t out = rb | g | (a << 48);
    return sA == 0 ? d : out;
}

// A mask is not mixed: the scaled value is OR-ed in.
inline std::uint8_t BlendMask(std::uint8_t d, std::uint32_t v, tagAlphaScale sc)
{
    return static_cast<std::uint8_t>(d | ((v * sc.unMul) >> sc.nShift));
}

// Scale for a destination's channel width.
inline tagAlphaScale ScaleForDst(double dAlpha, int nDst)
{
    return AlphaScaleFor(ClampOpacity(dAlpha), nDst == 8 ? 16 : 8);
}

template <int nDst, bool bReplace>
inline void BlendInto(BYTE *pDst, std::uint64_t qwColor, tagAlphaScale sc)
{
    typedef tagPixel<nDst> P;
    if constexpr (nDst == 4)
        P::Store(pDst, Blend32<bReplace>(P::Load(pDst), static_cast<std::uint32_t>(qwColor), sc));
    else if constexpr (nDst == 8)
        P::Store(pDst, Blend64<bReplace>(P::Load(pDst), qwColor, sc));
    else
        P::Store(pDst, BlendMask(P::Load(pDst), static_cast<std::uint32_t>(qwColor & 0xFFu), sc));
}

// ---- runs of source pixels -----------------------------------------------------
// pSrc: n consecutive source pixels. Forward: destination pixels pDst[0..n)
// in order. Reverse: the same destination span, filled from the last source
// pixel backwards (a mirrored row).

typedef void (*PFN_ComposeRun)(BYTE *pDst, const BYTE *pSrc, int n, tagAlphaScale sc);

template <int nDst, int nSrc, bool bReplace>
QEL_KERNEL_CLONES void ComposeForwardRun(BYTE *__restrict pDst, const BYTE *__restrict pSrc, int n, tagAlphaScale sc)
{
    for (int i = 0; i < n; ++i)
        BlendInto<nDst, bReplace>(pDst + static_cast<std::ptrdiff_t>(i) * nDst,
                                  ConvertColor<nDst, nSrc>(pSrc + static_cast<std::ptrdiff_t>(i) * nSrc), sc);
}

template <int nDst, int nSrc, bool bReplace>
QEL_KERNEL_CLONES void ComposeReverseRun(BYTE *__restrict pDst, const BYTE *__restrict pSrc, int n, tagAlphaScale sc)
{
    for (int i = 0; i < n; ++i)
        BlendInto<nDst, bReplace>(pDst + static_cast<std::ptrdiff_t>(i) * nDst,
                                  ConvertColor<nDst, nSrc>(pSrc + static_cast<std::ptrdiff_t>(n - 1 - i) * nSrc),
                                  sc);
}

// A tile of source pixels turned on its side: nCols columns of nRows
// pixels, column c at pTile + c * cbColumn, taken from rows ppRows[0..nRows)
// starting cbOffset bytes into each row. Used where displayed rows run down
// stored columns: each column of the tile is then one forward or reverse
// run along a stored row.
typedef void (*PFN_TransposeTile)(const BYTE *const *ppRows, std::ptrdiff_t cbOffset, int nRows, int nCols,
                                  BYTE *pTile, std::ptrdiff_t cbColumn);

template <int nSrc>
void TransposeTile(const BYTE *const *ppRows, std::ptrdiff_t cbOffset, int nRows, int nCols, BYTE *pTile,
                   std::ptrdiff_t cbColumn)
{
    for (int r = 0; r < nRows; ++r) {
        const BYTE *pRow = ppRows[r] + cbOffset;
        for (int c = 0; c < nCols; ++c) {
            const BYTE *pS = pRow + static_cast<std::ptrdiff_t>(c) * nSrc;
            BYTE *pT = pTile + c * cbColumn + static_cast<std::ptrdiff_t>(r) * nSrc;
            for (int k = 0; k < nSrc; ++k)
                pT[k] = pS[k];
        }
    }
}

struct tagComposeKernels {
    PFN_ComposeRun pfnForward;
    PFN_ComposeRun pfnReverse;
    PFN_TransposeTile pfnTranspose;
};

template <int nDst, int nSrc, bool bReplace>
inline tagComposeKernels ComposeKernelsOf()
{
    return {ComposeForwardRun<nDst, nSrc, bReplace>, ComposeReverseRun<nDst, nSrc, bReplace>, TransposeTile<nSrc>};
}

// False when the pair cannot change the destination: a 2-, 3- or 6-byte
// destination, or a 4- or 8-byte one from a source ConvertColor gives 0 for.
inline bool ChooseComposeKernels(int nDst, int nSrc, bool bReplace, tagComposeKernels *pKernels)
{
    if (nDst == 1) {
        switch (nSrc) {
        case 1:
            return *pKernels = ComposeKernelsOf<1, 1, false>(), true;
        case 2:
            return *pKernels = ComposeKernelsOf<1, 2, false>(), true;
        case 3:
            return *pKernels = ComposeKernelsOf<1, 3, false>(), true;
        case 4:
            return *pKernels = ComposeKernelsOf<1, 4, false>(), true;
        case 6:
            return *pKernels = ComposeKernelsOf<1, 6, false>(), true;
        case 8:
            return *pKernels = ComposeKernelsOf<1, 8, false>(), true;
        default:
            return false;
        }
    }
    const int nPair = (nDst << 4) | nSrc;
    switch (nPair) {
    case 0x44:
        *pKernels = bReplace ? ComposeKernelsOf<4, 4, true>() : ComposeKernelsOf<4, 4, false>();
        return true;
    case 0x48:
        *pKernels = bReplace ? ComposeKernelsOf<4, 8, true>() : ComposeKernelsOf<4, 8, false>();
        return true;
    case 0x84:
        *pKernels = bReplace ? ComposeKernelsOf<8, 4, true>() : ComposeKernelsOf<8, 4, false>();
        return true;
    case 0x88:
        *pKernels = bReplace ? ComposeKernelsOf<8, 8, true>() : ComposeKernelsOf<8, 8, false>();
        return true;
    default:
        return false;
    }
}

// ---- runs of one solid colour ----------------------------------------------------

template <int nDst, bool bReplace>
QEL_KERNEL_CLONES void FillRun(BYTE *pDst, int n, std::uint64_t qwColor, tagAlphaScale sc)
{
    for (int i = 0; i < n; ++i)
        BlendInto<nDst, bReplace>(pDst + static_cast<std::ptrdiff_t>(i) * nDst, qwColor, sc);
}

} // namespace compose
} // namespace qel
