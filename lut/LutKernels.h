// Row kernels of the look-up tables: single-precision arithmetic over the
// pixels of one row, knowing nothing of buffers, logging or Python.
//
// The vector kernel (Lut3DSimd.cpp) must store exactly the bytes of the
// scalar one, so both follow one operation order, the lut sources are
// compiled with -ffp-contract=off (no fused multiply-add may merge a lerp),
// and every clamp is written as a comparison whose NaN outcome is spelt out.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "QelTypes.h"

namespace qel {
namespace lut {

// What a kernel needs of a table, computed once per call.
struct LutAxes {
    const float *pData;  // entries of three floats
    int nSize;           // N
    float fGrid;         // float(N - 1)
    float fMin[3];
    float fScale[3];     // (1 / (fMax - fMin)) * fGrid, reciprocal first
};

inline LutAxes MakeAxes(const float *pData, int nSize, const float *pfMin, const float *pfMax)
{
    LutAxes axes;
    axes.pData = pData;
    axes.nSize = nSize;
    axes.fGrid = static_cast<float>(nSize - 1);
    for (int k = 0; k < 3; ++k) {
        axes.fMin[k] = pfMin[k];
        const float fReciprocal = 1.0f / (pfMax[k] - pfMin[k]);
        axes.fScale[k] = fReciprocal * axes.fGrid;
    }
    return axes;
}

// Position of byte value v on one axis: grid indices either side and the
// weight of the upper one. t is clamped to [0, N - 1]; a NaN position
// (possible only with non-finite domain bounds) lands on 0.
struct AxisPos {
    int lo;
    int hi;
    float w;
};

inline AxisPos Position(unsigned v, float fMin, float fScale, float fGrid)
{
    float t = (static_cast<float>(v) / 255.0f - fMin) * fScale;
    if (fGrid < t)
        t = fGrid;
    if (!(t > 0.0f))
        t = 0.0f;
    AxisPos pos;
    pos.lo = static_cast<int>(std::floor(t));
    pos.hi = static_cast<int>(std::ceil(t));
    pos.w = t - static_cast<float>(pos.lo);
    return pos;
}

inline float Lerp(float a, float b, float w) { return a + (b - a) * w; }

// out * 255 truncated toward zero, saturated to 0..255 (NaN gives 0).
inline unsigned ToByte(float fOut)
{
    float x = fOut * 255.0f;
    if (!(x > 0.0f))
        x = 0.0f;
    if (x > 255.0f)
        x = 255.0f;
    return static_cast<unsigned>(static_cast<int>(x));
}

// 1D: the result for byte k depends on that byte alone, so the whole
// per-channel map is worked out once per call with the per-pixel formula
// and the rows become table look-ups. aMap[k][v] is the output byte already
// shifted to byte k of a little-endian pixel word.
struct Lut1DMap {
    std::uint32_t aMap[3][256];
};

inline void BuildLut1DMap(const LutAxes &axes, Lut1DMap &map)
{
    for (int k = 0; k < 3; ++k) {
        for (unsigned v = 0; v < 256; ++v) {
            const AxisPos pos = Position(v, axes.fMin[k], axes.fScale[k], axes.fGrid);
            const float fLo = axes.pData[3 * static_cast<std::size_t>(pos.lo) + k];
            float fOut = fLo;
            if (pos.lo != pos.hi)
                fOut = Lerp(fLo, axes.pData[3 * static_cast<std::size_t>(pos.hi) + k], pos.w);
            map.aMap[k][v] = ToByte(fOut) << (8 * k);
        }
    }
}

// Four-byte pixels: alpha (byte 3) passes through untouched.
inline void Lut1DRowBgra(BYTE *pRow, int nPixels, const Lut1DMap &map)
{
    for (int x = 0; x < nPixels; ++x) {
        std::uint32_t p;
        __builtin_memcpy(&p, pRow + 4 * static_cast<std::size_t>(x), 4);
        p = (p & 0xFF000000u) | map.aMap[0][p & 0xFF] | map.aMap[1][(p >> 8) & 0xFF] | map.aMap[2][(p >> 16) & 0xFF];
        __builtin_memcpy(pRow + 4 * static_cast<std::size_t>(x), &p, 4);
    }
}

inline void Lut1DRowBgr(BYTE *pRow, int nPixels, const Lut1DMap &map)
{
    for (int x = 0; x < nPixels; ++x) {
        BYTE *p = pRow + 3 * static_cast<std::size_t>(x);
        for (int k = 0; k < 3; ++k)
            p[k] = static_cast<BYTE>(map.aMap[k][p[k]] >> (8 * k));
    }
}

// 3D, one pixel (bytes 0..2 of p). Interpolates along axis 2, then 1, then
// 0; an axis whose lo equals hi is not interpolated, so a pixel on grid
// points reads one entry and no index above N - 1 is formed.
inline void Lut3DPixel(BYTE *p, const LutAxes &axes)
{
    AxisPos pos[3];
    for (int k = 0; k < 3; ++k)
        pos[k] = Position(p[k], axes.fMin[k], axes.fScale[k], axes.fGrid);
    const std::size_t n = static_cast<std::size_t>(axes.nSize);
    const int aI0[2] = {pos[0].lo, pos[0].hi};
    const int aI1[2] = {pos[1].lo, pos[1].hi};
    const int n0 = pos[0].lo == pos[0].hi ? 1 : 2;
    const int n1 = pos[1].lo == pos[1].hi ? 1 : 2;
    const bool bLerp2 = pos[2].lo != pos[2].hi;

    float aAfter2[2][2][3]; // [b0][b1][component]
    for (int b0 = 0; b0 < n0; ++b0) {
        for (int b1 = 0; b1 < n1; ++b1) {
            const std::size_t uPlane = static_cast<std::size_t>(aI1[b1]) * n + static_cast<std::size_t>(aI0[b0]);
            const float *pLo = axes.pData + 3 * (static_cast<std::size_t>(pos[2].lo) * n * n + uPlane);
            if (bLerp2) {
                const float *pHi = axes.pData + 3 * (static_cast<std::size_t>(pos[2].hi) * n * n + uPlane);
                for (int c = 0; c < 3; ++c)
                    aAfter2[b0][b1][c] = Lerp(pLo[c], pHi[c], pos[2].w);
            } else {
                for (int c = 0; c < 3; ++c)
                    aAfter2[b0][b1][c] = pLo[c];
            }
        }
    }
    float aAfter1[2][3];
    for (int b0 = 0; b0 < n0; ++b0) {
        for (int c = 0; c < 3; ++c)
            aAfter1[b0][c] = n1 == 2 ? Lerp(aAfter2[b0][0][c], aAfter2[b0][1][c], pos[1].w) : aAfter2[b0][0][c];
    }
    for (int c = 0; c < 3; ++c) {
        const float fOut = n0 == 2 ? Lerp(aAfter1[0][c], aAfter1[1][c], pos[0].w) : aAfter1[0][c];
        p[c] = static_cast<BYTE>(ToByte(fOut));
    }
}

inline void Lut3DRowScalar(BYTE *pRow, int nPixels, int nChannels, const LutAxes &axes)
{
    for (int x = 0; x < nPixels; ++x)
        Lut3DPixel(pRow + static_cast<std::size_t>(x) * nChannels, axes);
}

// The vector form of Lut3DRowScalar (Lut3DSimd.cpp): the widest vectors the
// processor has, one gathered fetch per corner and component.
void Lut3DRowVector(BYTE *pRow, int nPixels, int nChannels, const LutAxes &axes);

} // namespace lut
} // namespace qel
