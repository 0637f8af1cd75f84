// Row kernels of the alpha and channel operations: dropping, forcing and
// copying alpha, exchanging red and blue, and widening BGR to BGRA. Each
// works on one row of nPixels pixels; the shells pick one per call.
//
// Interleaved pixels are handled as one 32- or 64-bit value where a pixel
// fits, so the loops stay in full vector lanes; masks select the channels.
// Plane kernels serve PLANAR buffers, whose alpha (or colour) channel is a
// packed row of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace alpha {

using qel::PixelU32;
using qel::PixelU64;
using qel::WordU;

const std::uint32_t kAlpha32 = 0xFF000000u;
const std::uint64_t kAlpha64 = 0xFFFF000000000000ull;

// ---- alpha removal: BGRA -> BGR -------------------------------------------

QEL_KERNEL_CLONES inline void Bgra32ToBgr24Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    for (int x = 0; x < nPixels; ++x) {
        pDst[3 * x + 0] = pSrc[4 * x + 0];
        pDst[3 * x + 1] = pSrc[4 * x + 1];
        pDst[3 * x + 2] = pSrc[4 * x + 2];
    }
}

QEL_KERNEL_CLONES inline void Bgra64ToBgr48Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const WordU *pS = reinterpret_cast<const WordU *>(pSrc);
    WordU *pD = reinterpret_cast<WordU *>(pDst);
    for (int x = 0; x < nPixels; ++x) {
        pD[3 * x + 0] = pS[4 * x + 0];
        pD[3 * x + 1] = pS[4 * x + 1];
        pD[3 * x + 2] = pS[4 * x + 2];
    }
}

// ---- alpha reveal: any alpha above 0 becomes opaque, 0 stays 0 -------------

QEL_KERNEL_CLONES inline void RevealBgra32Row(BYTE *pRow, int nPixels)
{
    PixelU32 *pP = reinterpret_cast<PixelU32 *>(pRow);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint32_t p = pP[x];
        pP[x] = (p & kAlpha32) != 0 ? (p | kAlpha32) : p;
    }
}

QEL_KERNEL_CLONES inline void RevealBgra64Row(BYTE *pRow, int nPixels)
{
    PixelU64 *pP = reinterpret_cast<PixelU64 *>(pRow);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint64_t p = pP[x];
        pP[x] = (p & kAlpha64) != 0 ? (p | kAlpha64) : p;
    }
}

QEL_KERNEL_CLONES inline void RevealPlane8Row(BYTE *pRow, int nPixels)
{
    for (int x = 0; x < nPixels; ++x)
        pRow[x] = pRow[x] != 0 ? 0xFF : 0;
}

QEL_KERNEL_CLONES inline void RevealPlane16Row(BYTE *pRow, int nPixels)
{
    WordU *pW = reinterpret_cast<WordU *>(pRow);
    for (int x = 0; x < nPixels; ++x)
        pW[x] = pW[x] != 0 ? 0xFFFF : 0;
}

// ---- alpha copy from one buffer into another ---------------------------------
// Interleaved to interleaved keeps the destination's colour and takes the
// source's alpha; the plane variants serve PLANAR buffers on either side.

QEL_KERNEL_CLONES inline void AlphaBgra32ToBgra32Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU32 *pS = reinterpret_cast<const PixelU32 *>(pSrc);
    PixelU32 *pD = reinterpret_cast<PixelU32 *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pD[x] = (pD[x] & ~kAlpha32) | (pS[x] & kAlpha32);
}

QEL_KERNEL_CLONES inline void AlphaBgra64ToBgra64Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU64 *pS = reinterpret_cast<const PixelU64 *>(pSrc);
    PixelU64 *pD = reinterpret_cast<PixelU64 *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pD[x] = (pD[x] & ~kAlpha64) | (pS[x] & kAlpha64);
}

