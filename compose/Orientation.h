// Where a displayed pixel of an oriented image is stored. A destination is
// stored in one of eight orientations; callers give positions in displayed
// coordinates, and every composition and decoration maps them through the
// table below. The mapping is resolved once per call into a linear map, and
// once per row into a clipped run with a start and a step, so that the
// pixel loops never test the orientation or the image bounds.
#pragma once

#include <algorithm>
#include <cstddef>

#include "QelTypes.h"

namespace qel {
namespace compose {

// Rotation of each stored orientation in degrees, indexed by orientation - 1.
const int kOrientationAngle[8] = {0, 0, 180, 180, 90, 270, 270, 90};

// x' = nXX * dx + nXY * dy + llX0, y' = nYX * dx + nYY * dy + llY0. Exactly
// one of nXX and nYX is non-zero: a displayed row runs along a stored row
// (nYX == 0) or down a stored column (nXX == 0).
struct tagOrientationMap {
    int nXX, nXY;
    long long llX0;
    int nYX, nYY;
    long long llY0;
};

// The mirrored axes are W - v and H - v, not W - 1 - v: a pixel that lands
// on displayed column 0 of a horizontally mirrored image maps to stored
// column W and is clipped. Values outside 1..8 leave positions unchanged.
inline tagOrientationMap ResolveOrientation(int nOrientation, int nWidth, int nHeight)
{
    tagOrientationMap map = {1, 0, 0, 0, 1, 0};
    if (nOrientation < 1 || nOrientation > 8)
        return map;
    // cos and sin of the table's angle; the angles are right angles, so they
    // are exact integers (the products truncated toward zero are the same).
    int c = 1, s = 0;
    switch (kOrientationAngle[nOrientation - 1]) {
    case 90:
        c = 0, s = 1;
        break;
    case 180:
        c = -1, s = 0;
        break;
    case 270:
        c = 0, s = -1;
        break;
    default:
        break;
    }
    // Rotation: e = dx c - dy s, f = dx s + dy c.
    const tagOrientationMap rot = {c, -s, 0, s, c, 0};
    const long long W = nWidth, H = nHeight;
    switch (nOrientation) {
    case 1:
        return rot;
    case 2:
        return {-1, 0, W, 0, 1, 0};
    case 3: // x' = e + W, y' = f + H
        return {rot.nXX, rot.nXY, W, rot.nYX, rot.nYY, H};
    case 4: // x' = -e, y' = f + H
        return {-rot.nXX, -rot.nXY, 0, rot.nYX, rot.nYY, H};
    case 5: // x' = W - (e + W), y' = f
        return {-rot.nXX, -rot.nXY, 0, rot.nYX, rot.nYY, 0};
    case 6: // x' = e, y' = f + H
        return {rot.nXX, rot.nXY, 0, rot.nYX, rot.nYY, H};
    case 7: // x' = W - e, y' = f + H
        return {-rot.nXX, -rot.nXY, W, rot.nYX, rot.nYY, H};
    default: // 8: x' = e + W, y' = f
        return {rot.nXX, rot.nXY, W, rot.nYX, rot.nYY, 0};
    }
}

// Whether displayed rows run down stored columns (orientations 5 to 8).
inline bool Transposed(const tagOrientationMap &map)
{
    return map.nYX != 0;
}

// The part of one displayed row that lands inside the stored image, for an
// orientation that keeps rows along stored rows (1 to 4, and the values
// outside 1..8): columns j in [nBegin, nEnd) of the row, the stored row
// llY, the stored x' of column nBegin, and the step of x' per column.
struct tagRowRun {
    int nBegin, nEnd;
    long long llX, llY;
    int nStep;
};

// Columns j of [0, nCount) with 0 <= llA + nK * j < llLimit, intersected
// into [*pllLo, *pllHi).
inline void ClipAxis(long long llA, int nK, long long llLimit, long long *pllLo, long long *pllHi)
{
    if (nK == 0) {
        if (llA < 0 || llA >= llLimit)
            *pllHi = *pllLo;
    } else if (nK > 0) {
        *pllLo = std::max(*pllLo, -llA);
        *pllHi = std::min(*pllHi, llLimit - llA);
    } else {
        *pllLo = std::max(*pllLo, llA - llLimit + 1);
        *pllHi = std::min(*pllHi, llA + 1);
    }
}

// Displayed row dy, columns dx = llX0 + j for j in [0, nCount). Positions
// are taken in 64 bits, so offsets far outside the image never wrap back in.
inline tagRowRun ClipRow(const tagOrientationMap &map, long long llX0, long long llDy, int nCount, int nWidth,
                         int nHeight)
{
    const long long llX = map.nXX * llX0 + map.nXY * llDy + map.llX0;
    const long long llY = map.nYX * llX0 + map.nYY * llDy + map.llY0;
    long long llLo = 0, llHi = nCount;
    ClipAxis(llX, map.nXX, nWidth, &llLo, &llHi);
    ClipAxis(llY, map.nYX, nHeight, &llLo, &llHi);
    tagRowRun run;
    run.nStep = map.nXX;
    if (llLo >= llHi) {
        run.nBegin = run.nEnd = 0;
        run.llX = run.llY = 0;
        return run;
    }
    run.nBegin = static_cast<int>(llLo);
    run.nEnd = static_cast<int>(llHi);
    run.llX = llX + map.nXX * llLo;
    run.llY = llY + map.nYX * llLo;
    return run;
}

// A transposed orientation (5 to 8) sends displayed rows down stored
// columns: x' depends on dy only and y' on dx only. So the displayed rows
// that land inside the image are one range, the displayed columns another,
// and a block of nRows x nCols displayed pixels clips to a sub-block.
struct tagBlockRun {
    int nRowBegin, nRowEnd; // displayed rows i in [nRowBegin, nRowEnd)
    int nColBegin, nColEnd; // displayed columns j in [nColBegin, nColEnd)
    long long llX;          // stored x' of row nRowBegin; it moves by map.nXY per row
    long long llY;          // stored y' of column nColBegin; it moves by map.nYX per column
    bool Empty() const { return nRowBegin >= nRowEnd || nColBegin >= nColEnd; }
};

// Displayed pixel (llX0 + j, llY0 + i) for j in [0, nCols), i in [0, nRows).
inline tagBlockRun ClipTransposed(const tagOrientationMap &map, long long llX0, long long llY0, int nCols,
                                  int nRows, int nWidth, int nHeight)
{
    const long long llX = map.nXY * llY0 + map.llX0;
    const long long llY = map.nYX * llX0 + map.llY0;
    long long llRowLo = 0, llRowHi = nRows, llColLo = 0, llColHi = nCols;
    ClipAxis(llX, map.nXY, nWidth, &llRowLo, &llRowHi);
    ClipAxis(llY, map.nYX, nHeight, &llColLo, &llColHi);
    tagBlockRun run = {0, 0, 0, 0, 0, 0};
    if (llRowLo >= llRowHi || llColLo >= llColHi)
        return run;
    run.nRowBegin = static_cast<int>(llRowLo);
    run.nRowEnd = static_cast<int>(llRowHi);
    run.nColBegin = static_cast<int>(llColLo);
    run.nColEnd = static_cast<int>(llColHi);
    run.llX = llX + map.nXY * llRowLo;
    run.llY = llY + map.nYX * llColLo;
    return run;
}

} // namespace compose
} // namespace qel
