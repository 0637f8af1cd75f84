// Rotation by any angle: the shift that keeps the image centred, and a
// bilinear resampler over interleaved pixels of C channels of type T (planes
// are the C = 1 case). Nothing here knows of buffers, locks or Python: a
// source is a base pointer, a row step and a size; a destination is the same.
//
// Geometry: a source point (x, y) lands at
//     x' = x cos t + y sin t + xShift,   y' = -x sin t + y cos t + yShift,
// so each destination pixel (x', y') samples the source at
//     x = cos t (x' - xShift) - sin t (y' - yShift)
//     y = sin t (x' - xShift) + cos t (y' - yShift).
//
// Sampling positions step along a destination row in 32.32 fixed point and
// are rounded to 1/2048 of a pixel; weights have 11 bits. The edge is
// smoothed: a destination pixel whose bilinear footprint lies partly outside
// the source takes the destination's own value for the neighbours outside,
// so the border fades into whatever the destination holds. Pixels whose
// footprint misses the source entirely are not written.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <type_traits>

#include "MirrorKernels.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace rotate {

// cos and sin of an angle in degrees; quarter turns are exact, so that they
// resample onto whole pixels.
inline void CosSinDegrees(double dAngle, double *pCos, double *pSin)
{
    const double dTurn = std::fmod(dAngle, 360.0);
    if (dTurn == 0.0) {
        *pCos = 1.0, *pSin = 0.0;
    } else if (dTurn == 90.0 || dTurn == -270.0) {
        *pCos = 0.0, *pSin = 1.0;
    } else if (dTurn == 180.0 || dTurn == -180.0) {
        *pCos = -1.0, *pSin = 0.0;
    } else if (dTurn == 270.0 || dTurn == -90.0) {
        *pCos = 0.0, *pSin = -1.0;
    } else {
        const double dRad = dAngle * (3.14159265358979323846 / 180.0);
        *pCos = std::cos(dRad);
        *pSin = std::sin(dRad);
    }
}

// The shift that keeps (xc, yc) where it is when turning by dAngle degrees.
inline void RotationShift(double xc, double yc, double dAngle, double *pXShift, double *pYShift)
{
    double c, s;
    CosSinDegrees(dAngle, &c, &s);
    *pXShift = xc - xc * c - yc * s;
    *pYShift = yc + xc * s - yc * c;
}

struct tagRotation {
    double dCos, dSin, dXShift, dYShift;
};

struct tagImageView {
    BYTE *pData;
    std::ptrdiff_t nStep; // bytes from one row to the next
    int nWidth, nHeight;
};

constexpr int kFracBits = 11;
constexpr int kOne = 1 << kFracBits;
constexpr int kFixShift = 32; // stepping precision
constexpr std::int64_t kFixOne = std::int64_t(1) << kFixShift;
// Added once to a row's start, so truncating to 1/2048 rounds to nearest.
constexpr std::int64_t kFixRound = std::int64_t(1) << (kFixShift - kFracBits - 1);

// Open interval of real i with lo < a + d i < hi, as [*pLo, *pHi]; false
// when it is empty (NaN input included).
inline bool SolveSpan(double a, double d, double lo, double hi, double *pLo, double *pHi)
{
    if (d == 0.0) {
        if (!(a > lo && a < hi))
            return false;
        *pLo = -HUGE_VAL, *pHi = HUGE_VAL;
        return true;
    }
    double l = (lo - a) / d, h = (hi - a) / d;
    if (d < 0.0) {
        const double t = l;
        l = h, h = t;
    }
    if (!(l < h))
        return false;
    *pLo = l, *pHi = h;
    return true;
}

// Integer i in [nFirst, nLast) covering the open interval (lo, hi), widened
// by nGrow pixels each side (negative: shrunk), clamped to [nMin, nMax).
inline void IntegerSpan(double lo, double hi, int nGrow, int nMin, int nMax, int *pFirst, int *pLast)
{
    double f = std::floor(lo) + 1.0 - nGrow, l = std::ceil(hi) + nGrow; // [f, l)
    if (f < nMin)
        f = nMin;
    if (l > nMax)
        l = nMax;
    if (!(f < l)) {
        *pFirst = *pLast = nMin;
        return;
    }
    *pFirst = (int)f;
    *pLast = (int)l;
}

