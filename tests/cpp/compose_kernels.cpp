// Arithmetic facts of the composition and blend kernels, checked against
// plain division and double-precision products.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "compose/ComposeKernels.h"

using qel::compose::AlphaScaleFor;
using qel::compose::Div65535;
using qel::compose::tagAlphaScale;

// Every opacity the methods pass is a float; the scale must give the exact
// floor(v * a) for every channel value.
static bool CheckScale(float fAlpha, int nBits)
{
    const tagAlphaScale sc = AlphaScaleFor(fAlpha, nBits);
    const std::uint64_t unTop = (1u << nBits) - 1;
    for (std::uint64_t v = 0; v <= unTop; ++v) {
        const std::uint64_t got = (v * sc.unMul) >> sc.nShift;
        const std::uint64_t want = static_cast<std::uint64_t>(std::floor(static_cast<double>(v) * fAlpha));
        if (got != want || (nBits == 8 && (sc.nShift > 31 || v * sc.unMul > 0xFFFFFFFFu))) {
            std::printf("a=%.9g bits=%d v=%llu: got %llu want %llu\n", fAlpha, nBits, (unsigned long long)v,
                        (unsigned long long)got, (unsigned long long)want);
            return false;
        }
    }
    return true;
}

int main()
{
    long long nBad = 0;
#pragma omp parallel for reduction(+ : nBad)
    for (long long hi = 0; hi <= 65535; ++hi)
        for (std::uint64_t lo = 0; lo < 65536; ++lo) {
            const std::uint64_t x = (static_cast<std::uint64_t>(hi) << 16) | lo;
            if (x <= 65535ull * 65535ull && Div65535(x) != x / 65535)
                ++nBad;
        }
    if (nBad != 0) {
        std::printf("Div65535 wrong for %lld values\n", nBad);
        return 1;
    }

    std::vector<float> edges = {0.0f, 1.0f, 0.5f, 0.3f, 0.7f, std::nextafter(1.0f, 0.0f)};
    for (int e = 1; e <= 20; ++e) {
        const float p = std::ldexp(1.0f, -e);
        edges.insert(edges.end(), {p, std::nextafter(p, 0.0f), std::nextafter(p, 1.0f)});
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> uni(0.0f, 1.0f);
    for (float a : edges)
        if (!CheckScale(a, 8) || !CheckScale(a, 16))
            return 1;
    for (int i = 0; i < 20000; ++i)
        if (!CheckScale(uni(rng), 8))
            return 1;
    for (int i = 0; i < 300; ++i)
        if (!CheckScale(uni(rng), 16))
            return 1;
    return 0;
}
