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

// The part of one displayed row that lands inside the stored image: columns
// j in [nBegin, nEnd) of the row, the stored position of column nBegin, and
// the stored step per column (along x' for a row run, along y' otherwise).
struct tagRowRun {
    int nBegin, nEnd;
    long long llX, llY;
    int nStep;
    bool bAlongRow;
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
    run.bAlongRow = map.nYX == 0;
    run.nStep = run.bAlongRow ? map.nXX : map.nYX;
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

// Destination rows and whether they are evenly spaced: a BYTE buffer's are,
// so a run down a stored column is a plain stride; a CHUNK buffer's need
// not be, and a column run then looks every row up.
struct tagDstRows {
    BYTE *const *ppRows;
    int nWidth;
    int nHeight;
    int nBytesPerPixel;
    std::ptrdiff_t nPitch;
    bool bEven;
};

inline tagDstRows DescribeRows(BYTE *const *ppRows, int nWidth, int nHeight, int nBytesPerPixel)
{
    tagDstRows rows = {ppRows, nWidth, nHeight, nBytesPerPixel, 0, true};
    if (nHeight >= 2) {
        rows.nPitch = ppRows[1] - ppRows[0];
        for (int y = 2; y < nHeight && rows.bEven; ++y)
            rows.bEven = ppRows[y] - ppRows[y - 1] == rows.nPitch;
    }
    return rows;
}

} // namespace compose
} // namespace qel
