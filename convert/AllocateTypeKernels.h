// Row kernels between interleaved pixels (B,G,R[,A] side by side) and
// planes (one channel per plane). A row segment of n pixels is split into,
// or merged from, n samples of each plane.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/QelTypes.h"
#include "core/RowLoop.h"

namespace qel {

// Shape of a planar pixel: how many planes and how wide each sample is.
struct tagPlanarGeometry {
    int nChannels;
    int nBytesPerChannel;
};

// Planar storage exists for 8- and 16-bit BGR and BGRA only; anything else
// yields false and leaves *pGeometry untouched.
inline bool GetPlanarGeometry(UINT unBytesPerPixel, tagPlanarGeometry *pGeometry)
{
    switch (unBytesPerPixel) {
    case 3: *pGeometry = {3, 1}; return true;
    case 4: *pGeometry = {4, 1}; return true;
    case 6: *pGeometry = {3, 2}; return true;
    case 8: *pGeometry = {4, 2}; return true;
    default: return false;
    }
}

// 16-bit samples sit at even offsets in every layout we make, but nothing
// promises it, so they are read through an unaligned, aliasing word type.
typedef std::uint16_t QelWordU __attribute__((aligned(1), may_alias));

// Plane pointers arrive as an array of four (the alpha entry is unused for
// three-channel pixels) so that every kernel has the same signature.
typedef void (*PFN_SplitRow)(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels);
typedef void (*PFN_MergeRow)(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels);

QEL_KERNEL_CLONES static inline void SplitRow3x8(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels)
{
    const BYTE *__restrict s = pInterleaved;
    BYTE *__restrict b = ppPlanes[0];
    BYTE *__restrict g = ppPlanes[1];
    BYTE *__restrict r = ppPlanes[2];
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        b[x] = s[3 * x + 0];
        g[x] = s[3 * x + 1];
        r[x] = s[3 * x + 2];
    }
}

QEL_KERNEL_CLONES static inline void SplitRow4x8(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels)
{
    const BYTE *__restrict s = pInterleaved;
    BYTE *__restrict b = ppPlanes[0];
    BYTE *__restrict g = ppPlanes[1];
    BYTE *__restrict r = ppPlanes[2];
    BYTE *__restrict a = ppPlanes[3];
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        b[x] = s[4 * x + 0];
        g[x] = s[4 * x + 1];
        r[x] = s[4 * x + 2];
        a[x] = s[4 * x + 3];
    }
}

QEL_KERNEL_CLONES static inline void SplitRow3x16(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels)
{
    const QelWordU *__restrict s = reinterpret_cast<const QelWordU *>(pInterleaved);
    QelWordU *__restrict b = reinterpret_cast<QelWordU *>(ppPlanes[0]);
    QelWordU *__restrict g = reinterpret_cast<QelWordU *>(ppPlanes[1]);
    QelWordU *__restrict r = reinterpret_cast<QelWordU *>(ppPlanes[2]);
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        b[x] = s[3 * x + 0];
        g[x] = s[3 * x + 1];
        r[x] = s[3 * x + 2];
    }
}

QEL_KERNEL_CLONES static inline void SplitRow4x16(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels)
{
    const QelWordU *__restrict s = reinterpret_cast<const QelWordU *>(pInterleaved);
    QelWordU *__restrict b = reinterpret_cast<QelWordU *>(ppPlanes[0]);
    QelWordU *__restrict g = reinterpret_cast<QelWordU *>(ppPlanes[1]);
    QelWordU *__restrict r = reinterpret_cast<QelWordU *>(ppPlanes[2]);
    QelWordU *__restrict a = reinterpret_cast<QelWordU *>(ppPlanes[3]);
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        b[x] = s[4 * x + 0];
        g[x] = s[4 * x + 1];
        r[x] = s[4 * x + 2];
        a[x] = s[4 * x + 3];
    }
}

QEL_KERNEL_CLONES static inline void MergeRow3x8(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels)
{
    BYTE *__restrict d = pInterleaved;
    const BYTE *__restrict b = ppPlanes[0];
    const BYTE *__restrict g = ppPlanes[1];
    const BYTE *__restrict r = ppPlanes[2];
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        d[3 * x + 0] = b[x];
        d[3 * x + 1] = g[x];
        d[3 * x + 2] = r[x];
    }
}

QEL_KERNEL_CLONES static inline void MergeRow4x8(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels)
{
    BYTE *__restrict d = pInterleaved;
    const BYTE *__restrict b = ppPlanes[0];
    const BYTE *__restrict g = ppPlanes[1];
    const BYTE *__restrict r = ppPlanes[2];
    const BYTE *__restrict a = ppPlanes[3];
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        d[4 * x + 0] = b[x];
        d[4 * x + 1] = g[x];
        d[4 * x + 2] = r[x];
        d[4 * x + 3] = a[x];
    }
}

QEL_KERNEL_CLONES static inline void MergeRow3x16(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels)
{
    QelWordU *__restrict d = reinterpret_cast<QelWordU *>(pInterleaved);
    const QelWordU *__restrict b = reinterpret_cast<const QelWordU *>(ppPlanes[0]);
    const QelWordU *__restrict g = reinterpret_cast<const QelWordU *>(ppPlanes[1]);
    const QelWordU *__restrict r = reinterpret_cast<const QelWordU *>(ppPlanes[2]);
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        d[3 * x + 0] = b[x];
        d[3 * x + 1] = g[x];
        d[3 * x + 2] = r[x];
    }
}

QEL_KERNEL_CLONES static inline void MergeRow4x16(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels)
{
    QelWordU *__restrict d = reinterpret_cast<QelWordU *>(pInterleaved);
    const QelWordU *__restrict b = reinterpret_cast<const QelWordU *>(ppPlanes[0]);
    const QelWordU *__restrict g = reinterpret_cast<const QelWordU *>(ppPlanes[1]);
    const QelWordU *__restrict r = reinterpret_cast<const QelWordU *>(ppPlanes[2]);
    const QelWordU *__restrict a = reinterpret_cast<const QelWordU *>(ppPlanes[3]);
    const size_t n = nPixels;
    for (size_t x = 0; x < n; ++x) {
        d[4 * x + 0] = b[x];
        d[4 * x + 1] = g[x];
        d[4 * x + 2] = r[x];
        d[4 * x + 3] = a[x];
    }
}

// The kernel for a pixel shape, chosen once per call; null for a shape
// that has no planar form.
inline PFN_SplitRow ChooseSplitRow(const tagPlanarGeometry &geometry)
{
    if (geometry.nBytesPerChannel == 1)
        return geometry.nChannels == 3 ? SplitRow3x8 : geometry.nChannels == 4 ? SplitRow4x8 : nullptr;
    if (geometry.nBytesPerChannel == 2)
        return geometry.nChannels == 3 ? SplitRow3x16 : geometry.nChannels == 4 ? SplitRow4x16 : nullptr;
    return nullptr;
}

inline PFN_MergeRow ChooseMergeRow(const tagPlanarGeometry &geometry)
{
    if (geometry.nBytesPerChannel == 1)
        return geometry.nChannels == 3 ? MergeRow3x8 : geometry.nChannels == 4 ? MergeRow4x8 : nullptr;
    if (geometry.nBytesPerChannel == 2)
        return geometry.nChannels == 3 ? MergeRow3x16 : geometry.nChannels == 4 ? MergeRow4x16 : nullptr;
    return nullptr;
}

} // namespace qel
