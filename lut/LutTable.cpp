// The table objects and the limits the kernels rely on.

#include "LutTable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void tagLutBase::FreeData()
{
    if (pData != nullptr) {
        std::free(pData);
        pData = nullptr;
    }
}

void tagLutBase::ReplaceData(UINT count)
{
    nCount = count;
    FreeData();
    if (count > 0) {
        // One float of slack past the data lets a vector kernel fetch an
        // entry (three floats) as four, the last entry included.
        // aligned_alloc wants a multiple of the alignment.
        const std::size_t cb =
            ((static_cast<std::size_t>(count) + 1) * sizeof(float) + 15) & ~static_cast<std::size_t>(15);
        pData = static_cast<float *>(std::aligned_alloc(16, cb));
        if (pData == nullptr)
            nCount = 0;
        else
            std::memset(pData + count, 0, cb - static_cast<std::size_t>(count) * sizeof(float));
    }
}

const char *LutLimitsViolation(const tagLutBase &lut, char *szReason, std::size_t cchReason)
{
    const bool b3D = lut.nType == 1;
    const int nMaxSize = b3D ? kLut3DMaxSize : kLut1DMaxSize;
    if (lut.nSize < 1) {
        std::snprintf(szReason, cchReason, "size %d is below 1", lut.nSize);
        return szReason;
    }
    if (lut.nSize > nMaxSize) {
        std::snprintf(szReason, cchReason, "size %d is above %d", lut.nSize, nMaxSize);
        return szReason;
    }
    const unsigned long long n = static_cast<unsigned long long>(lut.nSize);
    const unsigned long long nNeeded = b3D ? 3 * n * n * n : 3 * n;
    if (lut.pData == nullptr || lut.nCount < nNeeded) {
        std::snprintf(szReason, cchReason, "%u values for size %d, %llu needed", lut.pData == nullptr ? 0 : lut.nCount,
                      lut.nSize, nNeeded);
        return szReason;
    }
    for (int k = 0; k < 3; ++k) {
        if (lut.fMax[k] == lut.fMin[k]) {
            std::snprintf(szReason, cchReason, "empty domain on axis %d", k);
            return szReason;
        }
    }
    return nullptr;
}
