// Cutting an image with a mask placed at an offset over it: the alpha
// channel (UpdateAlphaChannelByMask) or the colour channels
// (UpdateColorChannelByMask) are scaled by the mask, in place. Both share
// the placement rule and the failure messages; rows of the overlap run in
// bands on the OpenMP team.
#include <algorithm>
#include <climits>
#include <cstddef>

#include "BufferGuards.h"
#include "MaskChannelKernels.h"
#include "PyQelBufferUtility.h"
#include "TraceLog.h"

namespace {

const char kAlphaName[] = "PyQelBufferUtility::UpdateAlphaChannelByMask";
const char kColorName[] = "PyQelBufferUtility::UpdateColorChannelByMask";

// Where the overlap starts in the destination and in the mask along one
// axis, and how long it is. A negative offset moves the destination start;
// a positive one moves the mask start, clamped to the mask's last pixel.
// Unsigned throughout, and an offset at or past either edge gives no
// overlap (never a wrapped length).
struct AxisSpan {
    UINT unDst;
    UINT unMask;
    UINT unCount;
};

AxisSpan PlaceAxis(int nStart, UINT unDstSize, UINT unMaskSize)
{
    AxisSpan span{0, 0, 0};
    if (nStart < 0)
        span.unDst = 0u - static_cast<UINT>(nStart);
    else if (unMaskSize > 0)
        span.unMask = std::min(static_cast<UINT>(nStart), unMaskSize - 1);
    if (span.unDst < unDstSize && span.unMask < unMaskSize)
        span.unCount = std::min(unDstSize - span.unDst, unMaskSize - span.unMask);
    return span;
}

// The size a lock reported, never more than the rows and columns the
// buffer really has.
UINT LockedWidth(const CBufferLock &lock, CQELImageBuffer *pBuffer)
{
    return std::min(lock.width(), pBuffer->getWidth());
}

UINT LockedHeight(const CBufferLock &lock, CQELImageBuffer *pBuffer)
{
    return std::min(lock.height(), pBuffer->getHeight());
}

const char *TableText(BYTE *const *ppTable)
{
    return ppTable == nullptr ? "null" : "valid";
}

HRESULT UpdateChannelsByMask(const char *pszName, bool bColor, CQELImageBuffer *pDstBuffer,
                             CQELImageBuffer *pMaskBuffer, int nStartX, int nStartY, bool bInverse)
{
    QEL_TRACE_ENTRY(pszName);
    if (pDstBuffer == nullptr || pMaskBuffer == nullptr)
        return E_POINTER;
    if (pDstBuffer == pMaskBuffer) {
        // Rows would read mask pixels that other rows are rewriting.
        QEL_TRACE("[UpdateImageBufferWithMask]Mask is the destination buffer");
        return E_POINTER;
    }

    const UINT unDstBpp = pDstBuffer->getBytesPerPixel();
    const UINT unMaskBpp = pMaskBuffer->getBytesPerPixel();

    CBufferLock maskLock(pMaskBuffer, 0, 0);
    CBufferLock dstLock(pDstBuffer, 0, 0);
    if (maskLock.data() == nullptr || dstLock.data() == nullptr) {
        QEL_TRACE("[UpdateImageBufferWithMask]No Data to DeleteImageBuffer");
        return E_POINTER;
    }
    BYTE *const *ppMaskRows = pMaskBuffer->m_ppStrideTable;
    BYTE *const *ppDstRows = pDstBuffer->m_ppStrideTable;
    if (ppMaskRows == nullptr || ppDstRows == nullptr) {
        QEL_TRACE("[UpdateImageBufferWithMask]No Stride table %s, %s", TableText(ppMaskRows), TableText(ppDstRows));
        return E_POINTER;
    }

    const AxisSpan cols = PlaceAxis(nStartX, LockedWidth(dstLock, pDstBuffer), LockedWidth(maskLock, pMaskBuffer));
    const AxisSpan rows =
        PlaceAxis(nStartY, LockedHeight(dstLock, pDstBuffer), LockedHeight(maskLock, pMaskBuffer));
    const qel::maskch::PFN_MaskRow pfnRow =
        qel::maskch::ChooseMaskRowKernel(bColor, unDstBpp, bInverse, unMaskBpp);
    if (pfnRow != nullptr && cols.unCount > 0 && rows.unCount > 0) {
        const int nPixels = static_cast<int>(std::min<UINT>(cols.unCount, INT_MAX));
        const int nRows = static_cast<int>(std::min<UINT>(rows.unCount, INT_MAX));
        const std::size_t cbDstOffset = static_cast<std::size_t>(cols.unDst) * unDstBpp;
        const std::size_t cbMaskOffset = static_cast<std::size_t>(cols.unMask) * unMaskBpp;
        qel::ForEachRowBandParallel(nRows, static_cast<std::size_t>(nPixels) * unDstBpp, [&](int j) {
            pfnRow(ppDstRows[rows.unDst + j] + cbDstOffset, ppMaskRows[rows.unMask + j] + cbMaskOffset, nPixels,
                   unMaskBpp);
        });
    }

    maskLock.unlock();
    dstLock.unlock();
    QEL_TRACE_END(pszName);
    return S_OK;
}

} // namespace

HRESULT PyQelBufferUtility::UpdateAlphaChannelByMask(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pMaskBuffer,
                                                     int nStartX, int nStartY, bool bInverse)
{
    return UpdateChannelsByMask(kAlphaName, false, pDstBuffer, pMaskBuffer, nStartX, nStartY, bInverse);
}

HRESULT PyQelBufferUtility::UpdateColorChannelByMask(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pMaskBuffer,
                                                     int nStartX, int nStartY, bool bInverse)
{
    return UpdateChannelsByMask(kColorName, true, pDstBuffer, pMaskBuffer, nStartX, nStartY, bInverse);
}
