// Mirroring into a new buffer: left to right, top to bottom, or both. Rows
// run on the OpenMP team for every layout; BYTE rows are addressed from the
// locked block, CHUNK rows through the stride table, PLANAR planes one by one.
#include <cstddef>
#include <cstring>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "CopyKernels.h"
#include "MirrorKernels.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

const char *const kMirror = "PyQelBufferUtility::Mirror";

// Rows of one image: from a block at a fixed step, or from a row table.
struct tagRows {
    BYTE *pBase;
    std::size_t cbStep;
    BYTE *const *ppTable;
    BYTE *row(int y) const { return ppTable != nullptr ? ppTable[y] : pBase + (std::size_t)y * cbStep; }
};

// States 1 (left-right), 2 (top-bottom), 3 (both) for one image of nPixels
// by nRows pixels of pfnReverse's size (cbRow bytes a row).
void FlipImage(int nState, const tagRows &src, const tagRows &dst, int nPixels, int nRows, std::size_t cbRow,
               qel::mirror::PFN_ReverseRow pfnReverse)
{
    qel::ForEachRowBandParallel(nRows, cbRow, [&](int y) {
        const int yDst = nState == 1 ? y : nRows - 1 - y;
        if (nState == 2)
            qel::CopyRowBytes(dst.row(yDst), src.row(y), cbRow);
        else
            pfnReverse(src.row(y), dst.row(yDst), nPixels);
    });
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::Mirror(CQELImageBuffer *pSrcImageBuffer, int nFlipState)
{
    QEL_TRACE_ENTRY(kMirror);
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    CQELImageBuffer *pSrc = pSrcImageBuffer;
    const UINT W = pSrc->getWidth(), H = pSrc->getHeight();
    const UINT unBpp = pSrc->getBytesPerPixel();
    const int nType = pSrc->m_nAllocateType;
    if (nFlipState == 0) {
        pSrc->addRef();
        return pSrc;
    }
    if (nFlipState < 0 || nFlipState > 3) {
        QEL_TRACE("[Mirror]unsupported flip state %d", nFlipState);
        return nullptr;
    }

    CNewBuffer result;
    const HRESULT hr = m_pBufferAllocator->allocateImageBuffer(result.out(), W, H, unBpp, nType);
    if (!result) {
        QEL_TRACE("[Mirror] allocate fail %x", hr);
        return nullptr;
    }
    CBufferLock srcLock(pSrc, W, H);
    if (!srcLock.locked()) {
        QEL_TRACE("[%s] lock src failed, %0x", kMirror, QEL_ADDR32(pSrc));
        return nullptr;
    }
    CBufferLock dstLock(result.get(), W, H);

    // The layouts the flips serve; anything else is refused before a pixel
    // is touched.
    const bool bPlanar = nType == BUFFER_ALLOCATE_TYPE_PLANAR;
    const bool bKnownPixel = qel::mirror::ChooseReverseRow(unBpp) != nullptr;
    const bool bSupported = nType == BUFFER_ALLOCATE_TYPE_CHUNK ? bKnownPixel
                            : bPlanar ? unBpp == 3 || unBpp == 4 || unBpp == 6 || unBpp == 8
                            : nType == BUFFER_ALLOCATE_TYPE_BYTE && bKnownPixel && unBpp != 2;
    if (!bSupported) {
        QEL_TRACE("[Mirror] unsupported BPP %d", (int)unBpp);
        return nullptr;
    }

    {
        CPyAllowThreads allowThreads;
        const int nPixels = (int)W, nRows = (int)H;
        if (bPlanar) {
            const UINT unChannelBytes = unBpp >= 6 ? 2 : 1;
            const int nPlanes = unBpp == 3 || unBpp == 6 ? 3 : 4;
            const qel::mirror::PFN_ReverseRow pfnReverse = qel::mirror::ChooseReverseRow(unChannelBytes);
            const std::size_t cbRow = (std::size_t)W * unChannelBytes;
            if (srcLock.data() != nullptr && dstLock.data() != nullptr && pSrc->m_ppPlaneTable != nullptr &&
                result->m_ppPlaneTable != nullptr)
                for (int p = 0; p < nPlanes; ++p)
                    if (pSrc->m_ppPlaneTable[p] != nullptr && result->m_ppPlaneTable[p] != nullptr)
                        FlipImage(nFlipState, tagRows{pSrc->m_ppPlaneTable[p], cbRow, nullptr},
                                  tagRows{result->m_ppPlaneTable[p], cbRow, nullptr}, nPixels, nRows, cbRow,
                                  pfnReverse);
        } else {
            const std::size_t cbRow = (std::size_t)W * unBpp;
            const qel::mirror::PFN_ReverseRow pfnReverse = qel::mirror::ChooseReverseRow(unBpp);
            // BYTE rows from the locked block; CHUNK rows only through the table.
            const bool bByte = nType == BUFFER_ALLOCATE_TYPE_BYTE;
            const tagRows src{srcLock.data(), cbRow, bByte ? nullptr : pSrc->m_ppStrideTable};
            const tagRows dst{dstLock.data(), cbRow, bByte ? nullptr : result->m_ppStrideTable};
            const bool bReachable = bByte ? src.pBase != nullptr && dst.pBase != nullptr
                                          : src.ppTable != nullptr && dst.ppTable != nullptr;
            if (bReachable)
                FlipImage(nFlipState, src, dst, nPixels, nRows, cbRow, pfnReverse);
        }
    }

    CopyAttributes(result.get(), pSrc);
    srcLock.unlock();
    dstLock.unlock();
    QEL_TRACE_END(kMirror);
    return result.detach();
}
