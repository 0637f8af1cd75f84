// Depth maps: one-byte buffers whose pixels are depths. A raw depth is read
// on the scale of the buffer's own range (its smallest to its largest
// value), at a point or as the lower median under a reference mask, and a
// focus mask is derived from how far each depth lies from a chosen one.
// Every method lets go of the interpreter lock while it scans pixels. The
// scans run on the calling thread; the rows of a new mask run on the OpenMP
// team in bands of rows.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "BufferGuards.h"
#include "ByteLutKernels.h"
#include "ByteRows.h"
#include "CPyAllowThreads.h"
#include "DepthKernels.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "SSELevel.h"
#include "TraceLog.h"

namespace {

const char *const kGetMaskFromDepthBuffer = "PyQelBufferUtility::GetMaskFromDepthBuffer";
const char *const kGetScaledDepth = "PyQelBufferUtility::m_fnGetScaledDepth";
const char *const kGetDepthByPos = "PyQelBufferUtility::GetDepthFromDepthBufferByPos";
const char *const kGetDepthByRefBuffer = "PyQelBufferUtility::GetDepthFromDepthBufferByRefBuffer";

// Smallest and largest depth of locked rows; starts from 255 and 0, so
// rows without pixels give min 255, max 0. A packed block is one span.
void ScanDepthRange(const qel::CByteRows &rows, int *pnMin, int *pnMax)
{
    BYTE byMin = 255, byMax = 0;
    if (rows.Packed()) {
        qel::depth::MinMaxSpan(rows.Row(0), rows.RowBytes() * static_cast<std::size_t>(rows.Rows()), &byMin, &byMax);
    } else {
        qel::ForEachRow(rows.Rows(),
                        [&](int y) { qel::depth::MinMaxSpan(rows.Row(y), rows.RowBytes(), &byMin, &byMax); });
    }
    *pnMin = byMin;
    *pnMax = byMax;
}

// The rows of a locked one-byte buffer over the size its lock reported,
// bounded by the buffer's own size. A lock that failed, or succeeded
// without pixels, leaves nothing to read: false, with the trace line that
// names the buffer (pszWhat).
bool AttachLockedRows(const char *pszName, const char *pszWhat, qel::CByteRows *pRows, CQELImageBuffer *pBuffer,
                      const CBufferLock &lock)
{
    if (lock.hasPixels() &&
        pRows->Attach(pBuffer, std::min(lock.width(), pBuffer->getWidth()),
                      std::min(lock.height(), pBuffer->getHeight()), 1))
        return true;
    QEL_TRACE("[%s] lock %s failed, %0x", pszName, pszWhat, QEL_ADDR32(pBuffer));
    return false;
}

// Depths are one byte per pixel: false, with the trace line, for any
// other width.
bool IsOneBytePerPixel(CQELImageBuffer *pDepthBuffer)
{
    const UINT unBPP = pDepthBuffer->getBytesPerPixel();
    if (unBPP != 1) {
        QEL_TRACE(" error: unsupported bytesPerPixel in pDepthBuffer, %d", static_cast<int>(unBPP));
        return false;
    }
    return true;
}

// The checks the readers of one depth buffer open with: false, with the
// trace line of the reason, for a null buffer or one of more than one byte
// per pixel.
bool CheckDepthBuffer(const char *pszName, CQELImageBuffer *pDepthBuffer)
{
    if (pDepthBuffer == nullptr) {
        QEL_TRACE_NULL(pszName, "pDepthBuffer");
        return false;
    }
    return IsOneBytePerPixel(pDepthBuffer);
}

} // namespace

int PyQelBufferUtility::m_fnGetScaledDepth(CQELImageBuffer *pDepthBuffer, int nRawDepth)
{
    QEL_TRACE_ENTRY(kGetScaledDepth);
    if (!CheckDepthBuffer(kGetScaledDepth, pDepthBuffer))
        return 0;

    CPyAllowThreads allowThreads;
    int nMin = 255, nMax = 0;
    {
        CBufferLock lock(pDepthBuffer, pDepthBuffer->getWidth(), pDepthBuffer->getHeight());
        qel::CByteRows rows;
        if (!AttachLockedRows(kGetScaledDepth, "pDepthBuffer", &rows, pDepthBuffer, lock))
            return 0;
        ScanDepthRange(rows, &nMin, &nMax);
    }
    const int nResult = qel::depth::ScaledDepth(nRawDepth, nMin, nMax);
    QEL_TRACE_END(kGetScaledDepth);
    return nResult;
}

int PyQelBufferUtility::GetDepthFromDepthBufferByPos(CQELImageBuffer *pDepthBuffer, int nX, int nY)
{
    QEL_TRACE_ENTRY(kGetDepthByPos);
    if (!CheckDepthBuffer(kGetDepthByPos, pDepthBuffer))
        return 0;

    CPyAllowThreads allowThreads;
    BYTE byRaw = 0;
    {
        CBufferLock lock(pDepthBuffer, pDepthBuffer->getWidth(), pDepthBuffer->getHeight());
        qel::CByteRows rows;
        if (!AttachLockedRows(kGetDepthByPos, "pDepthBuffer", &rows, pDepthBuffer, lock))
            return 0;
        // A point outside the image has no depth to read.
        if (nX < 0 || nY < 0 || static_cast<std::size_t>(nX) >= rows.RowBytes() || nY >= rows.Rows()) {
            QEL_TRACE(" error: position out of range: %d, %d", nX, nY);
            return 0;
        }
        byRaw = rows.Row(nY)[nX];
    }
    return m_fnGetScaledDepth(pDepthBuffer, byRaw);
}

