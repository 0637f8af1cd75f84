// One slice of a panorama re-projection and the driver that shares the
// slices out to the worker pool.
#include <cmath>
#include <cstdint>
#include <immintrin.h>
#include <cstring>
#include <memory>
#include <new>

#include "ReconstructKernels.h"
#include "SSELevel.h"
#include "ThreadPool.h"

// glibc's vector maths library: four double atan2 at once (AVX2).
extern "C" __m256d _ZGVdN4vv_atan2(__m256d, __m256d);

namespace {

const float kPiF = 3.1415927f;
const float kTwoPiF = 6.2831855f;
const float kHalfPiF = 1.5707964f;
// The divisions by pi and 2 pi of the source position, as products: the
// same doubles to within one unit in the last place, then rounded to float.
const double kInvPi = 1.0 / 3.1415927;
const double kInvTwoPi = 1.0 / 6.2831855;

struct tagMatrix3 {
    float m[3][3];
};

tagMatrix3 Multiply(const tagMatrix3 &a, const tagMatrix3 &b)
{
    tagMatrix3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
    return r;
}

// M = Ry(yaw) Rx(pitch) Rz(roll) for row vectors: yaw first, roll last.
tagMatrix3 RotationOf(const ReconstructData &d)
{
    const float fYaw = -d.fYawAngle * kPiF / 180.0f;
    const float fPitch = -d.fPitchAngle * kPiF / 180.0f;
    const float fRoll = -d.fRollAngle * kPiF / 180.0f;
    const float cy = std::cos(fYaw), sy = std::sin(fYaw);
    const float cp = std::cos(fPitch), sp = std::sin(fPitch);
    const float cr = std::cos(fRoll), sr = std::sin(fRoll);
    const tagMatrix3 ry = {{{cy, 0.0f, -sy}, {0.0f, 1.0f, 0.0f}, {sy, 0.0f, cy}}};
    const tagMatrix3 rx = {{{1.0f, 0.0f, 0.0f}, {0.0f, cp, sp}, {0.0f, -sp, cp}}};
    const tagMatrix3 rz = {{{cr, sr, 0.0f}, {-sr, cr, 0.0f}, {0.0f, 0.0f, 1.0f}}};
    return Multiply(Multiply(ry, rx), rz);
}

// Longitude of destination column x: (0.75 - u0) 2 pi brought into (-pi, pi].
inline float Longitude(int x, float fInvWidth)
{
    const float u0 = (float)x * fInvWidth;
    return u0 < 0.25f ? -kHalfPiF - u0 * kTwoPiF : (0.75f - u0) * kTwoPiF;
}

inline int Saturate(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// 15-bit weights, all four channels, horizontal wrap, the bottom row reused
// for the lower pair.
inline std::uint32_t SampleVector(const BYTE *pSrc, int W, int H, float fx, float fy)
{
    const int ix = (int)fx, iy = (int)fy;
    const int ix1 = ix + 1 == W ? 0 : ix + 1;
    const int iy1 = iy == H - 1 ? iy : iy + 1;
    const int wx = (int)std::floor((fx - (float)ix) * 65536.0f) >> 1;
    const int wy = (int)std::floor((fy - (float)iy) * 65536.0f) >> 1;
    const BYTE *ul = pSrc + ((std::size_t)iy * W + ix) * 4, *ur = pSrc + ((std::size_t)iy * W + ix1) * 4;
    const BYTE *ll = pSrc + ((std::size_t)iy1 * W + ix) * 4, *lr = pSrc + ((std::size_t)iy1 * W + ix1) * 4;
    std::uint32_t out = 0;
    for (int c = 0; c < 4; ++c) {
        const int top = ul[c] + (((ur[c] - ul[c]) * wx) >> 15);
        const int bot = ll[c] + (((lr[c] - ll[c]) * wx) >> 15);
        out |= (std::uint32_t)Saturate(top + (((bot - top) * wy) >> 15)) << (8 * c);
    }
    return out;
}

// 16-bit weights, colour only (alpha opaque); at the bottom row every lower
// neighbour is the upper-left one.
inline std::uint32_t SampleScalar(const BYTE *pSrc, int W, int H, float fx, float fy)
{
    const int ix = (int)fx, iy = (int)fy;
    const int ix1 = ix + 1 == W ? 0 : ix + 1;
    const bool bBottom = iy == H - 1;
    const std::int64_t wx = (std::int64_t)std::floor((fx - (float)ix) * 65536.0f);
    const std::int64_t wy = (std::int64_t)std::floor((fy - (float)iy) * 65536.0f);
    const BYTE *ul = pSrc + ((std::size_t)iy * W + ix) * 4, *ur = pSrc + ((std::size_t)iy * W + ix1) * 4;
    const BYTE *ll = bBottom ? ul : pSrc + ((std::size_t)(iy + 1) * W + ix) * 4;
    const BYTE *lr = bBottom ? ul : pSrc + ((std::size_t)(iy + 1) * W + ix1) * 4;
    std::uint32_t out = 0xFF000000u;
    for (int c = 0; c < 3; ++c) {
        const std::int64_t top = ul[c] + (((std::int64_t)(ur[c] - ul[c]) * wx) >> 16);
        const std::int64_t bot = ll[c] + (((std::int64_t)(lr[c] - ll[c]) * wx) >> 16);
        out |= (std::uint32_t)Saturate((int)(top + (((bot - top) * wy) >> 16))) << (8 * c);
    }
    return out;
}

// Source position (fx, fy) of destination column x on a row whose latitude
// gives c and s. The order of operations is the one the vector form below
// keeps.
inline void Position(const ReconstructData &d, const tagMatrix3 &M, float c, float s, double dCos, double dSin,
                     float *pFx, float *pFy)
{
    const float X = (float)(dCos * c), Y = s, Z = (float)(dSin * c);
    const float qx = X * M.m[0][0] + Y * M.m[1][0] + Z * M.m[2][0];
    const float qy = X * M.m[0][1] + Y * M.m[1][1] + Z * M.m[2][1];
    const float qz = X * M.m[0][2] + Y * M.m[1][2] + Z * M.m[2][2];
    const double dAlpha = std::atan2((double)qz, (double)qx);
    const double dR = std::sqrt((double)(qz * qz + qx * qx));
    const double dBeta = std::atan2((double)qy, dR);
    float v = (float)(0.5 - dBeta * kInvPi);
    const float u = (float)(dAlpha > -1.5707964 ? 0.75 - dAlpha * kInvTwoPi : -(dAlpha + 1.5707964) * kInvTwoPi);
    if (v < 0.0f)
        v += 1.0f;
    if (v >= 1.0f)
        v -= 1.0f;
    *pFx = (float)d.unSrcWidth * u;
    *pFy = (float)d.unSrcHeight * v;
}

// Four columns at a time with AVX2; the tail goes through Position.
__attribute__((target("avx2"))) void PositionsAvx2(const ReconstructData &d, const tagMatrix3 &M, float c, float s,
                                                   const double *pCos, const double *pSin, int n, float *pFx,
                                                   float *pFy)
{
    const __m256d vc = _mm256_set1_pd((double)c);
    const __m128 vY = _mm_set1_ps(s);
    __m128 m[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = _mm_set1_ps(M.m[i][j]);
    const __m128 vW = _mm_set1_ps((float)d.unSrcWidth), vH = _mm_set1_ps((float)d.unSrcHeight);
    const __m128 vOne = _mm_set1_ps(1.0f), vZero = _mm_setzero_ps();
    const __m256d vHalf = _mm256_set1_pd(0.5), vInvPi = _mm256_set1_pd(kInvPi);
    const __m256d vThreeQ = _mm256_set1_pd(0.75), vInvTwoPi = _mm256_set1_pd(kInvTwoPi);
    const __m256d vHalfPi = _mm256_set1_pd(1.5707964), vNegHalfPi = _mm256_set1_pd(-1.5707964);
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128 X = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_loadu_pd(pCos + k), vc));
        const __m128 Z = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_loadu_pd(pSin + k), vc));
        const __m128 qx = _mm_add_ps(_mm_add_ps(_mm_mul_ps(X, m[0][0]), _mm_mul_ps(vY, m[1][0])), _mm_mul_ps(Z, m[2][0]));
        const __m128 qy = _mm_add_ps(_mm_add_ps(_mm_mul_ps(X, m[0][1]), _mm_mul_ps(vY, m[1][1])), _mm_mul_ps(Z, m[2][1]));
        const __m128 qz = _mm_add_ps(_mm_add_ps(_mm_mul_ps(X, m[0][2]), _mm_mul_ps(vY, m[1][2])), _mm_mul_ps(Z, m[2][2]));
        const __m256d alpha = _ZGVdN4vv_atan2(_mm256_cvtps_pd(qz), _mm256_cvtps_pd(qx));
        const __m256d r = _mm256_sqrt_pd(_mm256_cvtps_pd(_mm_add_ps(_mm_mul_ps(qz, qz), _mm_mul_ps(qx, qx))));
        const __m256d beta = _ZGVdN4vv_atan2(_mm256_cvtps_pd(qy), r);
        __m128 v = _mm256_cvtpd_ps(_mm256_sub_pd(vHalf, _mm256_mul_pd(beta, vInvPi)));
        const __m256d uA = _mm256_sub_pd(vThreeQ, _mm256_mul_pd(alpha, vInvTwoPi));
        const __m256d uB = _mm256_mul_pd(_mm256_sub_pd(_mm256_setzero_pd(), _mm256_add_pd(alpha, vHalfPi)), vInvTwoPi);
        const __m128 u = _mm256_cvtpd_ps(_mm256_blendv_pd(uB, uA, _mm256_cmp_pd(alpha, vNegHalfPi, _CMP_GT_OQ)));
        v = _mm_add_ps(v, _mm_and_ps(_mm_cmplt_ps(v, vZero), vOne));
        v = _mm_sub_ps(v, _mm_and_ps(_mm_cmpge_ps(v, vOne), vOne));
        _mm_storeu_ps(pFx + k, _mm_mul_ps(vW, u));
        _mm_storeu_ps(pFy + k, _mm_mul_ps(vH, v));
    }
    for (; k < n; ++k)
        Position(d, M, c, s, pCos[k], pSin[k], pFx + k, pFy + k);
}

