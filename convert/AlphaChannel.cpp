// Alpha and channel operations: dropping alpha into a new buffer, forcing
// partly transparent pixels opaque, copying alpha between buffers,
// exchanging red and blue, and building opaque BGRA from Python's BGR bytes.
// All rows run on the calling thread.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "AlphaKernels.h"
#include "BufferGuards.h"
#include "CopyKernels.h"
#include "CPyAllowThreads.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

using qel::alpha::PFN_CopyRow;
using qel::alpha::PFN_InPlaceRow;

// Start of row y of plane c of a PLANAR buffer: planes are packed at the
// buffer's own width.
inline BYTE *PlaneRow(CQELImageBuffer *pBuffer, int nPlane, UINT unWidth, UINT unBytesPerChannel, int y)
{
    return pBuffer->m_ppPlaneTable[nPlane] +
           static_cast<std::size_t>(y) * static_cast<std::size_t>(unWidth) * unBytesPerChannel;
}

// Loops run over the size the lock reported, never past the rows the
// buffer really has.
inline int RowsToVisit(const CBufferLock &lock, CQELImageBuffer *pBuffer)
{
    return static_cast<int>(std::min(lock.height(), pBuffer->getHeight()));
}

inline int PixelsToVisit(const CBufferLock &lock, CQELImageBuffer *pBuffer)
{
    return static_cast<int>(std::min(lock.width(), pBuffer->getWidth()));
}

// Where a buffer's alpha channel lives: at an offset within interleaved rows
// reached through the stride table, or in the fourth plane.
struct AlphaRows {
    CQELImageBuffer *pBuffer;
    bool bPlanar;
    UINT unWidth;
    UINT unBytesPerChannel;

    bool reachable() const
    {
        return bPlanar ? pBuffer->m_ppPlaneTable != nullptr && pBuffer->m_ppPlaneTable[3] != nullptr
                       : pBuffer->m_ppStrideTable != nullptr;
    }
    BYTE *row(int y) const
    {
        return bPlanar ? PlaneRow(pBuffer, 3, unWidth, unBytesPerChannel, y) : pBuffer->m_ppStrideTable[y];
    }
};

AlphaRows AlphaRowsOf(CQELImageBuffer *pBuffer, UINT unBytesPerPixel)
{
    return AlphaRows{pBuffer, pBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR, pBuffer->getWidth(),
                     unBytesPerPixel / 4};
}

PFN_CopyRow ChooseAlphaCopyKernel(UINT unBytesPerPixel, bool bSrcPlanar, bool bDstPlanar)
{
    using namespace qel::alpha;
    if (unBytesPerPixel == 4) {
        if (bSrcPlanar)
            return bDstPlanar ? AlphaPlane8ToPlane8Row : AlphaPlane8ToBgra32Row;
        return bDstPlanar ? AlphaBgra32ToPlane8Row : AlphaBgra32ToBgra32Row;
    }
    if (unBytesPerPixel == 8) {
        if (bSrcPlanar)
            return bDstPlanar ? AlphaPlane16ToPlane16Row : AlphaPlane16ToBgra64Row;
        return bDstPlanar ? AlphaBgra64ToPlane16Row : AlphaBgra64ToBgra64Row;
    }
    return nullptr;
}

