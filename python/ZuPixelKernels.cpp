#include "ZuPixelKernels.h"

#include <cstring>

#include "RowLoop.h"

namespace zb {

namespace {

// Channels are moved as whole elements; 16-bit elements go through
// memcpy so unaligned rows are fine and the compiler still emits plain
// vector loads and stores.
template <class T>
inline T Load(const BYTE *p)
{
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <class T>
inline void Store(BYTE *p, T v)
{
    std::memcpy(p, &v, sizeof(T));
}

template <int C, class T>
inline __attribute__((always_inline)) void Interleave(BYTE *pDst, const BYTE *const *ppPlanes,
                                                      UINT unPixels)
{
    const BYTE *p0 = ppPlanes[0];
    const BYTE *p1 = ppPlanes[1];
    const BYTE *p2 = ppPlanes[2];
    const BYTE *p3 = C == 4 ? ppPlanes[3] : nullptr;
    for (UINT x = 0; x < unPixels; ++x) {
        BYTE *pPixel = pDst + (std::size_t)x * C * sizeof(T);
        Store<T>(pPixel, Load<T>(p0 + (std::size_t)x * sizeof(T)));
        Store<T>(pPixel + sizeof(T), Load<T>(p1 + (std::size_t)x * sizeof(T)));
        Store<T>(pPixel + 2 * sizeof(T), Load<T>(p2 + (std::size_t)x * sizeof(T)));
        if constexpr (C == 4)
            Store<T>(pPixel + 3 * sizeof(T), Load<T>(p3 + (std::size_t)x * sizeof(T)));
    }
}

template <int C, class T>
inline __attribute__((always_inline)) void Split(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels)
{
    BYTE *p0 = ppPlanes[0];
    BYTE *p1 = ppPlanes[1];
    BYTE *p2 = ppPlanes[2];
    BYTE *p3 = C == 4 ? ppPlanes[3] : nullptr;
    for (UINT x = 0; x < unPixels; ++x) {
        const BYTE *pPixel = pSrc + (std::size_t)x * C * sizeof(T);
        Store<T>(p0 + (std::size_t)x * sizeof(T), Load<T>(pPixel));
        Store<T>(p1 + (std::size_t)x * sizeof(T), Load<T>(pPixel + sizeof(T)));
        Store<T>(p2 + (std::size_t)x * sizeof(T), Load<T>(pPixel + 2 * sizeof(T)));
        if constexpr (C == 4)
            Store<T>(p3 + (std::size_t)x * sizeof(T), Load<T>(pPixel + 3 * sizeof(T)));
    }
}

} // namespace

void CopyRow(BYTE *pDst, const BYTE *pSrc, UINT unBytes)
{
    std::memcpy(pDst, pSrc, unBytes);
}

QEL_KERNEL_CLONES void InterleaveRow3x8(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels)
{
    Interleave<3, std::uint8_t>(pDst, ppPlanes, unPixels);
}

QEL_KERNEL_CLONES void InterleaveRow4x8(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels)
{
    Interleave<4, std::uint8_t>(pDst, ppPlanes, unPixels);
}

QEL_KERNEL_CLONES void InterleaveRow3x16(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels)
{
    Interleave<3, std::uint16_t>(pDst, ppPlanes, unPixels);
}

QEL_KERNEL_CLONES void InterleaveRow4x16(BYTE *pDst, const BYTE *const *ppPlanes, UINT unPixels)
{
    Interleave<4, std::uint16_t>(pDst, ppPlanes, unPixels);
}

QEL_KERNEL_CLONES void SplitRow3x8(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels)
{
    Split<3, std::uint8_t>(ppPlanes, pSrc, unPixels);
}

QEL_KERNEL_CLONES void SplitRow4x8(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels)
{
    Split<4, std::uint8_t>(ppPlanes, pSrc, unPixels);
}

QEL_KERNEL_CLONES void SplitRow3x16(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels)
{
    Split<3, std::uint16_t>(ppPlanes, pSrc, unPixels);
}

QEL_KERNEL_CLONES void SplitRow4x16(BYTE *const *ppPlanes, const BYTE *pSrc, UINT unPixels)
{
    Split<4, std::uint16_t>(ppPlanes, pSrc, unPixels);
}

PFN_InterleaveRow InterleaveKernelFor(UINT unBytesPerPixel)
{
    switch (unBytesPerPixel) {
    case 3: return InterleaveRow3x8;
    case 4: return InterleaveRow4x8;
    case 6: return InterleaveRow3x16;
    case 8: return InterleaveRow4x16;
    default: return nullptr;
    }
}

PFN_SplitRow SplitKernelFor(UINT unBytesPerPixel)
{
    switch (unBytesPerPixel) {
    case 3: return SplitRow3x8;
    case 4: return SplitRow4x8;
    case 6: return SplitRow3x16;
    case 8: return SplitRow4x16;
    default: return nullptr;
    }
}

} // namespace zb