template <class T>
using Acc = typename std::conditional<sizeof(T) == 1, std::uint32_t, std::uint64_t>::type;

template <class T, int C>
inline void BlendPixel(const T *p00, const T *p01, const T *p10, const T *p11, std::uint32_t wx, std::uint32_t wy,
                       T *pOut)
{
    typedef Acc<T> A;
    for (int c = 0; c < C; ++c) {
        const A top = (A)p00[c] * (kOne - wx) + (A)p01[c] * wx;
        const A bot = (A)p10[c] * (kOne - wx) + (A)p11[c] * wx;
        pOut[c] = (T)((top * (kOne - wy) + bot * wy + (A(1) << (2 * kFracBits - 1))) >> (2 * kFracBits));
    }
}

// The inner span of a BGRA row with AVX2: eight pixels a step, the same
// fixed-point positions and integer blend as BlendPixel, so the same bytes.
// Neighbour pairs are plain 8-byte loads: gathers cost more than they save.
// Every position is inside the source with its right and lower neighbours,
// so all offsets are non-negative and fit 32 bits (buffers stay below 2 GiB).
__attribute__((target("avx2"))) inline void FastSpanBgra8Avx2(const BYTE *pSrc, std::ptrdiff_t nStep,
                                                              std::int64_t fx, std::int64_t fy, std::int64_t dfx,
                                                              std::int64_t dfy, int n, BYTE *pOut)
{
    const __m256i vStep4x = _mm256_set1_epi64x(4 * dfx), vStep4y = _mm256_set1_epi64x(4 * dfy);
    // lane * step for 64-bit lanes: no 64-bit multiply in AVX2, so by parts.
    const __m256i vOffX = _mm256_setr_epi64x(0, dfx, 2 * dfx, 3 * dfx);
    const __m256i vOffY = _mm256_setr_epi64x(0, dfy, 2 * dfy, 3 * dfy);
    __m256i fxA = _mm256_add_epi64(_mm256_set1_epi64x(fx), vOffX), fxB = _mm256_add_epi64(fxA, vStep4x);
    __m256i fyA = _mm256_add_epi64(_mm256_set1_epi64x(fy), vOffY), fyB = _mm256_add_epi64(fyA, vStep4y);
    const __m256i vStep8x = _mm256_set1_epi64x(8 * dfx), vStep8y = _mm256_set1_epi64x(8 * dfy);
    const __m256i vEven = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256i vFrac = _mm256_set1_epi32(kOne - 1), vOne = _mm256_set1_epi32(kOne);
    const __m128i vPairOrder = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i vPickBase = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    const __m256i vInterleave = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i vRound = _mm256_set1_epi32(1 << (2 * kFracBits - 1));
    const __m256i vRowStep = _mm256_set1_epi32((int)nStep);
// Eight 64-bit lanes (two vectors) to eight 32-bit ones.
#define QEL_NARROW(a, b)                                                                                    \
    _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32((a), vEven), _mm256_permutevar8x32_epi32((b), vEven), \
                              0x20)
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256i ix = QEL_NARROW(_mm256_srli_epi64(fxA, kFixShift), _mm256_srli_epi64(fxB, kFixShift));
        const __m256i iy = QEL_NARROW(_mm256_srli_epi64(fyA, kFixShift), _mm256_srli_epi64(fyB, kFixShift));
        const __m256i wx = _mm256_and_si256(QEL_NARROW(_mm256_srli_epi64(fxA, kFixShift - kFracBits),
                                                   _mm256_srli_epi64(fxB, kFixShift - kFracBits)), vFrac);
        const __m256i wy = _mm256_and_si256(QEL_NARROW(_mm256_srli_epi64(fyA, kFixShift - kFracBits),
                                                   _mm256_srli_epi64(fyB, kFixShift - kFracBits)), vFrac);
        alignas(32) int aOff[8];
        _mm256_store_si256(reinterpret_cast<__m256i *>(aOff),
                           _mm256_add_epi32(_mm256_mullo_epi32(iy, vRowStep), _mm256_slli_epi32(ix, 2)));
        // (2048 - wx, wx) as a pair of 16-bit weights per pixel.
        const __m256i wpair = _mm256_or_si256(_mm256_sub_epi32(vOne, wx), _mm256_slli_epi32(wx, 16));
        __m256i aVal[4];
        for (int h = 0; h < 4; ++h) {
            // Pixels 2h and 2h + 1, one per 128-bit lane: each neighbour pair
            // is one 8-byte load, reordered so that the two samples of a
            // channel sit side by side for the multiply-add.
            const BYTE *q0 = pSrc + aOff[2 * h], *q1 = pSrc + aOff[2 * h + 1];
            __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q0));
            a = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(a), reinterpret_cast<const double *>(q1)));
            __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q0 + nStep));
            b = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(b), reinterpret_cast<const double *>(q1 + nStep)));
            const __m256i xa = _mm256_cvtepu8_epi16(_mm_shuffle_epi8(a, vPairOrder));
            const __m256i xb = _mm256_cvtepu8_epi16(_mm_shuffle_epi8(b, vPairOrder));
            const __m256i vPick = _mm256_add_epi32(vPickBase, _mm256_set1_epi32(2 * h));
            const __m256i wxv = _mm256_permutevar8x32_epi32(wpair, vPick);
            const __m256i wyv = _mm256_permutevar8x32_epi32(wy, vPick);
            const __m256i top = _mm256_madd_epi16(xa, wxv), bot = _mm256_madd_epi16(xb, wxv);
            const __m256i v = _mm256_add_epi32(_mm256_slli_epi32(top, kFracBits),
                                               _mm256_mullo_epi32(_mm256_sub_epi32(bot, top), wyv));
            aVal[h] = _mm256_srli_epi32(_mm256_add_epi32(v, vRound), 2 * kFracBits);
        }
        // Lanes hold pixels 0,2,4,6 | 1,3,5,7 after packing; put them in order.
        const __m256i packed = _mm256_packus_epi16(_mm256_packus_epi32(aVal[0], aVal[1]),
                                                   _mm256_packus_epi32(aVal[2], aVal[3]));
        const __m256i out = _mm256_permutevar8x32_epi32(packed, vInterleave);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pOut + (std::size_t)k * 4), out);
        fxA = _mm256_add_epi64(fxA, vStep8x), fxB = _mm256_add_epi64(fxB, vStep8x);
        fyA = _mm256_add_epi64(fyA, vStep8y), fyB = _mm256_add_epi64(fyB, vStep8y);
    }
