#include "PackedCopy.h"

#include <memory>
#include <new>

#include "RowLoop.h"
#include "core/PlanarKernels.h"

namespace qel {

HRESULT MovePlanes(CQELImageBuffer *pBuffer, BYTE *pPacked, UINT64 qwSize, bool bToPacked)
{
    const UINT unWidth = pBuffer->getWidth();
    const UINT unHeight = pBuffer->getHeight();
    tagPlanarGeometry geometry;
    if (pPacked == nullptr || pBuffer->m_ppPlaneTable == nullptr ||
        !GetPlanarGeometry(pBuffer->getBytesPerPixel(), &geometry))
        return E_INVALIDARG;
    const size_t cbRow = (size_t)unWidth * (size_t)(geometry.nChannels * geometry.nBytesPerChannel);
    const size_t cbPlaneRow = (size_t)unWidth * (size_t)geometry.nBytesPerChannel;
    if (cbRow == 0 || qwSize != (UINT64)cbRow * unHeight)
        return E_INVALIDARG;

    BYTE *const *ppPlanes = pBuffer->m_ppPlaneTable;
    const PFN_MergeRow pfnMerge = ChooseMergeRow(geometry);
    const PFN_SplitRow pfnSplit = ChooseSplitRow(geometry);
    ForEachRow((int)unHeight, [&](int y) {
        BYTE *apPlanes[4];
        for (int c = 0; c < 4; ++c)
            apPlanes[c] = c < geometry.nChannels ? ppPlanes[c] + (size_t)y * cbPlaneRow : nullptr;
        if (bToPacked)
            pfnMerge(pPacked + (size_t)y * cbRow, apPlanes, unWidth);
        else
            pfnSplit(pPacked + (size_t)y * cbRow, apPlanes, unWidth);
    });
    return S_OK;
}

HRESULT MovePacked(ZuBufferAllocator *pAllocator, CQELImageBuffer *pBuffer, BYTE *pPacked, UINT64 qwSize,
                   bool bToPacked)
{
    if (pBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR)
        return MovePlanes(pBuffer, pPacked, qwSize, bToPacked);
    return pAllocator->copyBufferData(&pBuffer, pPacked, 0, qwSize, bToPacked);
}

namespace {

// Scattered or planar buffers: the whole image passes through one packed
// staging block.
HRESULT CopyStaged(ZuBufferAllocator *pAllocator, CQELImageBuffer *pFrom, CQELImageBuffer *pTo, UINT64 qwSize)
{
    std::unique_ptr<BYTE[]> pStaging(new (std::nothrow) BYTE[qwSize]);
    if (!pStaging)
        return E_OUTOFMEMORY;
    HRESULT hr = MovePacked(pAllocator, pFrom, pStaging.get(), qwSize, true);
    if (SUCCEEDED(hr))
        hr = MovePacked(pAllocator, pTo, pStaging.get(), qwSize, false);
    return hr;
}

} // namespace

HRESULT CopyIntoLocked(ZuBufferAllocator *pAllocator, CQELImageBuffer *pFrom, CQELImageBuffer *pTo, BYTE *pToData,
                       UINT64 qwSize)
{
    if (pTo->m_nAllocateType == BUFFER_ALLOCATE_TYPE_BYTE)
        return MovePacked(pAllocator, pFrom, pToData, qwSize, true);
    return CopyStaged(pAllocator, pFrom, pTo, qwSize);
}

HRESULT CopyFromLocked(ZuBufferAllocator *pAllocator, CQELImageBuffer *pFrom, BYTE *pFromData, CQELImageBuffer *pTo,
                       UINT64 qwSize)
{
    if (pFrom->m_nAllocateType == BUFFER_ALLOCATE_TYPE_BYTE)
        return MovePacked(pAllocator, pTo, pFromData, qwSize, false);
    return CopyStaged(pAllocator, pFrom, pTo, qwSize);
}

} // namespace qel
