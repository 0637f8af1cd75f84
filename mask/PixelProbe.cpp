// Probes under the pointer: GetPixelInfo (the colours of a small square of
// pixels, read with the interpreter lock released) and HitTest (whether a
// position lies on visible content). Neither changes the buffer. At most 49
// pixels are read, so both run on the calling thread.
#include <algorithm>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "PixelProbeKernels.h"
#include "PyQelBufferUtility.h"
#include "TraceLog.h"

namespace {

const char kHitTestName[] = "PyQelBufferUtility::HitTest";

PyObject *NewNone()
{
    Py_INCREF(Py_None);
    return Py_None;
}

// The entries as a list of (A, R, G, B) tuples, built under the interpreter
// lock; null with the Python error set when an object cannot be made.
PyObject *EntriesToList(const qel::probe::ProbeEntry *pEntries, int nCount)
{
    PyObject *pList = PyList_New(0);
    if (pList == nullptr)
        return nullptr;
    for (int k = 0; k < nCount; ++k) {
        const WORD *pE = pEntries[k];
        PyObject *pTuple = Py_BuildValue("(iiii)", pE[0], pE[1], pE[2], pE[3]);
        const int nAppended = pTuple == nullptr ? -1 : PyList_Append(pList, pTuple);
        Py_XDECREF(pTuple);
        if (nAppended != 0) {
            Py_DECREF(pList);
            return nullptr;
        }
    }
    return pList;
}

} // namespace

PyObject *PyQelBufferUtility::GetPixelInfo(CQELImageBuffer *pSrcImageBuffer, int nX, int nY,
                                           unsigned int const nGridCount)
{
    if (pSrcImageBuffer == nullptr)
        return NewNone();

    const long long nWidth = pSrcImageBuffer->getWidth();
    const long long nHeight = pSrcImageBuffer->getHeight();
    const UINT unBpp = pSrcImageBuffer->getBytesPerPixel();
    if (pSrcImageBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("Planar buffer does not support indexing");
        return NewNone();
    }
    if (unBpp != 4 && unBpp != 8) {
        QEL_TRACE("unsupported BPP %d", static_cast<int>(unBpp));
        return NewNone();
    }
    if (nX < 0 || nX >= nWidth || nY < 0 || nY >= nHeight) {
        QEL_TRACE("out of boundary %d, %d", nX, nY);
        return NewNone();
    }
    if (nGridCount != 1 && nGridCount != 3 && nGridCount != 5 && nGridCount != 7) {
        QEL_TRACE("Not support this gridcount number , fail");
        return NewNone();
    }

    const int nGrid = static_cast<int>(nGridCount);
    qel::probe::ProbeEntry aEntries[8 * 8] = {};
    bool bRead = false;
    {
        CPyAllowThreads allowThreads;
        CBufferLock lock(pSrcImageBuffer, 0, 0);
        BYTE *const *ppRows = pSrcImageBuffer->m_ppStrideTable;
        if (lock.data() != nullptr && ppRows != nullptr) {
            // Positions are tested against the smaller of the two sizes, so
            // a lock reporting less than the buffer never lets a read past it.
            const long long nW = std::min<long long>(nWidth, lock.width());
            const long long nH = std::min<long long>(nHeight, lock.height());
            const long long nLeft = static_cast<long long>(nX) - nGrid / 2;
            const long long nTop = static_cast<long long>(nY) - nGrid / 2;
            if (unBpp == 4)
                qel::probe::ProbeSquare<BYTE>(ppRows, nW, nH, nLeft, nTop, nGrid, aEntries);
            else
                qel::probe::ProbeSquare<std::uint16_t>(ppRows, nW, nH, nLeft, nTop, nGrid, aEntries);
            bRead = true;
        } else {
            QEL_TRACE("[GetPixelInfo]No Data to GetPixelInfo");
        }
    }
    if (!bRead)
        return NewNone();

    CPyEnsureGIL holdGil;
    return EntriesToList(aEntries, nGrid * nGrid);
}

BOOL PyQelBufferUtility::HitTest(CQELImageBuffer *pSrcImageBuffer, int nX, int nY)
{
    if (pSrcImageBuffer == nullptr)
        return FALSE;

    CBufferLock lock(pSrcImageBuffer, 0, 0);
    if (!lock.locked()) {
        QEL_TRACE("[%s] lock src failed, %0x", kHitTestName, QEL_ADDR32(pSrcImageBuffer));
        return FALSE;
    }
    const long long nWidth = std::min(lock.width(), pSrcImageBuffer->getWidth());
    const long long nHeight = std::min(lock.height(), pSrcImageBuffer->getHeight());
    BOOL bHit = FALSE;
    if (nX >= 0 && nX < nWidth && nY >= 0 && nY < nHeight) {
        BYTE *const *ppRows = pSrcImageBuffer->m_ppStrideTable;
        const UINT unBpp = pSrcImageBuffer->getBytesPerPixel();
        if (lock.data() != nullptr && ppRows != nullptr && qel::probe::IsHit(ppRows[nY], nX, unBpp))
            bHit = TRUE;
    }
    return bHit;
}
