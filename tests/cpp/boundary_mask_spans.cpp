// The row spans of the boundary mask against the pixel-by-pixel inside test,
// on random quads of every kind (convex, concave, crossing, degenerate) and
// of every scale the span search accepts.
#include <cstdio>
#include <random>

#include "mask/BoundaryMaskKernels.h"

int main()
{
    std::mt19937_64 rng(20240605);
    const float afScale[] = {1.0f, 4.0f, 1e3f, 1e6f, 1e9f, 1e12f};
    long long nRows = 0;
    for (int nQuad = 0; nQuad < 60000; ++nQuad) {
        const int nWidth = 1 + static_cast<int>(rng() % 300);
        const int nHeight = 1 + static_cast<int>(rng() % 40);
        const float fScale = afScale[rng() % 6];
        std::uniform_real_distribution<float> coord(-0.3f * fScale * nWidth, 1.3f * fScale * nWidth);
        float afX[4], afY[4];
        for (int k = 0; k < 4; ++k) {
            // Whole and half pixels too, where the test's edges fall on pixels.
            const unsigned nKind = rng() % 4;
            afX[k] = coord(rng);
            afY[k] = coord(rng) * nHeight / nWidth;
            if (nKind == 0) {
                afX[k] = static_cast<float>(static_cast<int>(afX[k] / fScale));
                afY[k] = static_cast<float>(static_cast<int>(afY[k] / fScale));
            } else if (nKind == 1) {
                afX[k] = static_cast<float>(static_cast<int>(afX[k] / fScale)) + 0.5f;
                afY[k] = afY[k - (k > 0)] ;
            }
        }
        qel::boundary::CQuad quad;
        quad.Set(afX, afY);
        if (!quad.SpansExact())
            continue;
        for (int y = 0; y < nHeight; ++y, ++nRows) {
            int nBegin = 0, nEnd = 0;
            qel::boundary::InsideSpan(quad, y, nWidth, &nBegin, &nEnd);
            for (int x = 0; x < nWidth; ++x) {
                const bool bSpan = x >= nBegin && x < nEnd;
                if (bSpan != quad.Inside(static_cast<float>(x), static_cast<float>(y))) {
                    std::printf("quad %d (%g,%g) (%g,%g) (%g,%g) (%g,%g) row %d: span [%d, %d) but pixel %d is %s\n",
                                nQuad, afX[0], afY[0], afX[1], afY[1], afX[2], afY[2], afX[3], afY[3], y, nBegin,
                                nEnd, x, bSpan ? "outside" : "inside");
                    return 1;
                }
            }
        }
    }
    std::printf("%lld rows\n", nRows);
    return nRows > 100000 ? 0 : 1;
}