PFN_InPlaceRow ChooseSwapRBKernel(UINT unBytesPerPixel)
{
    switch (unBytesPerPixel) {
    case 3:
        return qel::alpha::SwapRBBgr24Row;
    case 4:
        return qel::alpha::SwapRBBgra32Row;
    case 6:
        return qel::alpha::SwapRBBgr48Row;
    case 8:
        return qel::alpha::SwapRBBgra64Row;
    default:
        return nullptr;
    }
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::ReduceAlphaChannel(CQELImageBuffer *pSrcImageBuffer)
{
    static const char kName[] = "PyQelBufferUtility::ReduceAlphaChannel";
    QEL_TRACE_ENTRY(kName);
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    if (pSrcImageBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("Planar buffer does not have alpha channel");
        return nullptr;
    }

    const UINT unBPP = pSrcImageBuffer->getBytesPerPixel();
    if (unBPP == 3 || unBPP == 6) {
        // Already opaque-format: the caller gets the source itself.
        pSrcImageBuffer->addRef();
        QEL_TRACE_END(kName);
        return pSrcImageBuffer;
    }
    UINT unNewBPP = 0;
    PFN_CopyRow pfnRow = nullptr;
    if (unBPP == 4) {
        unNewBPP = 3;
        pfnRow = qel::alpha::Bgra32ToBgr24Row;
    } else if (unBPP == 8) {
        unNewBPP = 6;
        pfnRow = qel::alpha::Bgra64ToBgr48Row;
    } else {
        QEL_TRACE("unsupported BPP %d", static_cast<int>(unBPP));
        return nullptr;
    }

    const UINT unWidth = pSrcImageBuffer->getWidth();
    const UINT unHeight = pSrcImageBuffer->getHeight();
    CNewBuffer newBuffer;
    m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), unWidth, unHeight, unNewBPP,
                                            pSrcImageBuffer->m_nAllocateType);
    if (!newBuffer)
        return nullptr;

    CBufferLock srcLock(pSrcImageBuffer, unWidth, unHeight);
    CBufferLock dstLock(newBuffer.get(), unWidth, unHeight);

    BYTE *const *ppSrcRows = pSrcImageBuffer->m_ppStrideTable;
    BYTE *const *ppDstRows = newBuffer->m_ppStrideTable;
    if (ppSrcRows != nullptr && ppDstRows != nullptr) {
        const int nPixels = static_cast<int>(unWidth);
        qel::ForEachRow(static_cast<int>(unHeight), [&](int y) { pfnRow(ppSrcRows[y], ppDstRows[y], nPixels); });
    }

    CopyAttributes(newBuffer.get(), pSrcImageBuffer);
    srcLock.unlock();
    dstLock.unlock();

    QEL_TRACE_END(kName);
    return newBuffer.detach();
}

HRESULT PyQelBufferUtility::RevealAlphaChannel(CQELImageBuffer *pSrcImageBuffer)
{
    static const char kName[] = "PyQelBufferUtility::RevealAlphaChannel";
    if (pSrcImageBuffer == nullptr) {
        QEL_TRACE_NULL(kName, "pSrcImageBuffer");
        return E_POINTER;
    }
    if (m_pBufferAllocator == nullptr) {
        QEL_TRACE_NULL(kName, "m_pBufferAllocator");
        return E_POINTER;
    }

    const UINT unBPP = pSrcImageBuffer->getBytesPerPixel();
    switch (unBPP) {
    case 1:
    case 3:
    case 6:
        QEL_TRACE("[RevealAlphaChannel]No alpha channel BPP(%d)", static_cast<int>(unBPP));
        return S_FALSE;
    case 4:
    case 8:
        break;
    default:
        QEL_TRACE("[RevealAlphaChannel]Unsupported BPP(%d)", static_cast<int>(unBPP));
        return E_FAIL;
    }

    CBufferLock lock(pSrcImageBuffer, 0, 0);
    const AlphaRows alphaRows = AlphaRowsOf(pSrcImageBuffer, unBPP);
    if (alphaRows.reachable()) {
        PFN_InPlaceRow pfnRow = nullptr;
        if (alphaRows.bPlanar)
            pfnRow = unBPP == 4 ? qel::alpha::RevealPlane8Row : qel::alpha::RevealPlane16Row;
        else
            pfnRow = unBPP == 4 ? qel::alpha::RevealBgra32Row : qel::alpha::RevealBgra64Row;
        const int nPixels = PixelsToVisit(lock, pSrcImageBuffer);
        qel::ForEachRow(RowsToVisit(lock, pSrcImageBuffer), [&](int y) { pfnRow(alphaRows.row(y), nPixels); });
    }
    lock.unlock();
    return S_OK;
}

