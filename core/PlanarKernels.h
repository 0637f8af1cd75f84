// Row kernels between interleaved pixels (B,G,R[,A] side by side) and
// planes (one channel per plane). A row segment of n pixels is split into,
// or merged from, n samples of each plane.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/PixelTypes.h"
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

// Plane pointers arrive as an array of four (the alpha entry is unused for
// three-channel pixels) so that every kernel has the same signature.
typedef void (*PFN_SplitRow)(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels);
typedef void (*PFN_MergeRow)(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels);

// One body per direction; T is the sample type (8 or 16 bits, moved through
// an unaligned, aliasing view since nothing promises even offsets), C the
// channel count. Each instantiation below is compiled per instruction set.
template <class T, int C>
inline __attribute__((always_inline)) void SplitRowT(const BYTE *pInterleaved, BYTE *const *ppPlanes, UINT nPixels)
{
    const T *__restrict s = reinterpret_cast<const T *>(pInterleaved);
    T *__restrict p0 = reinterpret_cast<T *>(ppPlanes[0]);
    T *__restrict p1 = reinterpret_cast<T *>(ppPlanes[1]);
    T *__restrict p2 = reinterpret_cast<T *>(ppPlanes[2]);
    T *__restrict p3 = reinterpret_cast<T *>(ppPlanes[C - 1]);
    for (size_t x = 0; x < nPixels; ++x) {
        p0[x] = s[C * x + 0];
        p1[x] = s[C * x + 1];
        p2[x] = s[C * x + 2];
        if constexpr (C == 4)
            p3[x] = s[C * x + 3];
    }
}

template <class T, int C>
inline __attribute__((always_inline)) void MergeRowT(BYTE *pInterleaved, const BYTE *const *ppPlanes, UINT nPixels)
{
    T *__restrict d = reinterpret_cast<T *>(pInterleaved);
    const T *__restrict p0 = reinterpret_cast<const T *>(ppPlanes[0]);
    const T *__restrict p1 = reinterpret_cast<const T *>(ppPlanes[1]);
    const T *__restrict p2 = reinterpret_cast<const T *>(ppPlanes[2]);
    const T *__restrict p3 = reinterpret_cast<const T *>(ppPlanes[C - 1]);
    for (size_t x = 0; x < nPixels; ++x) {
        d[C * x + 0] = p0[x];
        d[C * x + 1] = p1[x];
        d[C * x + 2] = p2[x];
        if constexpr (C == 4)
            d[C * x + 3] = p3[x];
    }
}

QEL_KERNEL_CLONES static inline void SplitRow3x8(const BYTE *s, BYTE *const *pp, UINT n) { SplitRowT<BYTE, 3>(s, pp, n); }
QEL_KERNEL_CLONES static inline void SplitRow4x8(const BYTE *s, BYTE *const *pp, UINT n) { SplitRowT<BYTE, 4>(s, pp, n); }
QEL_KERNEL_CLONES static inline void SplitRow3x16(const BYTE *s, BYTE *const *pp, UINT n) { SplitRowT<WordU, 3>(s, pp, n); }
QEL_KERNEL_CLONES static inline void SplitRow4x16(const BYTE *s, BYTE *const *pp, UINT n) { SplitRowT<WordU, 4>(s, pp, n); }
QEL_KERNEL_CLONES static inline void MergeRow3x8(BYTE *d, const BYTE *const *pp, UINT n) { MergeRowT<BYTE, 3>(d, pp, n); }
QEL_KERNEL_CLONES static inline void MergeRow4x8(BYTE *d, const BYTE *const *pp, UINT n) { MergeRowT<BYTE, 4>(d, pp, n); }
QEL_KERNEL_CLONES static inline void MergeRow3x16(BYTE *d, const BYTE *const *pp, UINT n) { MergeRowT<WordU, 3>(d, pp, n); }
QEL_KERNEL_CLONES static inline void MergeRow4x16(BYTE *d, const BYTE *const *pp, UINT n) { MergeRowT<WordU, 4>(d, pp, n); }

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