#undef QEL_NARROW
    fx += dfx * k, fy += dfy * k;
    for (; k < n; ++k, fx += dfx, fy += dfy) {
        const int ix = (int)(fx >> kFixShift), iy = (int)(fy >> kFixShift);
        const std::uint32_t wx = (std::uint32_t)((fx >> (kFixShift - kFracBits)) & (kOne - 1));
        const std::uint32_t wy = (std::uint32_t)((fy >> (kFixShift - kFracBits)) & (kOne - 1));
        const BYTE *p0 = pSrc + (std::ptrdiff_t)iy * nStep + (std::ptrdiff_t)ix * 4;
        const BYTE *p1 = p0 + nStep;
        BlendPixel<std::uint8_t, 4>(p0, p0 + 4, p1, p1 + 4, wx, wy, pOut + (std::size_t)k * 4);
    }
}

// One destination row segment [xBegin, xEnd) of row yd.
template <class T, int C, bool bAvx2 = false>
QEL_KERNEL_CLONES void RotateRowSegment(const tagImageView &src, BYTE *pDstRow, int yd, int xBegin, int xEnd,
                                        const tagRotation &rot)
{
    const int W = src.nWidth, H = src.nHeight;
    const double c = rot.dCos, s = rot.dSin;
    const double dy = yd - rot.dYShift;
    // Position of destination column 0 of this row.
    const double ax = -c * rot.dXShift - s * dy;
    const double ay = -s * rot.dXShift + c * dy;

    // Columns whose footprint touches the source, widened by a pixel so that
    // rounding can only add pixels to the checked path.
    double lx, hx, ly, hy;
    if (!SolveSpan(ax, c, -1.0, W, &lx, &hx) || !SolveSpan(ay, s, -1.0, H, &ly, &hy))
        return;
    int nFirst, nLast;
    IntegerSpan(lx > ly ? lx : ly, hx < hy ? hx : hy, 1, xBegin, xEnd, &nFirst, &nLast);
    if (nFirst >= nLast)
        return;
    // Columns whose four neighbours are all inside, shrunk by a pixel.
    int nFastFirst = nFirst, nFastLast = nFirst;
    if (W >= 2 && H >= 2 && SolveSpan(ax, c, 0.0, W - 2.0, &lx, &hx) && SolveSpan(ay, s, 0.0, H - 2.0, &ly, &hy))
        IntegerSpan(lx > ly ? lx : ly, hx < hy ? hx : hy, -1, nFirst, nLast, &nFastFirst, &nFastLast);
    if (c == 0.0 && s == 0.0)
        nFastFirst = nFastLast = nFirst;
    if (nFastFirst >= nFastLast)
        nFastFirst = nFastLast = nLast;

    const std::int64_t dfx = std::llround(c * (double)kFixOne);
    const std::int64_t dfy = std::llround(s * (double)kFixOne);
    const std::int64_t fx0 = std::llround((ax + c * nFirst) * (double)kFixOne);
    const std::int64_t fy0 = std::llround((ay + s * nFirst) * (double)kFixOne);
    const std::int64_t kFracMask = kFixOne - 1;
    // Whole-pixel steps from a whole-pixel start: every weight is zero.
    const bool bWhole = ((dfx | dfy | fx0 | fy0) & kFracMask) == 0;

    const mirror::PFN_ReverseRow pfnReverse = mirror::ChooseReverseRow(sizeof(T) * C);
    T *pOut = reinterpret_cast<T *>(pDstRow);
    const BYTE *pSrc = src.pData;
    const std::ptrdiff_t nStep = src.nStep;

    auto checked = [&](int i, std::int64_t fx, std::int64_t fy) {
        const int ix = (int)(fx >> kFixShift), iy = (int)(fy >> kFixShift);
        const std::uint32_t wx = (std::uint32_t)((fx >> (kFixShift - kFracBits)) & (kOne - 1));
        const std::uint32_t wy = (std::uint32_t)((fy >> (kFixShift - kFracBits)) & (kOne - 1));
        const bool bx0 = ix >= 0 && ix < W, bx1 = ix + 1 >= 0 && ix + 1 < W;
        const bool by0 = iy >= 0 && iy < H, by1 = iy + 1 >= 0 && iy + 1 < H;
        if (!((bx0 || bx1) && (by0 || by1)))
            return;
        T *pD = pOut + (std::ptrdiff_t)i * C;
        T back[C];
        std::memcpy(back, pD, sizeof(back));
        auto at = [&](bool bIn, int x, int y) -> const T * {
            return bIn ? reinterpret_cast<const T *>(pSrc + (std::ptrdiff_t)y * nStep) + (std::ptrdiff_t)x * C : back;
        };
        BlendPixel<T, C>(at(bx0 && by0, ix, iy), at(bx1 && by0, ix + 1, iy), at(bx0 && by1, ix, iy + 1),
                         at(bx1 && by1, ix + 1, iy + 1), wx, wy, pD);
    };

    std::int64_t fx = fx0 + kFixRound, fy = fy0 + kFixRound;
    int i = nFirst;
    for (; i < nFastFirst; ++i, fx += dfx, fy += dfy)
        checked(i, fx, fy);
    if (bWhole) {
        // Quarter turns and whole-pixel shifts: bilinear weights are all
        // zero, so the sample is the upper-left neighbour itself.
        const std::ptrdiff_t nPixStep = (std::ptrdiff_t)(dfx >> kFixShift) * C * (std::ptrdiff_t)sizeof(T) +
                                        (std::ptrdiff_t)(dfy >> kFixShift) * nStep;
        const BYTE *p = pSrc + (std::ptrdiff_t)(fy >> kFixShift) * nStep +
                        (std::ptrdiff_t)(fx >> kFixShift) * C * (std::ptrdiff_t)sizeof(T);
        T *pD = pOut + (std::ptrdiff_t)i * C;
        const int n = nFastLast - i;
        const std::ptrdiff_t nPixel = (std::ptrdiff_t)sizeof(T) * C;
        if (nPixStep == nPixel) { // whole turns: a row copy
            std::memcpy(pD, p, (std::size_t)n * nPixel);
        } else if (nPixStep == -nPixel && pfnReverse != nullptr) { // half turns: a reversed row
            pfnReverse(p - (std::ptrdiff_t)(n - 1) * nPixel, reinterpret_cast<BYTE *>(pD), n);
        } else {
            for (int k = 0; k < n; ++k, p += nPixStep, pD += C)
                std::memcpy(pD, p, nPixel);
        }
        fx += dfx * n;
        fy += dfy * n;
        i = nFastLast;
    } else if (bAvx2) {
        const int n = nFastLast - i;
        FastSpanBgra8Avx2(pSrc, nStep, fx, fy, dfx, dfy, n, reinterpret_cast<BYTE *>(pOut + (std::ptrdiff_t)i * C));
        fx += dfx * n;
        fy += dfy * n;
        i = nFastLast;
    } else {
        for (; i < nFastLast; ++i, fx += dfx, fy += dfy) {
            const int ix = (int)(fx >> kFixShift), iy = (int)(fy >> kFixShift);
            const std::uint32_t wx = (std::uint32_t)((fx >> (kFixShift - kFracBits)) & (kOne - 1));
            const std::uint32_t wy = (std::uint32_t)((fy >> (kFixShift - kFracBits)) & (kOne - 1));
            const T *p0 = reinterpret_cast<const T *>(pSrc + (std::ptrdiff_t)iy * nStep) + (std::ptrdiff_t)ix * C;
            const T *p1 = reinterpret_cast<const T *>(reinterpret_cast<const BYTE *>(p0) + nStep);
            BlendPixel<T, C>(p0, p0 + C, p1, p1 + C, wx, wy, pOut + (std::ptrdiff_t)i * C);
        }
    }
    for (; i < nLast; ++i, fx += dfx, fy += dfy)
        checked(i, fx, fy);
}