HRESULT PyQelBufferUtility::ApplyAlphaByBuffer(CQELImageBuffer *pDstImageBuffer, CQELImageBuffer *pSrcImageBuffer)
{
    static const char kName[] = "PyQelBufferUtility::ApplyAlphaByBuffer";
    QEL_TRACE_ENTRY(kName);
    if (m_pBufferAllocator == nullptr || pDstImageBuffer == nullptr || pSrcImageBuffer == nullptr)
        return E_FAIL;
    if (pDstImageBuffer == pSrcImageBuffer) {
        QEL_TRACE("same buffer, nothing to do");
        return S_OK;
    }
    const UINT unBPP = pDstImageBuffer->getBytesPerPixel();
    if (pDstImageBuffer->getWidth() != pSrcImageBuffer->getWidth() ||
        pDstImageBuffer->getHeight() != pSrcImageBuffer->getHeight() ||
        unBPP != pSrcImageBuffer->getBytesPerPixel()) {
        QEL_TRACE("not allow different size");
        return E_FAIL;
    }
    QEL_TRACE("Dst:%x : Src:%x", QEL_ADDR32(pDstImageBuffer), QEL_ADDR32(pSrcImageBuffer));

    CBufferLock srcLock(pSrcImageBuffer, 0, 0);
    if (!srcLock.locked()) {
        QEL_TRACE("[%s] lock src failed, %0x", kName, QEL_ADDR32(pSrcImageBuffer));
        return E_POINTER;
    }
    CBufferLock dstLock(pDstImageBuffer, 0, 0);
    if (!dstLock.locked()) {
        QEL_TRACE("[%s] lock dst failed, %0x", kName, QEL_ADDR32(pDstImageBuffer));
        return E_POINTER;
    }

    const AlphaRows srcRows = AlphaRowsOf(pSrcImageBuffer, unBPP);
    const AlphaRows dstRows = AlphaRowsOf(pDstImageBuffer, unBPP);
    const PFN_CopyRow pfnRow = ChooseAlphaCopyKernel(unBPP, srcRows.bPlanar, dstRows.bPlanar);
    if (pfnRow != nullptr && srcRows.reachable() && dstRows.reachable()) {
        // Both locks report into the same size; the destination's comes last.
        const int nPixels = PixelsToVisit(dstLock, pDstImageBuffer);
        qel::ForEachRow(RowsToVisit(dstLock, pDstImageBuffer),
                        [&](int y) { pfnRow(srcRows.row(y), dstRows.row(y), nPixels); });
    }

    dstLock.unlock();
    srcLock.unlock();
    QEL_TRACE_END(kName);
    return S_OK;
}

HRESULT PyQelBufferUtility::SwapRBChannel(CQELImageBuffer *pSrcImageBuffer)
{
    if (pSrcImageBuffer == nullptr)
        return E_FAIL;

    const UINT unBPP = pSrcImageBuffer->getBytesPerPixel();
    const PFN_InPlaceRow pfnRow = ChooseSwapRBKernel(unBPP);
    if (pfnRow == nullptr) {
        // One-channel pixels have no red or blue; refused before touching them.
        QEL_TRACE("[SwapRBChannel]Unsupported BPP(%d)", static_cast<int>(unBPP));
        return E_FAIL;
    }

    CBufferLock lock(pSrcImageBuffer, 0, 0);
    const int nRows = RowsToVisit(lock, pSrcImageBuffer);
    const int nPixels = PixelsToVisit(lock, pSrcImageBuffer);
    if (pSrcImageBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        BYTE *const *ppPlanes = pSrcImageBuffer->m_ppPlaneTable;
        if (ppPlanes != nullptr && ppPlanes[0] != nullptr && ppPlanes[2] != nullptr) {
            const UINT unWidth = pSrcImageBuffer->getWidth();
            const UINT unBytesPerChannel = unBPP / (unBPP == 3 || unBPP == 6 ? 3 : 4);
            const std::size_t cbRow = static_cast<std::size_t>(nPixels) * unBytesPerChannel;
            qel::ForEachRow(nRows, [&](int y) {
                qel::alpha::SwapBytesRow(PlaneRow(pSrcImageBuffer, 0, unWidth, unBytesPerChannel, y),
                                         PlaneRow(pSrcImageBuffer, 2, unWidth, unBytesPerChannel, y), cbRow);
            });
        }
    } else {
        BYTE *const *ppRows = pSrcImageBuffer->m_ppStrideTable;
        if (ppRows != nullptr)
            qel::ForEachRow(nRows, [&](int y) { pfnRow(ppRows[y], nPixels); });
    }
    lock.unlock();
    return S_OK;
}

