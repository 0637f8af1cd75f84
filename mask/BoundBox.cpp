// Where the content of a buffer lies: GetBoundBox (pixels passing a test on
// alpha, mask value or colour), GetUVMapBoundBox (UV map pixels not marked
// empty) and GetBoundingBoxCenterPos (a centre of a one-byte mask's
// content). All three only read; rows are scanned on the OpenMP team, each
// thread keeping its own box.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "BoundBoxKernels.h"
#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "PyQelBufferUtility.h"
#include "TraceLog.h"

namespace {

using qel::box::Extent;

const char kCenterName[] = "PyQelBufferUtility::GetBoundingBoxCenterPos";

PyObject *NewNone()
{
    Py_INCREF(Py_None);
    return Py_None;
}

// The loops never run past what the lock reported nor past the rows the
// buffer really has.
std::size_t LockedWidth(const CBufferLock &lock, CQELImageBuffer *pBuffer)
{
    return std::min(lock.width(), pBuffer->getWidth());
}

std::size_t LockedHeight(const CBufferLock &lock, CQELImageBuffer *pBuffer)
{
    return std::min(lock.height(), pBuffer->getHeight());
}

PyObject *BoxTuple(const Extent &box)
{
    if (box.nMinX > box.nMaxX || box.nMinY > box.nMaxY)
        return Py_BuildValue("(IIII)", 0u, 0u, 0u, 0u);
    return Py_BuildValue("(IIII)", static_cast<UINT>(box.nMinX), static_cast<UINT>(box.nMinY),
                         static_cast<UINT>(box.nMaxX - box.nMinX + 1), static_cast<UINT>(box.nMaxY - box.nMinY + 1));
}

// Rows of a stride table.
struct TableRows {
    BYTE *const *ppRows;
    const BYTE *operator()(std::size_t y) const { return ppRows[y]; }
};

template <class Test>
Extent BoxOfTable(BYTE *const *ppRows, std::size_t nWidth, std::size_t nHeight, UINT unBpp)
{
    return qel::box::ScanBox<Test>(TableRows{ppRows}, nWidth, 0, nHeight, nWidth * unBpp);
}

typedef Extent (*PFN_BoxScan)(BYTE *const *, std::size_t, std::size_t, UINT);

// The scan for a format and test, or null when the format lacks the
// channel the test reads.
PFN_BoxScan ChooseBoxScan(UINT unBpp, bool bCheckColor, bool bGreater)
{
    using namespace qel::box;
    if (!bCheckColor) {
        switch (unBpp) {
        case 1:
            return bGreater ? BoxOfTable<Mask8Above> : BoxOfTable<Mask8Below>;
        case 4:
            return bGreater ? BoxOfTable<Alpha32Above> : BoxOfTable<Alpha32Below>;
        case 8:
            return bGreater ? BoxOfTable<Alpha64Above> : BoxOfTable<Alpha64Below>;
        default:
            return nullptr;
        }
    }
    switch (unBpp) {
    case 3:
        return bGreater ? BoxOfTable<ColorMeanAbove<BYTE, 3>> : BoxOfTable<BlueBelow<BYTE, 3>>;
    case 4:
        return bGreater ? BoxOfTable<ColorMeanAbove<BYTE, 4>> : BoxOfTable<BlueBelow<BYTE, 4>>;
    case 6:
        return bGreater ? BoxOfTable<ColorMeanAbove<std::uint16_t, 3>> : BoxOfTable<BlueBelow<std::uint16_t, 3>>;
    case 8:
        return bGreater ? BoxOfTable<ColorMeanAbove<std::uint16_t, 4>> : BoxOfTable<BlueBelow<std::uint16_t, 4>>;
    default:
        return nullptr;
    }
}

} // namespace

PyObject *PyQelBufferUtility::GetBoundBox(CQELImageBuffer *pDstBuffer, bool bCheckColor, bool bGreater)
{
    if (pDstBuffer == nullptr)
        return NewNone();

    const UINT unBpp = pDstBuffer->getBytesPerPixel();
    CBufferLock lock(pDstBuffer, 0, 0);
    if (!lock.locked()) {
        QEL_TRACE("[GetBoundBox] lock src failed, %0x", QEL_ADDR32(pDstBuffer));
        return NewNone();
    }
    if (lock.data() == nullptr) {
        lock.unlock();
        QEL_TRACE("[GetBoundBox]No Data to GetBoundBox");
        return NewNone();
    }
    BYTE *const *ppRows = pDstBuffer->m_ppStrideTable;
    if (ppRows == nullptr) {
        lock.unlock();
        QEL_TRACE("[GetBoundBox]No Stride table %s", "null");
        return NewNone();
    }
    if (unBpp != 1 && unBpp != 3 && unBpp != 4 && unBpp != 6 && unBpp != 8) {
        QEL_TRACE("[GetBoundBox]Unsupported BPP(%d)", static_cast<int>(unBpp));
        return NewNone();
    }
    const PFN_BoxScan pfnScan = ChooseBoxScan(unBpp, bCheckColor, bGreater);
    if (pfnScan == nullptr) {
        QEL_TRACE("[GetBoundBox]No alpha channel can be used(%d)", static_cast<int>(unBpp));
        return NewNone();
    }

    const Extent box = pfnScan(ppRows, LockedWidth(lock, pDstBuffer), LockedHeight(lock, pDstBuffer), unBpp);
    lock.unlock();
    return BoxTuple(box);
}

