// Rasterising a four-cornered boundary into a mask. A pixel (x, y), its
// integer coordinates taken as floats, is inside when for every edge k from
// corner k to corner k+1 (corner 4 is corner 0), tested in order,
//     c_k = (y[k+1] - y[k]) * (x - x[k]) - (x[k+1] - x[k]) * (y - y[k])
// in single precision is below 1 (its truncation is 0 or less). A NaN c_k
// counts as outside.
//
// Along a row, c_k is a monotone function of x (each float operation is
// monotone in its argument), so each edge keeps a prefix or a suffix of the
// row and the inside pixels form one span. The span's ends are found by
// evaluating the exact single-precision test near the real-number
// crossing, so the result is the per-pixel test's, at the cost of a few
// evaluations per edge and row. Corners so large or so odd that a product
// could overflow lose that monotonicity; rows are then tested pixel by
// pixel.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "QelTypes.h"

namespace qel {
namespace boundary {

// Keeps a single-precision product from being fused with the subtraction
// that follows it (a fused multiply-add rounds once, the test rounds twice).
inline float Rounded(float v)
{
#if defined(__x86_64__)
    __asm__("" : "+x"(v));
#endif
    return v;
}

struct CQuad {
    float afX[4], afY[4];   // corners
    float afDx[4], afDy[4]; // edge k: corner k+1 minus corner k, in single precision
    double adInvDy[4];      // 1 / afDy[k] (0 for an edge along x), for the crossing guesses

    void Set(const float afCornerX[4], const float afCornerY[4])
    {
        for (int k = 0; k < 4; ++k) {
            afX[k] = afCornerX[k];
            afY[k] = afCornerY[k];
        }
        for (int k = 0; k < 4; ++k) {
            afDx[k] = afX[(k + 1) & 3] - afX[k];
            afDy[k] = afY[(k + 1) & 3] - afY[k];
            adInvDy[k] = afDy[k] != 0.0f ? 1.0 / static_cast<double>(afDy[k]) : 0.0;
        }
    }

    // The second product of c_k, fixed for a row.
    float RowTerm(int k, float fY) const { return Rounded(afDx[k] * Rounded(fY - afY[k])); }
    float EdgeValue(int k, float fX, float fRowTerm) const
    {
        return Rounded(afDy[k] * Rounded(fX - afX[k])) - fRowTerm;
    }

    bool Inside(float fX, float fY) const
    {
        for (int k = 0; k < 4; ++k) {
            if (!(EdgeValue(k, fX, RowTerm(k, fY)) < 1.0f))
                return false;
        }
        return true;
    }

