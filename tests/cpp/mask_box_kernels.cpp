// The block-skipping row scans and the per-thread box reduction against a
// pixel-by-pixel search, on rows of every length around the block size and
// hits at every position, including the first and last pixel.
#include <cstdio>
#include <random>
#include <vector>

#include "mask/BoundBoxKernels.h"

namespace {

using qel::box::Mask8Above;

struct Rows {
    const std::vector<std::vector<BYTE>> *pRows;
    const BYTE *operator()(std::size_t y) const { return (*pRows)[y].data(); }
};

} // namespace

int main()
{
    std::mt19937 rng(5);
    // Single rows: FindFirst / FindLast over sub-ranges.
    for (std::size_t n : {0, 1, 2, 63, 64, 65, 127, 128, 129, 300}) {
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<BYTE> row(n + 1, 0); // one guard byte past the end, never passing
            const int nHits = static_cast<int>(rng() % 4);
            for (int k = 0; k < nHits && n > 0; ++k)
                row[rng() % n] = static_cast<BYTE>(1 + rng() % 255);
            const std::size_t b = n == 0 ? 0 : rng() % (n + 1), e = b + (n == b ? 0 : rng() % (n - b + 1));
            std::size_t first = e, last = e;
            for (std::size_t x = b; x < e; ++x)
                if (row[x] != 0) {
                    if (first == e)
                        first = x;
                    last = x;
                }
            const std::size_t gotFirst = qel::box::FindFirst<Mask8Above>(row.data(), b, e);
            const std::size_t gotLast = qel::box::FindLast<Mask8Above>(row.data(), b, e);
            if (gotFirst != first || gotLast != last) {
                std::printf("n %zu [%zu, %zu): first %zu/%zu last %zu/%zu\n", n, b, e, gotFirst, first, gotLast, last);
                return 1;
            }
        }
    }
    // Whole images, small (one thread) and large (the team), against a full scan.
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t w = 1 + rng() % (trial < 30 ? 150 : 700), h = 1 + rng() % (trial < 30 ? 20 : 1500);
        std::vector<std::vector<BYTE>> rows(h, std::vector<BYTE>(w, 0));
        const int nHits = static_cast<int>(rng() % 12);
        for (int k = 0; k < nHits; ++k)
            rows[rng() % h][rng() % w] = 1;
        std::size_t minX = SIZE_MAX, maxX = 0, minY = SIZE_MAX, maxY = 0;
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x)
                if (rows[y][x]) {
                    minX = std::min(minX, x), maxX = std::max(maxX, x);
                    minY = std::min(minY, y), maxY = std::max(maxY, y);
                }
        const qel::box::Extent box = qel::box::ScanBox<Mask8Above>(Rows{&rows}, w, 0, h, w);
        std::size_t top = 0, bottom = 0;
        qel::box::ScanRowRange<Mask8Above>(Rows{&rows}, w, h, w, &top, &bottom);
        const bool bEmpty = minX == SIZE_MAX;
        const bool bBoxOk = bEmpty ? box.nMinX > box.nMaxX
                                   : box.nMinX == minX && box.nMaxX == maxX && box.nMinY == minY && box.nMaxY == maxY;
        const bool bRangeOk = bEmpty ? top > bottom : top == minY && bottom == maxY;
        if (!bBoxOk || !bRangeOk) {
            std::printf("%zu x %zu with %d hits: box %zu..%zu, %zu..%zu rows %zu..%zu\n", w, h, nHits, box.nMinX,
                        box.nMaxX, box.nMinY, box.nMaxY, top, bottom);
            return 1;
        }
    }
    return 0;
}
