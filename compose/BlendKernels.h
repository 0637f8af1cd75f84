// Row kernels of the two-image blend that keeps the first image's alpha.
// Each colour channel becomes a weighted sum of the two inputs, looked up in
// two 256-entry tables built once per call: S for the second image (weight
// r), F for the first (weight 1 - r). The integer tables are linear
// (S[i] = i * ws), so whole pixels are mixed four or more at a time with the
// weights themselves, blue and red sharing one 32-bit multiplication and
// green another; a row's last zero to three pixels go through the tables.
#pragma once

#include <algorithm>
#include <cstdint>

#include "PixelTypes.h"
#include "QelTypes.h"
#include "RowLoop.h"

namespace qel {
namespace blend {

struct tagIntTables {
    std::int32_t aS[256];
    std::int32_t aF[256];
    std::uint32_t unWs, unWf;
    // Paired channels do not carry into each other while ws + wf <= 256,
    // which the weights' rounding guarantees; the tables cover any other case.
    bool bPaired;
};

struct tagFloatTables {
    float aS[256];
    float aF[256];
};

// out = min((S[second] + F[first]) >> 8, 255) per colour channel.
inline BYTE IntChannel(const tagIntTables &t, BYTE f, BYTE s)
{
    return static_cast<BYTE>(std::min((t.aS[s] + t.aF[f]) >> 8, 255));
}

// out = trunc(min(S[second] + F[first], 255)) per colour channel.
inline BYTE FloatChannel(const tagFloatTables &t, BYTE f, BYTE s)
{
    return static_cast<BYTE>(static_cast<int>(std::min(t.aS[s] + t.aF[f], 255.0f)));
}

// Pixels nFrom to n of interleaved BGRA rows, one channel at a time; the
// alpha is the first image's.
template <class Tables, BYTE (*pfnChannel)(const Tables &, BYTE, BYTE)>
inline void PixelRun(const BYTE *__restrict pFirst, const BYTE *__restrict pSecond, BYTE *__restrict pOut, int nFrom,
                     int n, const Tables &t)
{
    for (int i = nFrom; i < n; ++i) {
        const BYTE *f = pFirst + 4 * i, *s = pSecond + 4 * i;
        BYTE *o = pOut + 4 * i;
        o[0] = pfnChannel(t, f[0], s[0]);
        o[1] = pfnChannel(t, f[1], s[1]);
        o[2] = pfnChannel(t, f[2], s[2]);
        o[3] = f[3];
    }
}

// Interleaved BGRA rows of n pixels.
QEL_KERNEL_CLONES inline void IntRow(const BYTE *__restrict pFirst, const BYTE *__restrict pSecond,
                                     BYTE *__restrict pOut, int n, const tagIntTables &t)
{
    int nBody = 0;
    if (t.bPaired) {
        nBody = n & ~3;
        const std::uint32_t ws = t.unWs, wf = t.unWf;
        const PixelU32 *pF = reinterpret_cast<const PixelU32 *>(pFirst);
        const PixelU32 *pS = reinterpret_cast<const PixelU32 *>(pSecond);
        PixelU32 *pO = reinterpret_cast<PixelU32 *>(pOut);
        for (int i = 0; i < nBody; ++i) {
            const std::uint32_t f = pF[i], s = pS[i];
            const std::uint32_t rb = (((f & 0x00FF00FFu) * wf + (s & 0x00FF00FFu) * ws) >> 8) & 0x00FF00FFu;
            const std::uint32_t g = (((f & 0x0000FF00u) * wf + (s & 0x0000FF00u) * ws) >> 8) & 0x0000FF00u;
            pO[i] = rb | g | (f & 0xFF000000u);
        }
    }
    PixelRun<tagIntTables, IntChannel>(pFirst, pSecond, pOut, nBody, n, t);
}

QEL_KERNEL_CLONES inline void FloatRow(const BYTE *__restrict pFirst, const BYTE *__restrict pSecond,
                                       BYTE *__restrict pOut, int n, const tagFloatTables &t)
{
    PixelRun<tagFloatTables, FloatChannel>(pFirst, pSecond, pOut, 0, n, t);
}

// One channel of n pixels, each image at its own byte step (4 within
// interleaved rows, 1 within a plane), for buffers that are not all
// interleaved. The alpha channel is copied from the first.
template <class Tables, BYTE (*pfnChannel)(const Tables &, BYTE, BYTE)>
inline void ChannelRun(const BYTE *pFirst, int nFirstStep, const BYTE *pSecond, int nSecondStep, BYTE *pOut,
                       int nOutStep, int n, const Tables &t)
{
    for (int i = 0; i < n; ++i)
        pOut[i * nOutStep] = pfnChannel(t, pFirst[i * nFirstStep], pSecond[i * nSecondStep]);
}

inline void CopyChannelRun(const BYTE *pFirst, int nFirstStep, BYTE *pOut, int nOutStep, int n)
{
    for (int i = 0; i < n; ++i)
        pOut[i * nOutStep] = pFirst[i * nFirstStep];
}

} // namespace blend
} // namespace qel