int PyQelBufferUtility::GetDepthFromDepthBufferByRefBuffer(CQELImageBuffer *pDepthBuffer, CQELImageBuffer *pRefBuffer)
{
    QEL_TRACE_ENTRY(kGetDepthByRefBuffer);
    if (pDepthBuffer == nullptr) {
        QEL_TRACE_NULL(kGetDepthByRefBuffer, "pDepthBuffer");
        return 0;
    }
    if (pRefBuffer == nullptr) {
        QEL_TRACE_NULL(kGetDepthByRefBuffer, "pRefBuffer");
        return 0;
    }
    if (pDepthBuffer->getBytesPerPixel() != 1 || pRefBuffer->getBytesPerPixel() != 1) {
        QEL_TRACE(" error: unsupported bytesPerPixel");
        return 0;
    }
    if (pDepthBuffer->getWidth() != pRefBuffer->getWidth() || pDepthBuffer->getHeight() != pRefBuffer->getHeight()) {
        QEL_TRACE(" error: unsupported buffer size");
        return 0;
    }

    CPyAllowThreads allowThreads;
    std::uint32_t anCounts[256] = {};
    UINT unWidth = pDepthBuffer->getWidth();
    UINT unHeight = pDepthBuffer->getHeight();
    {
        CBufferLock depthLock(pDepthBuffer, unWidth, unHeight);
        CBufferLock refLock(pRefBuffer, unWidth, unHeight);
        qel::CByteRows depthRows, refRows;
        if (!AttachLockedRows(kGetDepthByRefBuffer, "pDepthBuffer", &depthRows, pDepthBuffer, depthLock))
            return 0;
        if (!AttachLockedRows(kGetDepthByRefBuffer, "pRefBuffer", &refRows, pRefBuffer, refLock))
            return 0;
        // Both locks report into one size: the reference's, written last.
        unWidth = refLock.width();
        unHeight = refLock.height();
        const int nRows = std::min(depthRows.Rows(), refRows.Rows());
        const std::size_t nPixels = std::min(depthRows.RowBytes(), refRows.RowBytes());

        qel::ForEachRow(nRows, [&](int y) {
            qel::depth::SelectedHistogramRow(depthRows.Row(y), refRows.Row(y), nPixels, anCounts);
        });
        depthLock.unlock();
        refLock.unlock();
    }

    const int nMedian = qel::depth::LowerMedianDepth(anCounts);
    // Nothing selected: the depth at the centre stands in.
    const int nResult = nMedian < 0 ? GetDepthFromDepthBufferByPos(pDepthBuffer, static_cast<int>(unWidth / 2),
                                                                   static_cast<int>(unHeight / 2))
                                    : m_fnGetScaledDepth(pDepthBuffer, nMedian);
    QEL_TRACE_END(kGetDepthByRefBuffer);
    return nResult;
}

CQELImageBuffer *PyQelBufferUtility::GetMaskFromDepthBuffer(CQELImageBuffer *pDepthBuffer, int nDepth,
                                                            bool bFocusLine, bool bInvert)
{
    QEL_TRACE_ENTRY(kGetMaskFromDepthBuffer);
    if (m_pBufferAllocator == nullptr || pDepthBuffer == nullptr || !IsOneBytePerPixel(pDepthBuffer))
        return nullptr;

    CPyAllowThreads allowThreads;
    const UINT unWidth = pDepthBuffer->getWidth();
    const UINT unHeight = pDepthBuffer->getHeight();
    CNewBuffer maskBuffer;
    const HRESULT hr = m_pBufferAllocator->allocateImageBuffer(maskBuffer.out(), unWidth, unHeight, ZU_PIXEL_1BYTES,
                                                               BUFFER_ALLOCATE_TYPE_BYTE);
    if (FAILED(hr))
        QEL_TRACE("[Assert] m_pBufferAllocator->allocateImageBuffer(pMaskBuffer, unWidth, unHeight, nBytesPerPixel) "
                  ", Error! hr=%x\n",
                  static_cast<unsigned>(hr));
    if (!maskBuffer)
        return nullptr;

    CBufferLock depthLock(pDepthBuffer, unWidth, unHeight);
    CBufferLock maskLock(maskBuffer.get(), unWidth, unHeight);
    qel::CByteRows depthRows, maskRows;
    if (!AttachLockedRows(kGetMaskFromDepthBuffer, "pDepthBuffer", &depthRows, pDepthBuffer, depthLock))
        return nullptr;
    if (!AttachLockedRows(kGetMaskFromDepthBuffer, "pMaskBuffer", &maskRows, maskBuffer.get(), maskLock))
        return nullptr;

    int nMin = 255, nMax = 0;
    ScanDepthRange(depthRows, &nMin, &nMax);

    alignas(64) BYTE abyTable[256];
    qel::depth::NormalisingTable(nMin, nMax, abyTable);
    qel::depth::DistanceStep(nDepth, abyTable);
    if (bFocusLine)
        qel::depth::FocusLineStep(abyTable);
    if (bInvert)
        qel::depth::InvertStep(abyTable);

    const qel::PFN_ByteLutRow pfnRow = qel::ChooseByteLutRow(GetSSELevel() >= 6);
    const int nRows = std::min(depthRows.Rows(), maskRows.Rows());
    const std::size_t nPixels = std::min(depthRows.RowBytes(), maskRows.RowBytes());
    qel::ForEachRowBandParallel(nRows, nPixels,
                                [&](int y) { pfnRow(depthRows.Row(y), maskRows.Row(y), nPixels, abyTable); });

    depthLock.unlock();
    maskLock.unlock();
    QEL_TRACE_END(kGetMaskFromDepthBuffer);
    return maskBuffer.detach();
}