    // Every product of the test stays finite, and so monotone, for pixels
    // of any int coordinate when the corners are finite and below 2^40.
    bool SpansExact() const
    {
        const float fLimit = 1099511627776.0f; // 2^40
        for (int k = 0; k < 4; ++k) {
            if (!(std::fabs(afX[k]) <= fLimit) || !(std::fabs(afY[k]) <= fLimit))
                return false;
        }
        return true;
    }
};

// Smallest x in [lo, hi) with fnTrue(x), or hi when there is none, for a
// test that is false and then true along x; searched outward from a guess
// and then by halves.
template <class Test>
inline long long FirstTrue(Test &&fnTrue, long long lo, long long hi, long long guess)
{
    if (hi <= lo)
        return lo;
    guess = std::min(std::max(guess, lo), hi - 1);
    long long a, b; // the answer lies in [a, b]; b == hi or fnTrue(b)
    if (fnTrue(guess)) {
        b = guess;
        a = lo;
        for (long long step = 1;; step *= 2) {
            const long long t = b - step;
            if (t < lo)
                break;
            if (!fnTrue(t)) {
                a = t + 1;
                break;
            }
            b = t;
        }
    } else {
        a = guess + 1;
        b = hi;
        for (long long step = 1;; step *= 2) {
            const long long t = guess + step;
            if (t >= hi)
                break;
            if (fnTrue(t)) {
                b = t;
                break;
            }
            a = t + 1;
        }
    }
    while (a < b) {
        const long long m = a + (b - a) / 2;
        if (fnTrue(m))
            b = m;
        else
            a = m + 1;
    }
    return a;
}

// Where x crosses c_k = 1 in real numbers, clamped to the row: a guess for
// FirstTrue.
inline long long CrossingGuess(const CQuad &q, int k, float fRowTerm, long long nWidth)
{
    const double dX = static_cast<double>(q.afX[k]) + (1.0 + fRowTerm) * q.adInvDy[k];
    if (!(dX > 0.0))
        return 0;
    if (dX >= static_cast<double>(nWidth))
        return nWidth;
    return static_cast<long long>(dX);
}

// The inside pixels of row y as [*pnBegin, *pnEnd) of [0, nWidth); only for
// a quad whose SpansExact() holds.
inline void InsideSpan(const CQuad &q, int y, int nWidth, int *pnBegin, int *pnEnd)
{
    const float fY = static_cast<float>(y);
    long long lBegin = 0, lEnd = nWidth;
    for (int k = 0; k < 4 && lBegin < lEnd; ++k) {
        const float fRowTerm = q.RowTerm(k, fY);
        const float fDy = q.afDy[k];
        if (fDy == 0.0f) {
            // The edge runs along x: c_k is the same for the whole row.
            if (!(q.EdgeValue(k, 0.0f, fRowTerm) < 1.0f))
                lEnd = lBegin;
            continue;
        }
        const long long lGuess = CrossingGuess(q, k, fRowTerm, nWidth);
        if (fDy > 0.0f) {
            // c_k grows with x: the inside part is a prefix.
            auto outside = [&](long long x) { return !(q.EdgeValue(k, static_cast<float>(x), fRowTerm) < 1.0f); };
            lEnd = std::min(lEnd, FirstTrue(outside, 0, nWidth, lGuess));
        } else {
            auto inside = [&](long long x) { return q.EdgeValue(k, static_cast<float>(x), fRowTerm) < 1.0f; };
            lBegin = std::max(lBegin, FirstTrue(inside, 0, nWidth, lGuess));
        }
    }
    if (lEnd < lBegin)
        lEnd = lBegin;
    *pnBegin = static_cast<int>(lBegin);
    *pnEnd = static_cast<int>(lEnd);
}

// ---- row writers --------------------------------------------------------------

// Writes a packed block of nRows rows of nWidth bytes from the rows' inside
// spans: the outside bytes from the end of one row's span to the start of
// the next are one run, so a row costs two fills (or one copy and one fill)
// rather than three, and rows with nothing inside merge into longer runs.
// fnInsideRow(y) gives the bytes an inside pixel takes, or nullptr for
// byInside.
template <class InsideRowFn>
inline void WriteSpanBlock(const CQuad &q, BYTE *pBlock, int nWidth, int nRows, BYTE byInside,
                           InsideRowFn &&fnInsideRow, BYTE byOutside)
{
    std::size_t cbOutsideFrom = 0;
    for (int y = 0; y < nRows; ++y) {
        int nBegin = 0, nEnd = 0;
        InsideSpan(q, y, nWidth, &nBegin, &nEnd);
        if (nBegin == nEnd)
            continue;
        const std::size_t cbRow = static_cast<std::size_t>(y) * static_cast<std::size_t>(nWidth);
        std::memset(pBlock + cbOutsideFrom, byOutside, cbRow + nBegin - cbOutsideFrom);
        const BYTE *pInsideRow = fnInsideRow(y);
        if (pInsideRow != nullptr)
            std::memcpy(pBlock + cbRow + nBegin, pInsideRow + nBegin, static_cast<std::size_t>(nEnd - nBegin));
        else
            std::memset(pBlock + cbRow + nBegin, byInside, static_cast<std::size_t>(nEnd - nBegin));
        cbOutsideFrom = cbRow + nEnd;
    }
    std::memset(pBlock + cbOutsideFrom, byOutside,
                static_cast<std::size_t>(nRows) * static_cast<std::size_t>(nWidth) - cbOutsideFrom);
}

// The pixel-by-pixel form, for quads whose spans cannot be trusted.
inline void WriteTestedRow(const CQuad &q, int y, BYTE *pRow, int nWidth, BYTE byInside, const BYTE *pInsideRow,
                           BYTE byOutside)
{
    const float fY = static_cast<float>(y);
    if (pInsideRow != nullptr) {
        for (int x = 0; x < nWidth; ++x)
            pRow[x] = q.Inside(static_cast<float>(x), fY) ? pInsideRow[x] : byOutside;
    } else {
        for (int x = 0; x < nWidth; ++x)
            pRow[x] = q.Inside(static_cast<float>(x), fY) ? byInside : byOutside;
    }
}

} // namespace boundary
} // namespace qel