// The vector sampler over a row of positions, eight pixels at a time with
// AVX2; the same integer steps as SampleVector, so the same pixels.
__attribute__((target("avx2"))) void SampleRowAvx2(const ReconstructData &d, const float *pFx, const float *pFy,
                                                   int n, BYTE *pRow)
{
    const int W = (int)d.unSrcWidth, H = (int)d.unSrcHeight;
    const __m256 vMinus1 = _mm256_set1_ps(-1.0f), vW = _mm256_set1_ps((float)d.unSrcWidth),
                 vH = _mm256_set1_ps((float)d.unSrcHeight), vScale = _mm256_set1_ps(65536.0f);
    const __m256i viW = _mm256_set1_epi32(W), viLastRow = _mm256_set1_epi32(H - 1), vOne = _mm256_set1_epi32(1);
    const __m256i vZero = _mm256_setzero_si256(), viLastCol = _mm256_set1_epi32(W - 1);
    const __m256i vW15 = _mm256_set1_epi32(32767), vLow16 = _mm256_set1_epi32(0xFFFF);
    const __m128i vPairOrder = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i vPickBase = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    const __m256i vInterleave = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    // A single column has no pair to load: it goes pixel by pixel.
    const int nVector = W < 2 ? 0 : n;
    int k = 0;
    for (; k + 8 <= nVector; k += 8) {
        const __m256 fx = _mm256_loadu_ps(pFx + k), fy = _mm256_loadu_ps(pFy + k);
        const __m256 inRange = _mm256_and_ps(
            _mm256_and_ps(_mm256_cmp_ps(fx, vMinus1, _CMP_GT_OQ), _mm256_cmp_ps(fx, vW, _CMP_LT_OQ)),
            _mm256_and_ps(_mm256_cmp_ps(fy, vMinus1, _CMP_GT_OQ), _mm256_cmp_ps(fy, vH, _CMP_LT_OQ)));
        if (_mm256_movemask_ps(inRange) == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(pRow + (std::size_t)k * 4), vZero);
            continue;
        }
        const __m256 fxs = _mm256_and_ps(fx, inRange), fys = _mm256_and_ps(fy, inRange);
        const __m256i ix = _mm256_cvttps_epi32(fxs), iy = _mm256_cvttps_epi32(fys);
        const __m256i iy1 = _mm256_add_epi32(iy, _mm256_andnot_si256(_mm256_cmpeq_epi32(iy, viLastRow), vOne));
        const __m256i wx = _mm256_srai_epi32(
            _mm256_cvttps_epi32(_mm256_floor_ps(_mm256_mul_ps(_mm256_sub_ps(fxs, _mm256_cvtepi32_ps(ix)), vScale))), 1);
        const __m256i wy = _mm256_srai_epi32(
            _mm256_cvttps_epi32(_mm256_floor_ps(_mm256_mul_ps(_mm256_sub_ps(fys, _mm256_cvtepi32_ps(iy)), vScale))), 1);
        // A pixel in the last column pairs with column 0: those blocks go
        // pixel by pixel. Elsewhere each neighbour pair is one 8-byte load
        // (lanes out of range read pixel 0 and are cleared afterwards).
        const __m256i lastCol = _mm256_and_si256(_mm256_cmpeq_epi32(ix, viLastCol), _mm256_castps_si256(inRange));
        if (!_mm256_testz_si256(lastCol, lastCol)) {
            for (int j = 0; j < 8; ++j) {
                std::uint32_t px = 0;
                if (pFx[k + j] > -1.0f && pFx[k + j] < (float)W && pFy[k + j] > -1.0f && pFy[k + j] < (float)H)
                    px = SampleVector(d.pSrcBuffer, W, H, pFx[k + j], pFy[k + j]);
                std::memcpy(pRow + (std::size_t)(k + j) * 4, &px, 4);
            }
            continue;
        }
        alignas(32) int aOff0[8], aOff1[8];
        _mm256_store_si256(reinterpret_cast<__m256i *>(aOff0),
                           _mm256_slli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(iy, viW), ix), 2));
        _mm256_store_si256(reinterpret_cast<__m256i *>(aOff1),
                           _mm256_slli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(iy1, viW), ix), 2));
        // (32767 - w, w): with the left sample added once more, the pair
        // sum is left * 32768 + (right - left) * w, exactly.
        const __m256i wpair = _mm256_or_si256(_mm256_sub_epi32(vW15, wx), _mm256_slli_epi32(wx, 16));
        __m256i aVal[4];
        for (int h = 0; h < 4; ++h) {
            const BYTE *q0 = d.pSrcBuffer + aOff0[2 * h], *q1 = d.pSrcBuffer + aOff0[2 * h + 1];
            const BYTE *r0 = d.pSrcBuffer + aOff1[2 * h], *r1 = d.pSrcBuffer + aOff1[2 * h + 1];
            __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q0));
            a = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(a), reinterpret_cast<const double *>(q1)));
            __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(r0));
            b = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(b), reinterpret_cast<const double *>(r1)));
            const __m256i xa = _mm256_cvtepu8_epi16(_mm_shuffle_epi8(a, vPairOrder));
            const __m256i xb = _mm256_cvtepu8_epi16(_mm_shuffle_epi8(b, vPairOrder));
            const __m256i vPick = _mm256_add_epi32(vPickBase, _mm256_set1_epi32(2 * h));
            const __m256i wxv = _mm256_permutevar8x32_epi32(wpair, vPick);
            const __m256i wyv = _mm256_permutevar8x32_epi32(wy, vPick);
            const __m256i top = _mm256_srai_epi32(
                _mm256_add_epi32(_mm256_madd_epi16(xa, wxv), _mm256_and_si256(xa, vLow16)), 15);
            const __m256i bot = _mm256_srai_epi32(
                _mm256_add_epi32(_mm256_madd_epi16(xb, wxv), _mm256_and_si256(xb, vLow16)), 15);
            aVal[h] = _mm256_srai_epi32(
                _mm256_add_epi32(_mm256_slli_epi32(top, 15), _mm256_mullo_epi32(_mm256_sub_epi32(bot, top), wyv)), 15);
        }
        __m256i out = _mm256_permutevar8x32_epi32(
            _mm256_packus_epi16(_mm256_packus_epi32(aVal[0], aVal[1]), _mm256_packus_epi32(aVal[2], aVal[3])),
            vInterleave);
        out = _mm256_and_si256(out, _mm256_castps_si256(inRange));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pRow + (std::size_t)k * 4), out);
    }
    for (; k < n; ++k) {
        std::uint32_t px = 0;
        if (pFx[k] > -1.0f && pFx[k] < (float)W && pFy[k] > -1.0f && pFy[k] < (float)H)
            px = SampleVector(d.pSrcBuffer, W, H, pFx[k], pFy[k]);
        std::memcpy(pRow + (std::size_t)k * 4, &px, 4);
    }
}

