// Vector form of the trilinear row kernel, compiled once per instruction
// set (SSSE3 to AVX-512) and chosen at run time for the processor. One step
// takes as many pixels as the vector has float lanes (8 with AVX2, 16 with
// AVX-512): the bytes of all of them become grid positions together, then
// each pixel's corners are fetched as four-float vectors (entry plus one
// spare lane) and interpolated on all three components at once, and the
// results become bytes together again. Two other forms were measured and
// were slower: per-lane gathers of each corner component (1.7 to 1.9 times
// the time: a gather costs about a load per lane, where one four-float load
// brings a whole entry) and two or four pixels' entries side by side in one
// wide vector with masks instead of branches (1.15 times: the shuffles to
// build those vectors cost more than the lerps they share).
//
// Bytes must match Lut3DRowScalar exactly: same operation order, the same
// comparisons for the clamps, and an axis whose lo equals hi keeps the lower
// corner's value instead of a lerp (with non-finite table values a lerp of
// equal corners would not give the corner back).

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lut/Lut3DSimd.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lut/LutKernels.h"

HWY_BEFORE_NAMESPACE();
namespace qel {
namespace lut {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// Processors without SSSE3 have no four-lane vectors to fetch an entry
// with; they run the scalar row.
void Lut3DRowImpl(BYTE *pRow, int nPixels, int nChannels, const LutAxes &axes)
{
    Lut3DRowScalar(pRow, nPixels, nChannels, axes);
}
#else
void Lut3DRowImpl(BYTE *pRow, int nPixels, int nChannels, const LutAxes &axes)
{
    const hn::ScalableTag<float> df;
    const hn::RebindToSigned<decltype(df)> di;
    const hn::RebindToUnsigned<decltype(df)> du;
    const hn::FixedTag<float, 4> d4; // one entry: three components and one spare lane
    using VF = hn::Vec<decltype(df)>;
    using VI = hn::Vec<decltype(di)>;
    using V4 = hn::Vec<decltype(d4)>;

    const std::size_t nLanes = hn::Lanes(df);
    const VF v255 = hn::Set(df, 255.0f);
    const VF vZero = hn::Zero(df);
    const VF vGrid = hn::Set(df, axes.fGrid);
    const VF vMin[3] = {hn::Set(df, axes.fMin[0]), hn::Set(df, axes.fMin[1]), hn::Set(df, axes.fMin[2])};
    const VF vScale[3] = {hn::Set(df, axes.fScale[0]), hn::Set(df, axes.fScale[1]), hn::Set(df, axes.fScale[2])};
    // Float offsets of one step along each axis (3N^3 < 2^31 is a table limit).
    const std::int32_t n = axes.nSize;
    const std::int32_t aStride[3] = {3, 3 * n, 3 * n * n};
    const VI vStride[3] = {hn::Set(di, aStride[0]), hn::Set(di, aStride[1]), hn::Set(di, aStride[2])};
    const VI vFlatBit[3] = {hn::Set(di, 1), hn::Set(di, 2), hn::Set(di, 4)};
    const auto vByte = hn::Set(du, 0xFFu);
    const auto vAlpha = hn::Set(du, 0xFF000000u);
    const float *const pData = axes.pData;

    constexpr std::size_t kMax = HWY_MAX_BYTES / sizeof(float);
    alignas(64) std::uint32_t aBlock[kMax];     // pixels of a partial step
    alignas(64) std::int32_t aBase[kMax];       // float offset of the lower corner
    alignas(64) std::int32_t aFlat[kMax];       // bit k: axis k not interpolated
    alignas(64) float aW[3][kMax];              // weight of the upper corner per axis
    alignas(64) float aOut[4 * kMax] = {};      // interpolated entries, four floats a pixel

    for (int x = 0; x < nPixels; x += static_cast<int>(nLanes)) {
        const std::size_t nNow =
            static_cast<std::size_t>(nPixels - x) < nLanes ? static_cast<std::size_t>(nPixels - x) : nLanes;
        BYTE *pFirst = pRow + static_cast<std::size_t>(x) * nChannels;
        const bool bDirect = nChannels == 4 && nNow == nLanes;
        hn::Vec<decltype(du)> vPixels;
        if (bDirect) {
            vPixels = hn::LoadU(du, reinterpret_cast<const std::uint32_t *>(pFirst));
        } else {
            for (std::size_t i = 0; i < nLanes; ++i) {
                std::uint32_t p = 0;
                if (i < nNow) {
                    const BYTE *pPix = pFirst + i * nChannels;
                    p = pPix[0] | (static_cast<std::uint32_t>(pPix[1]) << 8) |
                        (static_cast<std::uint32_t>(pPix[2]) << 16);
                }
                aBlock[i] = p;
            }
            vPixels = hn::Load(du, aBlock);
        }

        // Positions of all lanes at once.
        const hn::Vec<decltype(du)> vBytes[3] = {hn::And(vPixels, vByte),
                                                 hn::And(hn::ShiftRight<8>(vPixels), vByte),
                                                 hn::And(hn::ShiftRight<16>(vPixels), vByte)};
        VI vBase = hn::Zero(di);
        VI vFlat = hn::Zero(di);
        for (int k = 0; k < 3; ++k) {
            const VF vV = hn::ConvertTo(df, hn::BitCast(di, vBytes[k]));
            VF vT = hn::Mul(hn::Sub(hn::Div(vV, v255), vMin[k]), vScale[k]);
            vT = hn::IfThenElse(hn::Lt(vGrid, vT), vGrid, vT);
            vT = hn::IfThenElse(hn::Gt(vT, vZero), vT, vZero);
            const VI vLo = hn::ConvertTo(di, vT); // t >= 0: truncation is the floor
            const VI vHi = hn::ConvertTo(di, hn::Ceil(vT));
            hn::Store(hn::Sub(vT, hn::ConvertTo(df, vLo)), df, aW[k]);
            vBase = hn::Add(vBase, hn::Mul(vLo, vStride[k]));
            vFlat = hn::Or(vFlat, hn::IfThenElseZero(hn::Eq(vLo, vHi), vFlatBit[k]));
        }
        hn::Store(vBase, di, aBase);
        hn::Store(vFlat, di, aFlat);

        // Corners pixel by pixel: each entry is one four-float load (the
        // table storage keeps a float of slack past its last entry), and the
        // lerps run on all three components at once, axis 2, then 1, then 0.
        for (std::size_t i = 0; i < nNow; ++i) {
            const float *pLow = pData + aBase[i];
            const std::int32_t nFlat = aFlat[i];
            const V4 vW2 = hn::Set(d4, aW[2][i]);
            auto along2 = [&](const float *pCorner) {
                const V4 vA = hn::LoadU(d4, pCorner);
                if (nFlat & 4)
                    return vA;
                const V4 vB = hn::LoadU(d4, pCorner + aStride[2]);
                return hn::Add(vA, hn::Mul(hn::Sub(vB, vA), vW2));
            };
            auto along1 = [&](const float *pCorner) {
                const V4 vA = along2(pCorner);
                if (nFlat & 2)
                    return vA;
                const V4 vB = along2(pCorner + aStride[1]);
                return hn::Add(vA, hn::Mul(hn::Sub(vB, vA), hn::Set(d4, aW[1][i])));
            };
            V4 vEntry = along1(pLow);
            if (!(nFlat & 1)) {
                const V4 vB = along1(pLow + aStride[0]);
                vEntry = hn::Add(vEntry, hn::Mul(hn::Sub(vB, vEntry), hn::Set(d4, aW[0][i])));
            }
            hn::Store(vEntry, d4, aOut + 4 * i);
        }

        // Bytes of all lanes at once: x 255, saturated, truncated.
        VF vOut[4];
        hn::LoadInterleaved4(df, aOut, vOut[0], vOut[1], vOut[2], vOut[3]);
        auto vResult = hn::And(vPixels, vAlpha);
        for (int c = 0; c < 3; ++c) {
            VF vX = hn::Mul(vOut[c], v255);
            vX = hn::IfThenElse(hn::Gt(vX, vZero), vX, vZero);
            vX = hn::IfThenElse(hn::Gt(vX, v255), v255, vX);
            const auto vValue = hn::BitCast(du, hn::ConvertTo(di, vX));
            if (c == 0)
                vResult = hn::Or(vResult, vValue);
            else if (c == 1)
                vResult = hn::Or(vResult, hn::ShiftLeft<8>(vValue));
            else
                vResult = hn::Or(vResult, hn::ShiftLeft<16>(vValue));
        }

        if (bDirect) {
            hn::StoreU(vResult, du, reinterpret_cast<std::uint32_t *>(pFirst));
        } else {
            hn::Store(vResult, du, aBlock);
            for (std::size_t i = 0; i < nNow; ++i) {
                BYTE *pPix = pFirst + i * nChannels;
                pPix[0] = static_cast<BYTE>(aBlock[i]);
                pPix[1] = static_cast<BYTE>(aBlock[i] >> 8);
                pPix[2] = static_cast<BYTE>(aBlock[i] >> 16);
            }
        }
    }
}
#endif

} // namespace HWY_NAMESPACE
} // namespace lut
} // namespace qel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qel {
namespace lut {

HWY_EXPORT(Lut3DRowImpl);

void Lut3DRowVector(BYTE *pRow, int nPixels, int nChannels, const LutAxes &axes)
{
    HWY_DYNAMIC_DISPATCH(Lut3DRowImpl)(pRow, nPixels, nChannels, axes);
}

} // namespace lut
} // namespace qel
#endif