CQELImageBuffer *PyQelBufferUtility::ConvertBufferFromBGRtoBGRA_FromPyObject(PyObject *pySrcObj, int nWidth,
                                                                             int nHeight, int nStride)
{
    static const char kName[] = "PyQelBufferUtility::ConvertBufferFromBGRtoBGRA_FromPyObject";
    QEL_TRACE_ENTRY(kName);

    char *pData = nullptr;
    Py_ssize_t cbData = 0;
    PyBytes_AsStringAndSize(pySrcObj, &pData, &cbData);
    QEL_TRACE_W(L" W(%d), H(%d), Size(%d)", nWidth, nHeight, static_cast<int>(cbData));
    if (pData == nullptr) {
        // The result None is the whole answer; the conversion error it left
        // behind would otherwise surface on an unrelated later call.
        PyErr_Clear();
        return nullptr;
    }
    if (nWidth >= 1 && nHeight >= 1) {
        // Every row read must lie inside the bytes handed over (a single
        // row never uses the stride).
        if (nStride < 0 && nHeight > 1) {
            QEL_TRACE("[%s] negative stride %d", kName, nStride);
            return nullptr;
        }
        const long long cbNeeded = static_cast<long long>(nHeight - 1) * nStride + 3LL * nWidth;
        if (cbNeeded > static_cast<long long>(cbData)) {
            QEL_TRACE("[%s] %lld bytes needed, Size(%lld)", kName, cbNeeded, static_cast<long long>(cbData));
            return nullptr;
        }
    }

    CPyAllowThreads allowThreads;

    CNewBuffer newBuffer;
    HRESULT hr = E_FAIL;
    if (m_pBufferAllocator != nullptr)
        hr = m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), static_cast<UINT>(nWidth),
                                                     static_cast<UINT>(nHeight), 4, BUFFER_ALLOCATE_TYPE_BYTE);
    QEL_TRACE(" allocateImageBuffer, HR = %x", static_cast<unsigned>(hr));
    if (FAILED(hr)) {
        m_fnSetLastErrorHr(hr);
        return nullptr;
    }
    if (!newBuffer)
        return nullptr;

    CBufferLock lock(newBuffer.get(), static_cast<UINT>(nWidth), static_cast<UINT>(nHeight));
    BYTE *pDst = lock.data();
    if (pDst != nullptr && nHeight >= 1 && nWidth >= 1) {
        const BYTE *pSrc = reinterpret_cast<const BYTE *>(pData);
        const std::size_t cbDstRow = static_cast<std::size_t>(nWidth) * 4;
        qel::ForEachRow(nHeight, [&](int y) {
            qel::Bgr24ToOpaqueBgra32Row(pSrc + static_cast<std::ptrdiff_t>(y) * nStride,
                                               pDst + static_cast<std::size_t>(y) * cbDstRow, nWidth);
        });
    }
    lock.unlock();

    QEL_TRACE_END(kName);
    return newBuffer.detach();
}