template <bool bVector>
inline std::uint32_t Sample(const ReconstructData &d, float fx, float fy)
{
    const float fW = (float)d.unSrcWidth, fH = (float)d.unSrcHeight;
    // Truncation toward zero decides the range, so (-1, 0) still samples.
    if (!(fx > -1.0f && fx < fW && fy > -1.0f && fy < fH))
        return 0;
    const int W = (int)d.unSrcWidth, H = (int)d.unSrcHeight;
    return bVector ? SampleVector(d.pSrcBuffer, W, H, fx, fy) : SampleScalar(d.pSrcBuffer, W, H, fx, fy);
}

// Latitude terms of row y.
inline void RowTerms(const ReconstructData &d, int y, float *pC, float *pS)
{
    float t = (float)y * (1.0f / (float)d.unDstHeight) + d.fYOffset;
    if (t > 1.0f)
        t = 2.0f - t;
    if (t < 0.0f)
        t = -t;
    const float fLat = -(t - 0.5f) * 0.5f * kTwoPiF;
    *pC = (float)(std::cos((double)fLat) * 0.25);
    *pS = (float)(std::sin((double)fLat) * 0.25);
}

// Destination tiles: a turned row wanders across source rows, so rows are
// walked kTileCols columns at a time, kTileRows rows together, which keeps
// the source pixels a tile reads in the cache.
constexpr int kTileCols = 128;
constexpr int kTileRows = 16;

