// Every mask row kernel, for every mask step (the fixed ones and the
// run-time one), against a plain per-pixel statement of the rules with a
// real division, over random rows with the edge values mixed in.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "mask/MaskChannelKernels.h"

namespace {

// Rewrites one pixel's B, G, R, A under mask value m.
void Ref(bool bColor, bool bInverse, std::uint64_t *pChannels, std::uint32_t m)
{
    const std::uint32_t w = bInverse ? 255 - m : m;
    const std::uint64_t a = pChannels[3];
    if (bColor) {
        for (int c = 0; c < 3; ++c)
            pChannels[c] = pChannels[c] * w / 255;
        return;
    }
    if ((!bInverse && a == 0) || (bInverse && m == 0))
        return;
    if (w == 0) {
        for (int c = 0; c < 4; ++c)
            pChannels[c] = 0;
        return;
    }
    pChannels[3] = a * w / 255;
}

} // namespace

int main()
{
    std::mt19937 rng(11);
    const int nPixels = 203;
    for (int nDstBpp : {4, 8})
        for (UINT unStep : {1u, 2u, 3u, 4u, 6u, 8u, 5u})
            for (bool bColor : {false, true})
                for (bool bInverse : {false, true}) {
                    const qel::maskch::PFN_MaskRow pfn =
                        qel::maskch::ChooseMaskRowKernel(bColor, nDstBpp, bInverse, unStep);
                    if (pfn == nullptr) {
                        std::printf("no kernel for bpp %d step %u\n", nDstBpp, unStep);
                        return 1;
                    }
                    const std::uint32_t unTop = nDstBpp == 8 ? 65535 : 255;
                    std::vector<BYTE> dst(nPixels * nDstBpp + 3), mask(nPixels * unStep + 5);
                    auto pick = [&](std::uint32_t top) {
                        const std::uint32_t r = rng() % 8;
                        return r == 0 ? 0u : r == 1 ? top : r == 2 ? 1u : r == 3 ? top - 1 : rng() % (top + 1);
                    };
                    std::vector<std::uint64_t> expect(nPixels * 4);
                    for (int x = 0; x < nPixels; ++x) {
                        for (int c = 0; c < 4; ++c) {
                            const std::uint32_t v = pick(unTop);
                            expect[4 * x + c] = v;
                            if (nDstBpp == 4)
                                dst[1 + 4 * x + c] = static_cast<BYTE>(v);
                            else
                                std::memcpy(&dst[1 + 8 * x + 2 * c], &v, 2);
                        }
                        for (UINT k = 0; k < unStep; ++k)
                            mask[1 + x * unStep + k] = static_cast<BYTE>(pick(255));
                        Ref(bColor, bInverse, &expect[4 * x], mask[1 + x * unStep]);
                    }
                    // Odd offsets: rows of CHUNK buffers need not be aligned.
                    pfn(&dst[1], &mask[1], nPixels, unStep);
                    for (int x = 0; x < nPixels; ++x)
                        for (int c = 0; c < 4; ++c) {
                            std::uint32_t got = 0;
                            if (nDstBpp == 4)
                                got = dst[1 + 4 * x + c];
                            else
                                std::memcpy(&got, &dst[1 + 8 * x + 2 * c], 2);
                            if (got != expect[4 * x + c]) {
                                std::printf("bpp %d step %u colour %d inverse %d pixel %d channel %d: %u, expected "
                                            "%llu\n",
                                            nDstBpp, unStep, bColor, bInverse, x, c, got,
                                            (unsigned long long)expect[4 * x + c]);
                                return 1;
                            }
                        }
                }
    if (qel::maskch::ChooseMaskRowKernel(false, 3, false, 1) != nullptr ||
        qel::maskch::ChooseMaskRowKernel(true, 6, true, 1) != nullptr) {
        std::printf("a kernel for a format without alpha\n");
        return 1;
    }
    return 0;
}
