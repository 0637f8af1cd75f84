// Row kernels that send every byte of a row through a 256-entry table, the
// one-channel look-up shared by mask remapping and depth masks. The caller
// picks a kernel once per call with ChooseByteLutRow.
//
// Where the processor has byte permutes over 64-byte registers (AVX-512
// VBMI), the whole table lives in four registers and 64 pixels cost two
// two-register permutes and a blend on bit 7; everywhere else a plain
// table walk runs, eight bytes per step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QelTypes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qel {

// Source and destination may be the same row (in-place remapping).
typedef void (*PFN_ByteLutRow)(const BYTE *pSrc, BYTE *pDst, std::size_t nCount, const BYTE *pTable);

inline void ByteLutRowScalar(const BYTE *pSrc, BYTE *pDst, std::size_t nCount, const BYTE *pTable)
{
    std::size_t i = 0;
    for (; i + 8 <= nCount; i += 8) {
        // Eight loads before eight stores keep in-place rows right and give
        // the loads room to overlap.
        std::uint64_t q;
        std::memcpy(&q, pSrc + i, 8);
        std::uint64_t r = 0;
        for (int k = 0; k < 8; ++k)
            r |= static_cast<std::uint64_t>(pTable[(q >> (8 * k)) & 0xFF]) << (8 * k);
        std::memcpy(pDst + i, &r, 8);
    }
    for (; i < nCount; ++i)
        pDst[i] = pTable[pSrc[i]];
}

#if defined(__x86_64__)
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline void
ByteLutRowVbmi(const BYTE *pSrc, BYTE *pDst, std::size_t nCount, const BYTE *pTable)
{
    const __m512i t0 = _mm512_loadu_si512(pTable);
    const __m512i t1 = _mm512_loadu_si512(pTable + 64);
    const __m512i t2 = _mm512_loadu_si512(pTable + 128);
    const __m512i t3 = _mm512_loadu_si512(pTable + 192);
    std::size_t i = 0;
    for (; i + 64 <= nCount; i += 64) {
        const __m512i x = _mm512_loadu_si512(pSrc + i);
        // Bits 0-6 index 128 entries of a register pair; bit 7 picks the pair.
        const __m512i lo = _mm512_permutex2var_epi8(t0, x, t1);
        const __m512i hi = _mm512_permutex2var_epi8(t2, x, t3);
        _mm512_storeu_si512(pDst + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi));
    }
    for (; i < nCount; ++i)
        pDst[i] = pTable[pSrc[i]];
}
#endif

// The permute kernel when bVector allows it and the processor has it; the
// table walk otherwise (the caller lowers bVector to run the scalar path).
inline PFN_ByteLutRow ChooseByteLutRow(bool bVector)
{
#if defined(__x86_64__)
    if (bVector && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi"))
        return ByteLutRowVbmi;
#else
    (void)bVector;
#endif
    return ByteLutRowScalar;
}

} // namespace qel
