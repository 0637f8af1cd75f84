// Conversion between BGRA images and 8-bit masks: ImageBufferToMask and
// MaskToImageBuffer. Both make a new BYTE buffer and walk the rows on the
// calling thread; the source is only read.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "BufferGuards.h"
#include "MaskConvertKernels.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

const char kImageBufferToMask[] = "PyQelBufferUtility::ImageBufferToMask";
const char kMaskToImageBuffer[] = "PyQelBufferUtility::MaskToImageBuffer";

int RowCount(UINT unHeight)
{
    return static_cast<int>(std::min<UINT>(unHeight, INT_MAX));
}

// The alpha channel of an 8-bit BGRA image as a mask that carries the
// image's attributes (it stands for the same layer).
CQELImageBuffer *AlphaToMask(ZuBufferAllocator *pAllocator, CQELImageBuffer *pSrcImageBuffer, UINT unBpp)
{
    if (unBpp != ZU_PIXEL_4BYTES) {
        QEL_TRACE("unsupported BPP %d", static_cast<int>(unBpp));
        return nullptr;
    }
    CNewBuffer mask;
    pAllocator->allocateImageBuffer(mask.out(), pSrcImageBuffer->getWidth(), pSrcImageBuffer->getHeight(),
                                    ZU_PIXEL_1BYTES, BUFFER_ALLOCATE_TYPE_BYTE);
    if (!mask)
        return nullptr;

    CBufferLock srcLock(pSrcImageBuffer, pSrcImageBuffer->getWidth(), pSrcImageBuffer->getHeight());
    if (!srcLock.locked()) {
        QEL_TRACE("[%s][4Bytes] lock source failed, %0x", kImageBufferToMask, QEL_ADDR32(pSrcImageBuffer));
        return nullptr;
    }
    CBufferLock maskLock(mask.get(), 0, 0);

    const UINT unWidth = std::min(pSrcImageBuffer->getWidth(), mask->getWidth());
    const UINT unHeight = std::min(pSrcImageBuffer->getHeight(), mask->getHeight());
    BYTE *const *ppSrcRows = pSrcImageBuffer->m_ppStrideTable;
    BYTE *const *ppMaskRows = mask->m_ppStrideTable;
    if (ppSrcRows != nullptr && ppMaskRows != nullptr && unWidth > 0) {
        qel::ForEachRow(RowCount(unHeight),
                        [&](int y) { qel::AlphaToMaskRow(ppSrcRows[y], ppMaskRows[y], unWidth); });
    }

    CopyAttributes(mask.get(), pSrcImageBuffer);
    srcLock.unlock();
    maskLock.unlock();
    return mask.detach();
}