// pCos/pSin: the longitude's cosine and sine per column of the slice;
// pFx/pFy: room for kTileCols positions, or null to go pixel by pixel.
template <bool bVector>
void SliceRows(const ReconstructData &d, const tagMatrix3 &M, const double *pCos, const double *pSin, float *pFx,
               float *pFy)
{
    const float iw = 1.0f / (float)d.unDstWidth;
    const bool bAvx2 = pFx != nullptr && __builtin_cpu_supports("avx2");
    for (int y0 = d.nStartY; y0 < d.nEndY; y0 += kTileRows) {
        const int y1 = d.nEndY - y0 < kTileRows ? d.nEndY : y0 + kTileRows;
        for (int x0 = d.nStartX; x0 < d.nEndX; x0 += kTileCols) {
            const int n = d.nEndX - x0 < kTileCols ? d.nEndX - x0 : kTileCols;
            const int k0 = x0 - d.nStartX;
            for (int y = y0; y < y1; ++y) {
                float c, s;
                RowTerms(d, y, &c, &s);
                BYTE *pOut = d.pDstBuffer + (std::size_t)y * d.unDstStride + (std::size_t)x0 * 4;
                if (pFx == nullptr) {
                    for (int k = 0; k < n; ++k) {
                        const double dMu = (double)Longitude(x0 + k, iw);
                        float fx, fy;
                        Position(d, M, c, s, std::cos(dMu), std::sin(dMu), &fx, &fy);
                        const std::uint32_t px = Sample<bVector>(d, fx, fy);
                        std::memcpy(pOut + (std::size_t)k * 4, &px, 4);
                    }
                    continue;
                }
                if (bAvx2)
                    PositionsAvx2(d, M, c, s, pCos + k0, pSin + k0, n, pFx, pFy);
                else
                    for (int k = 0; k < n; ++k)
                        Position(d, M, c, s, pCos[k0 + k], pSin[k0 + k], pFx + k, pFy + k);
                if (bVector && bAvx2) {
                    SampleRowAvx2(d, pFx, pFy, n, pOut);
                } else {
                    for (int k = 0; k < n; ++k) {
                        const std::uint32_t px = Sample<bVector>(d, pFx[k], pFy[k]);
                        std::memcpy(pOut + (std::size_t)k * 4, &px, 4);
                    }
                }
            }
        }
    }
}

