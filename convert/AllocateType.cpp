// Changing how a buffer's pixels are stored (one block, chunks of rows, or
// one plane per channel) or where (process memory or a file mapping),
// without changing a single pixel value.
#include <algorithm>
#include <cstring>

#include "core/PlanarKernels.h"
#include "core/BufferGuards.h"
#include "core/CopyKernels.h"
#include "core/PackedCopy.h"
#include "core/PyQelBufferUtility.h"
#include "core/RowLoop.h"
#include "core/TraceLog.h"

namespace {

const char *const kConvertAllocateType = "PyQelBufferUtility::ConvertImageBufferAllocateType";

CQELImageBuffer *ReturnSource(CQELImageBuffer *pSrc)
{
    pSrc->addRef();
    return pSrc;
}

// In memory or in a file mapping, as the caller asked.
void AllocateOn(ZuBufferAllocator *pAllocator, bool onMem, CNewBuffer &newBuffer, UINT unWidth, UINT unHeight,
                UINT unBpp, int nType)
{
    if (onMem)
        pAllocator->allocateImageBuffer(newBuffer.out(), unWidth, unHeight, unBpp, nType);
    else
        pAllocator->allocateFileMappingBuffer(newBuffer.out(), unWidth, unHeight, unBpp, nType);
}

// Copies every plane of one planar buffer into another of the same shape.
HRESULT CopyPlanes(CQELImageBuffer *pDst, CQELImageBuffer *pSrc, UINT unWidth, UINT unHeight, UINT unBpp)
{
    qel::tagPlanarGeometry geometry;
    if (!qel::GetPlanarGeometry(unBpp, &geometry) || pDst->m_ppPlaneTable == nullptr ||
        pSrc->m_ppPlaneTable == nullptr)
        return E_INVALIDARG;
    const size_t cbRow = (size_t)unWidth * (size_t)geometry.nBytesPerChannel;
    for (int c = 0; c < geometry.nChannels; ++c) {
        BYTE *pDstPlane = pDst->m_ppPlaneTable[c];
        const BYTE *pSrcPlane = pSrc->m_ppPlaneTable[c];
        qel::ForEachRow((int)unHeight, [&](int y) {
            qel::CopyRowBytes(pDstPlane + (size_t)y * cbRow, pSrcPlane + (size_t)y * cbRow, cbRow);
        });
    }
    return S_OK;
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::ConvertImageBufferAllocateType(CQELImageBuffer *pSrcImageBuffer, int nType,
                                                                    bool onMem)
{
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    CQELImageBuffer *pSrc = pSrcImageBuffer;
    const UINT unWidth = pSrc->getWidth();
    const UINT unHeight = pSrc->getHeight();
    const UINT unBpp = pSrc->getBytesPerPixel();
    const int nSrcType = pSrc->m_nAllocateType;
    // A 32-bit product, widened: the allocator bounds every buffer well
    // below 4 GiB, so it never wraps for a buffer it made.
    const UINT64 qwSize = (UINT64)(UINT)(unBpp * unHeight * unWidth);

    // CHUNK to BYTE: the allocator gathers the chunks into the new block.
    if (nSrcType == BUFFER_ALLOCATE_TYPE_CHUNK && nType == BUFFER_ALLOCATE_TYPE_BYTE) {
        CNewBuffer newBuffer;
        AllocateOn(m_pBufferAllocator, onMem, newBuffer, unWidth, unHeight, unBpp, BUFFER_ALLOCATE_TYPE_BYTE);
        if (!newBuffer)
            return nullptr;
        HRESULT hr;
        {
            CBufferLock lockNew(newBuffer.get(), unWidth, unHeight);
            hr = lockNew.data() != nullptr
                     ? m_pBufferAllocator->copyBufferData(&pSrc, lockNew.data(), 0, qwSize, true)
                     : E_POINTER;
            CopyAttributes(newBuffer.get(), pSrc);
        }
        if (FAILED(hr)) {
            QEL_TRACE("[%s][Case1] copy source failed %0x, %0x", kConvertAllocateType, (unsigned)hr,
                      QEL_ADDR32(pSrc));
            return nullptr;
        }
        return newBuffer.detach();
    }

    // BYTE to CHUNK: the allocator scatters the source block into the chunks.
    if (nSrcType == BUFFER_ALLOCATE_TYPE_BYTE && nType == BUFFER_ALLOCATE_TYPE_CHUNK) {
        CNewBuffer newBuffer;
        AllocateOn(m_pBufferAllocator, onMem, newBuffer, unWidth, unHeight, unBpp, BUFFER_ALLOCATE_TYPE_CHUNK);
        if (!newBuffer)
            return nullptr;
        CBufferLock lockSrc(pSrc, unWidth, unHeight);
        // The block is read as a whole, so a lock without pixels is a failed one.
        if (!lockSrc.hasPixels()) {
            QEL_TRACE("[%s][Case2] lock source failed, %0x", kConvertAllocateType, QEL_ADDR32(pSrc));
            return nullptr;
        }
        CQELImageBuffer *pNew = newBuffer.get();
        m_pBufferAllocator->copyBufferData(&pNew, lockSrc.data(), 0, qwSize, false);
        CopyAttributes(pNew, pSrc);
        lockSrc.unlock();
        return newBuffer.detach();
    }

    const bool bToPlanar = nSrcType != BUFFER_ALLOCATE_TYPE_PLANAR && nType == BUFFER_ALLOCATE_TYPE_PLANAR;
    const bool bFromPlanar = nSrcType == BUFFER_ALLOCATE_TYPE_PLANAR && nType != BUFFER_ALLOCATE_TYPE_PLANAR;
    if (bToPlanar || bFromPlanar) {
        // Planes only become BYTE or CHUNK rows; any other request has no layout to give.
        if (bFromPlanar && nType != BUFFER_ALLOCATE_TYPE_BYTE && nType != BUFFER_ALLOCATE_TYPE_CHUNK)
            return nullptr;
        CNewBuffer newBuffer;
        m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), unWidth, unHeight, unBpp, nType);
        if (!newBuffer)
            return nullptr;
        CBufferLock lockSrc(pSrc, unWidth, unHeight);
        if (!lockSrc.locked()) {
            if (bToPlanar)
                QEL_TRACE("[%s][Case3] lock source failed, %0x", kConvertAllocateType, QEL_ADDR32(pSrc));
            else
                QEL_TRACE("[%s][Case4] lock source failed, %0x", kConvertAllocateType, QEL_ADDR32(pSrc));
            return nullptr;
        }
        CBufferLock lockNew(newBuffer.get(), unWidth, unHeight);
        qel::tagPlanarGeometry geometry;
        if (!qel::GetPlanarGeometry(unBpp, &geometry)) {
            QEL_TRACE("unsupported BPP %d", (int)unBpp);
            return nullptr;
        }

        CQELImageBuffer *pPlanar = bToPlanar ? newBuffer.get() : pSrc;
        CQELImageBuffer *pInterleaved = bToPlanar ? pSrc : newBuffer.get();
        BYTE **ppPlanes = pPlanar->m_ppPlaneTable;
        BYTE **ppRows = pInterleaved->m_ppStrideTable;
        if (ppPlanes == nullptr || ppRows == nullptr)
            return nullptr;

        // The new buffer's lock is what bounds the rows; it can only shrink them.
        const UINT unCols = std::min(unWidth, lockNew.width());
        const int nRows = (int)std::min(unHeight, lockNew.height());
        const size_t cbPlaneRow = (size_t)unWidth * (size_t)geometry.nBytesPerChannel;
        const int nChannels = geometry.nChannels;
        const size_t cbRow = (size_t)unCols * unBpp;
        if (bToPlanar) {
            const qel::PFN_SplitRow pfnSplit = qel::ChooseSplitRow(geometry);
            qel::ForEachRowBandParallel(nRows, cbRow, [&](int y) {
                BYTE *apPlanes[4] = {nullptr, nullptr, nullptr, nullptr};
                for (int c = 0; c < nChannels; ++c)
                    apPlanes[c] = ppPlanes[c] + (size_t)y * cbPlaneRow;
                pfnSplit(ppRows[y], apPlanes, unCols);
            });
        } else {
            const qel::PFN_MergeRow pfnMerge = qel::ChooseMergeRow(geometry);
            qel::ForEachRowBandParallel(nRows, cbRow, [&](int y) {
                const BYTE *apPlanes[4] = {nullptr, nullptr, nullptr, nullptr};
                for (int c = 0; c < nChannels; ++c)
                    apPlanes[c] = ppPlanes[c] + (size_t)y * cbPlaneRow;
                pfnMerge(ppRows[y], apPlanes, unCols);
            });
        }

        CopyAttributes(newBuffer.get(), pSrc);
        lockNew.unlock();
        lockSrc.unlock();
        return newBuffer.detach();
    }