// The mean colour of a BGRA image as a mask. Unlike the alpha mask it does
// not take over the image's attributes.
CQELImageBuffer *ColorToMask(ZuBufferAllocator *pAllocator, CQELImageBuffer *pSrcImageBuffer, UINT unBpp)
{
    CNewBuffer mask;
    pAllocator->allocateImageBuffer(mask.out(), pSrcImageBuffer->getWidth(), pSrcImageBuffer->getHeight(),
                                    ZU_PIXEL_1BYTES, BUFFER_ALLOCATE_TYPE_BYTE);
    if (!mask)
        return nullptr;

    CBufferLock srcLock(pSrcImageBuffer, 0, 0);
    if (!srcLock.locked()) {
        QEL_TRACE("[%s][FromColor] lock src failed, %0x", kImageBufferToMask, QEL_ADDR32(pSrcImageBuffer));
        return nullptr;
    }
    CBufferLock maskLock(mask.get(), 0, 0);

    const UINT unWidth = std::min(srcLock.width(), mask->getWidth());
    const UINT unHeight = std::min(srcLock.height(), mask->getHeight());
    BYTE *const *ppSrcRows = pSrcImageBuffer->m_ppStrideTable;
    BYTE *const *ppMaskRows = mask->m_ppStrideTable;
    if (ppSrcRows != nullptr && ppMaskRows != nullptr && unWidth > 0) {
        if (unBpp == ZU_PIXEL_4BYTES) {
            qel::ForEachRow(RowCount(unHeight),
                            [&](int y) { qel::ColorToMaskRow(ppSrcRows[y], ppMaskRows[y], unWidth); });
        } else if (unBpp == ZU_PIXEL_8BYTES) {
            qel::ForEachRow(RowCount(unHeight), [&](int y) {
                qel::Color16ToMaskRow(reinterpret_cast<const std::uint16_t *>(ppSrcRows[y]), ppMaskRows[y],
                                      unWidth);
            });
        } else {
            // Formats without a colour mean still yield a mask; it is empty
            // rather than whatever the allocator left in it.
            qel::ForEachRow(RowCount(unHeight), [&](int y) { qel::ClearMaskRow(ppMaskRows[y], unWidth); });
        }
    }

    maskLock.unlock();
    srcLock.unlock();
    return mask.detach();
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::ImageBufferToMask(CQELImageBuffer *pSrcImageBuffer, bool bFromColor)
{
    QEL_TRACE_ENTRY(kImageBufferToMask);
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    if (pSrcImageBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("Planar buffer does not have alpha channel");
        return nullptr;
    }
    const UINT unBpp = pSrcImageBuffer->getBytesPerPixel();
    CQELImageBuffer *pMask = bFromColor ? ColorToMask(m_pBufferAllocator, pSrcImageBuffer, unBpp)
                                        : AlphaToMask(m_pBufferAllocator, pSrcImageBuffer, unBpp);
    if (pMask != nullptr)
        QEL_TRACE_END(kImageBufferToMask);
    return pMask;
}

CQELImageBuffer *PyQelBufferUtility::MaskToImageBuffer(CQELImageBuffer *pSrcMaskBuffer, bool bToColor)
{
    QEL_TRACE_ENTRY(kMaskToImageBuffer);
    if (pSrcMaskBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    const UINT unBpp = pSrcMaskBuffer->getBytesPerPixel();
    if (unBpp != ZU_PIXEL_1BYTES) {
        QEL_TRACE("unsupported BPP %d", static_cast<int>(unBpp));
        return nullptr;
    }

    CNewBuffer image;
    m_pBufferAllocator->allocateImageBuffer(image.out(), pSrcMaskBuffer->getWidth(), pSrcMaskBuffer->getHeight(),
                                            ZU_PIXEL_4BYTES, BUFFER_ALLOCATE_TYPE_BYTE);
    if (!image)
        return nullptr;

    CBufferLock maskLock(pSrcMaskBuffer, 0, 0);
    if (!maskLock.locked()) {
        QEL_TRACE("[%s] lock src failed", kMaskToImageBuffer);
        return nullptr;
    }
    CBufferLock imageLock(image.get(), 0, 0);

    const UINT unWidth = std::min(pSrcMaskBuffer->getWidth(), image->getWidth());
    const UINT unHeight = std::min(pSrcMaskBuffer->getHeight(), image->getHeight());
    BYTE *const *ppMaskRows = pSrcMaskBuffer->m_ppStrideTable;
    BYTE *const *ppImageRows = image->m_ppStrideTable;
    if (ppMaskRows != nullptr && ppImageRows != nullptr && unWidth > 0) {
        if (bToColor) {
            qel::ForEachRow(RowCount(unHeight),
                            [&](int y) { qel::MaskToGreyRow(ppMaskRows[y], ppImageRows[y], unWidth); });
        } else {
            qel::ForEachRow(RowCount(unHeight),
                            [&](int y) { qel::MaskToAlphaRow(ppMaskRows[y], ppImageRows[y], unWidth); });
        }
    }

    imageLock.unlock();
    maskLock.unlock();
    QEL_TRACE_END(kMaskToImageBuffer);
    return image.detach();
}