HRESULT SliceJob(void *pArg)
{
    ReconstructSlice(static_cast<ReconstructData *>(pArg));
    return S_OK;
}

} // namespace

void ReconstructSlice(ReconstructData *pData)
{
    if (pData == nullptr || pData->nStartY >= pData->nEndY || pData->nStartX >= pData->nEndX ||
        pData->unDstWidth == 0 || pData->unDstHeight == 0 || pData->unSrcWidth == 0 || pData->unSrcHeight == 0)
        return;
    const ReconstructData &d = *pData;
    const tagMatrix3 M = RotationOf(d);
    // The longitude depends on the column only: its cosine and sine are
    // taken once per slice, and a row's positions are made before its
    // pixels are sampled. Without room for the tables the slice goes pixel
    // by pixel.
    const std::size_t nCols = (std::size_t)(d.nEndX - d.nStartX);
    std::unique_ptr<double[]> pTable(new (std::nothrow) double[2 * nCols]);
    std::unique_ptr<float[]> pPositions(new (std::nothrow) float[2 * kTileCols]);
    double *pCos = nullptr, *pSin = nullptr;
    float *pFx = nullptr, *pFy = nullptr;
    if (pTable && pPositions) {
        pCos = pTable.get(), pSin = pCos + nCols;
        pFx = pPositions.get(), pFy = pFx + kTileCols;
        const float iw = 1.0f / (float)d.unDstWidth;
        for (std::size_t k = 0; k < nCols; ++k) {
            const double dMu = (double)Longitude(d.nStartX + (int)k, iw);
            pCos[k] = std::cos(dMu);
            pSin[k] = std::sin(dMu);
        }
    }
    if (d.bHasSSE2)
        SliceRows<true>(d, M, pCos, pSin, pFx, pFy);
    else
        SliceRows<false>(d, M, pCos, pSin, pFx, pFy);
}