    if (nSrcType != nType)
        return ReturnSource(pSrc);

    // Same layout: only a request to move an in-memory buffer into a file
    // mapping makes a copy.
    if (pSrc->m_hFileMapping != nullptr || onMem)
        return ReturnSource(pSrc);
    CNewBuffer newBuffer;
    m_pBufferAllocator->allocateFileMappingBuffer(newBuffer.out(), unWidth, unHeight, unBpp, nType);
    if (!newBuffer)
        return nullptr;
    HRESULT hr;
    {
        CBufferLock lockNew(newBuffer.get(), unWidth, unHeight);
        if (nType != BUFFER_ALLOCATE_TYPE_PLANAR) {
            hr = lockNew.data() != nullptr
                     ? qel::CopyIntoLocked(m_pBufferAllocator, pSrc, newBuffer.get(), lockNew.data(), qwSize)
                     : E_POINTER;
        } else {
            // The allocator's copy does not read planes; they are copied one by one.
            hr = CopyPlanes(newBuffer.get(), pSrc, unWidth, unHeight, unBpp);
        }
        CopyAttributes(newBuffer.get(), pSrc);
    }
    if (FAILED(hr)) {
        QEL_TRACE("[%s][Case5] copy source failed %0x, %0x", kConvertAllocateType, (unsigned)hr, QEL_ADDR32(pSrc));
        return nullptr;
    }
    return newBuffer.detach();
}