typedef void (*PFN_RotateRowSegment)(const tagImageView &, BYTE *, int, int, int, const tagRotation &);

// The segment kernel for a pixel of nBytesPerPixel bytes made of channels of
// nBytesPerChannel bytes; null when there is none.
inline PFN_RotateRowSegment ChooseRotateKernel(int nBytesPerPixel, int nBytesPerChannel)
{
    if (nBytesPerChannel == 1) {
        switch (nBytesPerPixel) {
        case 1: return RotateRowSegment<std::uint8_t, 1>;
        case 3: return RotateRowSegment<std::uint8_t, 3>;
        case 4:
            return __builtin_cpu_supports("avx2") ? RotateRowSegment<std::uint8_t, 4, true>
                                                  : RotateRowSegment<std::uint8_t, 4>;
        }
    } else if (nBytesPerChannel == 2) {
        switch (nBytesPerPixel) {
        case 2: return RotateRowSegment<std::uint16_t, 1>;
        case 6: return RotateRowSegment<std::uint16_t, 3>;
        case 8: return RotateRowSegment<std::uint16_t, 4>;
        }
    }
    return nullptr;
}

// Destination tiles: bands of kBandRows rows, walked kTileCols columns at a
// time, so a turned walk through the source stays within the cache.
constexpr int kBandRows = 16;
constexpr int kTileCols = 128;

// Rows [yBegin, yEnd) of the destination, tile by tile.
inline void RotateBand(PFN_RotateRowSegment pfnSegment, const tagImageView &src, const tagImageView &dst,
                       const tagRotation &rot, int yBegin, int yEnd)
{
    for (int x0 = 0; x0 < dst.nWidth; x0 += kTileCols) {
        const int x1 = dst.nWidth - x0 < kTileCols ? dst.nWidth : x0 + kTileCols;
        for (int y = yBegin; y < yEnd; ++y)
            pfnSegment(src, dst.pData + (std::ptrdiff_t)y * dst.nStep, y, x0, x1, rot);
    }
}

} // namespace rotate
} // namespace qel