namespace qel {

int ReconstructPanoramaOn(CThreadPool &pool, BYTE *pSrcBuffer, UINT unSrcWidth, UINT unSrcHeight, UINT unSrcStride,
                          float fRoll, float fYaw, float fPitch, float fYOffset, BYTE *pDstBuffer, UINT unDstWidth,
                          UINT unDstHeight, UINT unDstStride)
{
    if (std::fabs((double)fRoll) < 1e-7 && std::fabs((double)fYaw) < 1e-7 && std::fabs((double)fPitch) < 1e-7 &&
        std::fabs((double)fYOffset) < 1e-7) {
        if (unSrcStride == unDstStride) {
            std::memcpy(pDstBuffer, pSrcBuffer, (std::size_t)unSrcStride * unDstHeight);
        } else {
            const std::size_t cbRow = unSrcStride < unDstStride ? unSrcStride : unDstStride;
            for (UINT y = 0; y < unDstHeight; ++y)
                std::memcpy(pDstBuffer + (std::size_t)y * unDstStride, pSrcBuffer + (std::size_t)y * unSrcStride,
                            cbRow);
        }
        return 0;
    }

    const unsigned int N = pool.MaxWorkers() == 0 ? 1 : pool.MaxWorkers();
    const int k = (int)(unDstHeight / N);
    ReconstructData base;
    std::memset(&base, 0, sizeof(base));
    base.pSrcBuffer = pSrcBuffer;
    base.unSrcWidth = unSrcWidth;
    base.unSrcHeight = unSrcHeight;
    base.unSrcStride = unSrcStride;
    base.pDstBuffer = pDstBuffer;
    base.unDstWidth = unDstWidth;
    base.unDstHeight = unDstHeight;
    base.unDstStride = unDstStride;
    base.nStartX = 0;
    base.nEndX = (int)unDstWidth;
    base.fRollAngle = fRoll;
    base.fYawAngle = fYaw;
    base.fPitchAngle = fPitch;
    base.fYOffset = fYOffset;
    base.bHasSSE2 = GetSSELevel() >= 2 ? TRUE : FALSE;

    std::unique_ptr<ReconstructData[]> pRecords(new (std::nothrow) ReconstructData[N]);
    std::unique_ptr<UINT[]> pIds(new (std::nothrow) UINT[N]);
    std::unique_ptr<bool[]> pQueued(new (std::nothrow) bool[N]);
    if (!pRecords || !pIds || !pQueued) {
        // No room to share the work out: the calling thread does it all.
        base.nStartY = 0;
        base.nEndY = (int)unDstHeight;
        ReconstructSlice(&base);
        return 0;
    }
    for (unsigned int i = 0; i < N; ++i) {
        ReconstructData &r = pRecords[i];
        r = base;
        r.nStartY = (int)i * k;
        r.nEndY = i + 1 == N ? (int)unDstHeight : (int)(i + 1) * k;
        pQueued[i] = pool.SubmitJob(SliceJob, &r, 0, &pIds[i]);
    }
    // A slice the pool could not take is computed here while the others run.
    for (unsigned int i = 0; i < N; ++i)
        if (!pQueued[i])
            ReconstructSlice(&pRecords[i]);
    for (unsigned int i = 0; i < N; ++i)
        if (pQueued[i])
            pool.WaitForJob(pIds[i]);
    return 0;
}

} // namespace qel

int ReconstructPanorama(BYTE *pSrcBuffer, UINT unSrcWidth, UINT unSrcHeight, UINT unSrcStride, float fRoll,
                        float fYaw, float fPitch, float fYOffset, BYTE *pDstBuffer, UINT unDstWidth,
                        UINT unDstHeight, UINT unDstStride)
{
    return qel::ReconstructPanoramaOn(qel::ReconstructPool(), pSrcBuffer, unSrcWidth, unSrcHeight, unSrcStride, fRoll,
                                      fYaw, fPitch, fYOffset, pDstBuffer, unDstWidth, unDstHeight, unDstStride);
}
