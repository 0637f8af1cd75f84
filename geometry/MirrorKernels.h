// Row kernels of mirroring and of quarter-turn pixel copies. A left-right
// flip reverses the pixels of a row; a top-bottom flip copies a row to the
// opposite row, which the shell arranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <immintrin.h>

#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace mirror {

// Pixels of N bytes, moved as one unit.
template <int N>
struct tagPixel {
    BYTE a[N];
};

// The word-sized pixels reverse as whole words, which the compiler turns
// into vector shuffles; the others move as N bytes.
template <int N>
struct tagWordOf {
    static constexpr bool bWord = false;
};
template <>
struct tagWordOf<1> {
    static constexpr bool bWord = true;
    typedef BYTE type;
};
template <>
struct tagWordOf<2> {
    static constexpr bool bWord = true;
    typedef WordU type;
};
template <>
struct tagWordOf<4> {
    static constexpr bool bWord = true;
    typedef PixelU32 type;
};
template <>
struct tagWordOf<8> {
    static constexpr bool bWord = true;
    typedef PixelU64 type;
};

template <int N>
QEL_KERNEL_CLONES void ReverseRow(const BYTE *__restrict pSrc, BYTE *__restrict pDst, int nPixels)
{
    if constexpr (!tagWordOf<N>::bWord) {
        const tagPixel<N> *pS = reinterpret_cast<const tagPixel<N> *>(pSrc);
        tagPixel<N> *pD = reinterpret_cast<tagPixel<N> *>(pDst) + nPixels - 1;
        for (int x = 0; x < nPixels; ++x)
            std::memcpy(pD - x, pS + x, N);
    } else {
        typedef typename tagWordOf<N>::type Word;
        const Word *pS = reinterpret_cast<const Word *>(pSrc);
        Word *pD = reinterpret_cast<Word *>(pDst);
        for (int x = 0; x < nPixels; ++x)
            pD[nPixels - 1 - x] = pS[x];
    }
}

typedef void (*PFN_ReverseRow)(const BYTE *, BYTE *, int);

inline PFN_ReverseRow ChooseReverseRow(UINT unBytesPerPixel)
{
    switch (unBytesPerPixel) {
    case 1: return ReverseRow<1>;
    case 2: return ReverseRow<2>;
    case 3: return ReverseRow<3>;
    case 4: return ReverseRow<4>;
    case 6: return ReverseRow<6>;
    case 8: return ReverseRow<8>;
    default: return nullptr;
    }
}

// ---- quarter turns by whole pixels ------------------------------------------
// Each destination row gathers one source column. Rows are reached through
// their tables, so CHUNK buffers whose rows lie apart are served too.
//
// A turn by 90 degrees: destination row r holds source column W - 1 - r'
// where r' = r - (DH - W); destination column c holds source row c.
// Expressed per destination row: copy source pixels (xSrc, y) for y in
// [0, nCount) to destination columns nDstX0 + y (bForward) or nDstX0 - y.

template <int N>
QEL_KERNEL_CLONES void GatherColumn(BYTE *const *ppSrcRows, int xSrc, int ySrc0, int nCount, BYTE *pDstRow,
                                    int nDstX0, bool bForward)
{
    tagPixel<N> *pD = reinterpret_cast<tagPixel<N> *>(pDstRow) + nDstX0;
    const std::ptrdiff_t nOff = (std::ptrdiff_t)xSrc * N;
    if (bForward) {
        for (int k = 0; k < nCount; ++k)
            std::memcpy(pD + k, ppSrcRows[ySrc0 + k] + nOff, N);
    } else {
        for (int k = 0; k < nCount; ++k)
            std::memcpy(pD - k, ppSrcRows[ySrc0 + k] + nOff, N);
    }
}

typedef void (*PFN_GatherColumn)(BYTE *const *, int, int, int, BYTE *, int, bool);

inline PFN_GatherColumn ChooseGatherColumn(UINT unBytesPerPixel)
{
    switch (unBytesPerPixel) {
    case 1: return GatherColumn<1>;
    case 2: return GatherColumn<2>;
    case 3: return GatherColumn<3>;
    case 4: return GatherColumn<4>;
    case 6: return GatherColumn<6>;
    case 8: return GatherColumn<8>;
    default: return nullptr;
    }
}

// ---- quarter turns of 4-byte pixels in 8 x 8 blocks -------------------------
// apSrc[i]: the 8 pixels of source row i that the block reads, left to right.
// apDst[k]: the 8 pixels of destination row k that the block writes.
// A turn by 90 degrees (counter-clockwise as seen) puts source row i,
// pixel e at destination row 7 - e, pixel i; a turn by 270 puts it at
// destination row e, pixel 7 - i.

inline void TurnBlock8x8Scalar(const BYTE *const apSrc[8], BYTE *const apDst[8], bool b90)
{
    for (int i = 0; i < 8; ++i)
        for (int e = 0; e < 8; ++e) {
            BYTE *pD = b90 ? apDst[7 - e] + 4 * i : apDst[e] + 4 * (7 - i);
            std::memcpy(pD, apSrc[i] + 4 * e, 4);
        }
}

__attribute__((target("avx2"))) inline void TurnBlock8x8Avx2(const BYTE *const apSrc[8], BYTE *const apDst[8],
                                                             bool b90)
{
    __m256i m[8], t[8];
    for (int i = 0; i < 8; ++i)
        m[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(apSrc[i]));
    // 8 x 8 transpose of 32-bit elements: t[e] holds element e of every row.
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(m[i], m[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(m[i], m[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        m[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
        m[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
        m[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
        m[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        t[i] = _mm256_permute2x128_si256(m[i], m[i + 4], 0x20);
        t[i + 4] = _mm256_permute2x128_si256(m[i], m[i + 4], 0x31);
    }
    if (b90) {
        for (int e = 0; e < 8; ++e)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(apDst[7 - e]), t[e]);
    } else {
        const __m256i vReverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
        for (int e = 0; e < 8; ++e)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(apDst[e]), _mm256_permutevar8x32_epi32(t[e], vReverse));
    }
}

typedef void (*PFN_TurnBlock)(const BYTE *const[8], BYTE *const[8], bool);

inline PFN_TurnBlock ChooseTurnBlock()
{
    return __builtin_cpu_supports("avx2") ? TurnBlock8x8Avx2 : TurnBlock8x8Scalar;
}

} // namespace mirror
} // namespace qel