PyObject *PyQelBufferUtility::GetUVMapBoundBox(CQELImageBuffer *pUVBuffer)
{
    if (pUVBuffer == nullptr)
        return NewNone();

    CBufferLock lock(pUVBuffer, 0, 0);
    const UINT unBpp = pUVBuffer->getBytesPerPixel();
    if (lock.data() == nullptr) {
        QEL_TRACE("[GetUVMapBoundBox]No Data to GetUVMapBoundBox");
        return NewNone();
    }
    // A pixel is read as a 32-bit word at 4 x of its row: narrower pixels
    // would put the last words past the row's end.
    if (unBpp < 4) {
        QEL_TRACE("[GetUVMapBoundBox]Unsupported BPP(%d)", static_cast<int>(unBpp));
        return NewNone();
    }
    // Rows come from the stride table: for a BYTE buffer these are the rows
    // of its one block, for a CHUNK buffer the only safe way to them.
    BYTE *const *ppRows = pUVBuffer->m_ppStrideTable;
    if (ppRows == nullptr) {
        QEL_TRACE("[GetUVMapBoundBox]No Stride table %s", "null");
        return NewNone();
    }

    const std::size_t nWidth = LockedWidth(lock, pUVBuffer);
    const Extent box = qel::box::ScanBox<qel::box::UVWordSet>(TableRows{ppRows}, nWidth, 0,
                                                              LockedHeight(lock, pUVBuffer), nWidth * 4);
    lock.unlock();
    return BoxTuple(box);
}

PyObject *PyQelBufferUtility::GetBoundingBoxCenterPos(CQELImageBuffer *pSrcBuffer)
{
    QEL_TRACE_ENTRY(kCenterName);
    if (pSrcBuffer == nullptr) {
        QEL_TRACE_NULL(kCenterName, "pSrcBuffer");
        return Py_BuildValue("(II)", 0u, 0u);
    }
    if (pSrcBuffer->getBytesPerPixel() != 1) {
        QEL_TRACE(" error: unsupported bytesPerPixel");
        return Py_BuildValue("(II)", 0u, 0u);
    }
    const UINT unWidth = pSrcBuffer->getWidth();
    const UINT unHeight = pSrcBuffer->getHeight();

    bool bReadable = false;
    UINT unX = 0, unY = 0;
    {
        CPyAllowThreads allowThreads;
        CBufferLock lock(pSrcBuffer, unWidth, unHeight);
        BYTE *const *ppRows = pSrcBuffer->m_ppStrideTable;
        const std::size_t nWidth = std::min<std::size_t>(lock.width(), unWidth);
        const std::size_t nHeight = std::min<std::size_t>(lock.height(), unHeight);
        bReadable = lock.data() != nullptr && ppRows != nullptr && nWidth > 0 && nHeight > 0;
        if (bReadable) {
            // Content rows r0..r1, then content columns c0..c1 of the rows
            // strictly between them; the centre is theirs when both spans
            // are at least four wide, else the image's.
            const TableRows rows{ppRows};
            std::size_t nTop = 0, nBottom = 0;
            qel::box::ScanRowRange<qel::box::Mask8Above>(rows, nWidth, nHeight, nWidth, &nTop, &nBottom);
            Extent inner{SIZE_MAX, 0, SIZE_MAX, 0};
            if (nTop <= nBottom && nBottom - nTop >= 3)
                inner = qel::box::ScanBox<qel::box::Mask8Above>(rows, nWidth, nTop + 1, nBottom, nWidth);
            if (inner.nMinX <= inner.nMaxX && inner.nMaxX - inner.nMinX >= 3) {
                unX = static_cast<UINT>(inner.nMinX + inner.nMaxX) >> 1;
                unY = static_cast<UINT>(nTop + nBottom) >> 1;
            } else {
                unX = (unWidth - 1) >> 1;
                unY = (unHeight - 1) >> 1;
            }
        }
        lock.unlock();
    }
    if (!bReadable) {
        QEL_TRACE("[GetBoundingBoxCenterPos]No Data to GetBoundingBoxCenterPos");
        return Py_BuildValue("(II)", 0u, 0u);
    }
    return Py_BuildValue("(II)", unX, unY);
}