QEL_KERNEL_CLONES inline void AlphaPlane8ToBgra32Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    PixelU32 *pD = reinterpret_cast<PixelU32 *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pD[x] = (pD[x] & ~kAlpha32) | (static_cast<std::uint32_t>(pSrc[x]) << 24);
}

QEL_KERNEL_CLONES inline void AlphaPlane16ToBgra64Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const WordU *pS = reinterpret_cast<const WordU *>(pSrc);
    PixelU64 *pD = reinterpret_cast<PixelU64 *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pD[x] = (pD[x] & ~kAlpha64) | (static_cast<std::uint64_t>(pS[x]) << 48);
}

QEL_KERNEL_CLONES inline void AlphaBgra32ToPlane8Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU32 *pS = reinterpret_cast<const PixelU32 *>(pSrc);
    for (int x = 0; x < nPixels; ++x)
        pDst[x] = static_cast<BYTE>(pS[x] >> 24);
}

QEL_KERNEL_CLONES inline void AlphaBgra64ToPlane16Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    const PixelU64 *pS = reinterpret_cast<const PixelU64 *>(pSrc);
    WordU *pD = reinterpret_cast<WordU *>(pDst);
    for (int x = 0; x < nPixels; ++x)
        pD[x] = static_cast<std::uint16_t>(pS[x] >> 48);
}

inline void AlphaPlane8ToPlane8Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    std::memcpy(pDst, pSrc, static_cast<std::size_t>(nPixels));
}

inline void AlphaPlane16ToPlane16Row(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    std::memcpy(pDst, pSrc, static_cast<std::size_t>(nPixels) * 2);
}

// ---- red / blue exchange ---------------------------------------------------

QEL_KERNEL_CLONES inline void SwapRBBgr24Row(BYTE *__restrict pRow, int nPixels)
{
    for (int x = 0; x < nPixels; ++x) {
        const BYTE b = pRow[3 * x];
        pRow[3 * x] = pRow[3 * x + 2];
        pRow[3 * x + 2] = b;
    }
}

QEL_KERNEL_CLONES inline void SwapRBBgra32Row(BYTE *pRow, int nPixels)
{
    PixelU32 *pP = reinterpret_cast<PixelU32 *>(pRow);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint32_t p = pP[x];
        pP[x] = (p & 0xFF00FF00u) | ((p >> 16) & 0xFFu) | ((p & 0xFFu) << 16);
    }
}

// 16-bit pixels exchange whole words, so each channel keeps both its bytes.
QEL_KERNEL_CLONES inline void SwapRBBgr48Row(BYTE *__restrict pRow, int nPixels)
{
    WordU *pW = reinterpret_cast<WordU *>(pRow);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint16_t b = pW[3 * x];
        pW[3 * x] = pW[3 * x + 2];
        pW[3 * x + 2] = b;
    }
}

QEL_KERNEL_CLONES inline void SwapRBBgra64Row(BYTE *pRow, int nPixels)
{
    PixelU64 *pP = reinterpret_cast<PixelU64 *>(pRow);
    for (int x = 0; x < nPixels; ++x) {
        const std::uint64_t p = pP[x];
        pP[x] = (p & 0xFFFF0000FFFF0000ull) | ((p >> 32) & 0xFFFFull) | ((p & 0xFFFFull) << 32);
    }
}

// PLANAR buffers keep blue and red in planes of their own: exchanging the
// two planes' contents row by row is the same swap.
QEL_KERNEL_CLONES inline void SwapBytesRow(BYTE *__restrict pA, BYTE *__restrict pB, std::size_t cbRow)
{
    for (std::size_t i = 0; i < cbRow; ++i) {
        const BYTE t = pA[i];
        pA[i] = pB[i];
        pB[i] = t;
    }
}

typedef void (*PFN_CopyRow)(const BYTE *pSrc, BYTE *pDst, int nPixels);
typedef void (*PFN_InPlaceRow)(BYTE *pRow, int nPixels);

} // namespace alpha
} // namespace qel
