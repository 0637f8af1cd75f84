// Pixel conversion modes of BGRA buffers: ImagePixelConvert,
// ImagePixelConvertByMask and ClearBGRByAlphaChannel. Rows run on the
// calling thread with the interpreter lock held, as the editor's scripts
// expect of these quick per-layer operations.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "BufferGuards.h"
#include "PixelConvertKernels.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

const char kImagePixelConvert[] = "PyQelBufferUtility::ImagePixelConvert";
const char kImagePixelConvertByMask[] = "PyQelBufferUtility::ImagePixelConvertByMask";
const char kClearBGRByAlphaChannel[] = "PyQelBufferUtility::ClearBGRByAlphaChannel";

// The three methods work on interleaved 8- or 16-bit BGRA rows only.
bool IsInterleavedBGRA(CQELImageBuffer *pBuffer)
{
    if (pBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("Not Support for Planar");
        return false;
    }
    const UINT unBpp = pBuffer->getBytesPerPixel();
    if (unBpp != 4 && unBpp != 8) {
        QEL_TRACE("Only Support BGRA32 or BGRA64");
        return false;
    }
    return true;
}

int RowCount(UINT unHeight)
{
    return static_cast<int>(std::min<UINT>(unHeight, INT_MAX));
}

// A row kernel over one source row, one destination row (the same row when
// converting in place) and the mask row of that line, or null.
typedef void (*PFN_ConvertRow)(const BYTE *pSrc, const BYTE *pMask, BYTE *pDst, UINT unCount, UINT unBpp);

template <class T, class Rule>
void RuleRow(const BYTE *pSrc, const BYTE *, BYTE *pDst, UINT unCount, UINT)
{
    qel::PixelRuleRow<T, Rule>(reinterpret_cast<const T *>(pSrc), reinterpret_cast<T *>(pDst), unCount);
}

template <class T>
void MaskInvertRow(const BYTE *pSrc, const BYTE *pMask, BYTE *pDst, UINT unCount, UINT)
{
    qel::InvertByMaskRow<T>(reinterpret_cast<const T *>(pSrc), pMask, reinterpret_cast<T *>(pDst), unCount);
}

// A mode without a rule leaves the pixels as they are; a separate
// destination therefore receives a plain copy of the source.
void UnchangedRow(const BYTE *pSrc, const BYTE *, BYTE *pDst, UINT unCount, UINT unBpp)
{
    qel::CopyPixelRow(pSrc, pDst, static_cast<std::size_t>(unCount) * unBpp);
}

template <class T>
PFN_ConvertRow ModeRowFor(int nMode)
{
    switch (nMode) {
    case PIXEL_CONVERT_ALPHA_REVEAL:
        return &RuleRow<T, qel::RevealAlphaRule<T>>;
    case PIXEL_CONVERT_ALPHA_REPLACE:
        return &RuleRow<T, qel::ReplaceByAlphaRule<T>>;
    case PIXEL_CONVERT_ALPHA_COLOR:
        return &RuleRow<T, qel::ColorToGreyRule<T>>;
    case PIXEL_CONVERT_INVERT_COLOR:
        return &RuleRow<T, qel::InvertColorRule<T>>;
    default:
        return &UnchangedRow;
    }
}

// Destination, locks and row walk shared by the two mode methods. The
// unchanged source is handed back when an in-place lock fails, so a script
// that chains calls on the same layer keeps a valid buffer.
CQELImageBuffer *ConvertBGRARows(ZuBufferAllocator *pAllocator, const char *pszName,
                                 CQELImageBuffer *pSrcImageBuffer, CQELImageBuffer *pMaskBuffer, bool bInplace,
                                 PFN_ConvertRow pfnRow)
{
    const UINT unBpp = pSrcImageBuffer->getBytesPerPixel();

    CNewBuffer newBuffer;
    if (!bInplace) {
        pAllocator->allocateImageBuffer(newBuffer.out(), pSrcImageBuffer->getWidth(), pSrcImageBuffer->getHeight(),
                                        unBpp, BUFFER_ALLOCATE_TYPE_BYTE);
        if (!newBuffer)
            return nullptr;
    }

    CBufferLock srcLock(pSrcImageBuffer, 0, 0);
    if (!srcLock.locked()) {
        QEL_TRACE("[%s][%d] lock src failed, %0x", pszName, bInplace ? 1 : 0, QEL_ADDR32(pSrcImageBuffer));
        return bInplace ? pSrcImageBuffer : nullptr;
    }
    CQELImageBuffer *pDst = bInplace ? pSrcImageBuffer : newBuffer.get();
    CBufferLock dstLock(bInplace ? nullptr : pDst, 0, 0);
    // The mask is only read. It is held locked like every other buffer whose
    // rows are walked, but its lock result is not a reason to stop: the
    // editor has always read masks through their row table unlocked.
    CBufferLock maskLock(pMaskBuffer, 0, 0);

    // The source lock's size bounds the walk; the other buffers were checked
    // or made to match it, and the clamps keep every access inside them.
    UINT unWidth = srcLock.width();
    UINT unHeight = srcLock.height();
    if (!bInplace) {
        unWidth = std::min(unWidth, pDst->getWidth());
        unHeight = std::min(unHeight, pDst->getHeight());
    }
    BYTE *const *ppMaskRows = nullptr;
    if (pMaskBuffer != nullptr) {
        unWidth = std::min(unWidth, pMaskBuffer->getWidth());
        unHeight = std::min(unHeight, pMaskBuffer->getHeight());
        ppMaskRows = pMaskBuffer->m_ppStrideTable;
    }

    BYTE *const *ppSrcRows = pSrcImageBuffer->m_ppStrideTable;
    BYTE *const *ppDstRows = pDst->m_ppStrideTable;
    const bool bRowsReachable = ppSrcRows != nullptr && ppDstRows != nullptr &&
                                (pMaskBuffer == nullptr || ppMaskRows != nullptr);
    if (bRowsReachable && unWidth > 0) {
        qel::ForEachRow(RowCount(unHeight), [&](int y) {
            pfnRow(ppSrcRows[y], ppMaskRows != nullptr ? ppMaskRows[y] : nullptr, ppDstRows[y], unWidth, unBpp);
        });
    }
    maskLock.unlock();

    if (!bInplace) {
        CopyAttributes(pDst, pSrcImageBuffer);
        dstLock.unlock();
    }
    srcLock.unlock();
    QEL_TRACE_END(pszName);
    return bInplace ? pSrcImageBuffer : newBuffer.detach();
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::ImagePixelConvert(CQELImageBuffer *pSrcImageBuffer, PIXEL_CONVERT_MODE nMode,
                                                       bool bInplace)
{
    QEL_TRACE_ENTRY(kImagePixelConvert);
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    // Python may pass any int as the mode; read it as a plain int from here.
    const int nModeValue = static_cast<int>(nMode);
    if (nModeValue == PIXEL_CONVERT_NOACT) {
        QEL_TRACE("Nothing to do");
        return nullptr;
    }
    if (!IsInterleavedBGRA(pSrcImageBuffer))
        return nullptr;

    const PFN_ConvertRow pfnRow = pSrcImageBuffer->getBytesPerPixel() == 4 ? ModeRowFor<BYTE>(nModeValue)
                                                                           : ModeRowFor<std::uint16_t>(nModeValue);
    return ConvertBGRARows(m_pBufferAllocator, kImagePixelConvert, pSrcImageBuffer, nullptr, bInplace, pfnRow);
}

CQELImageBuffer *PyQelBufferUtility::ImagePixelConvertByMask(CQELImageBuffer *pSrcImageBuffer,
                                                             CQELImageBuffer *pMaskBuffer, PIXEL_CONVERT_MODE nMode,
                                                             bool bInplace)
{
    QEL_TRACE_ENTRY(kImagePixelConvertByMask);
    if (pSrcImageBuffer == nullptr || pMaskBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    if (pMaskBuffer->getWidth() != pSrcImageBuffer->getWidth() ||
        pMaskBuffer->getHeight() != pSrcImageBuffer->getHeight()) {
        QEL_TRACE("Mask Size not Match to SrcImage");
        return nullptr;
    }
    if (!IsInterleavedBGRA(pSrcImageBuffer))
        return nullptr;
    // A planar mask has no row table to read its bytes from.
    if (pMaskBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("Not Support for Planar");
        return nullptr;
    }

    const bool b8Bit = pSrcImageBuffer->getBytesPerPixel() == 4;
    PFN_ConvertRow pfnRow = &UnchangedRow;
    if (static_cast<int>(nMode) == PIXEL_CONVERT_INVERT_COLOR_BY_MASK)
        pfnRow = b8Bit ? &MaskInvertRow<BYTE> : &MaskInvertRow<std::uint16_t>;
    // Without a rule the mask is not read at all.
    CQELImageBuffer *pReadMask = pfnRow == &UnchangedRow ? nullptr : pMaskBuffer;
    return ConvertBGRARows(m_pBufferAllocator, kImagePixelConvertByMask, pSrcImageBuffer, pReadMask, bInplace,
                           pfnRow);
}

CQELImageBuffer *PyQelBufferUtility::ClearBGRByAlphaChannel(CQELImageBuffer *pSrcImageBuffer, int nThreshold)
{
    QEL_TRACE_ENTRY(kClearBGRByAlphaChannel);
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    if (!IsInterleavedBGRA(pSrcImageBuffer))
        return nullptr;

    const UINT unBpp = pSrcImageBuffer->getBytesPerPixel();
    CNewBuffer newBuffer;
    m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), pSrcImageBuffer->getWidth(),
                                            pSrcImageBuffer->getHeight(), unBpp, BUFFER_ALLOCATE_TYPE_BYTE);
    if (!newBuffer)
        return nullptr;

    // Neither lock result is examined: both locks report into one size, so
    // the loops run over what the new buffer's lock reported, also when the
    // source's lock failed (its row table stays valid). The source's own
    // size bounds the reads.
    CBufferLock srcLock(pSrcImageBuffer, 0, 0);
    CBufferLock dstLock(newBuffer.get(), 0, 0);
    const UINT unWidth = std::min(dstLock.width(), pSrcImageBuffer->getWidth());
    const UINT unHeight = std::min(dstLock.height(), pSrcImageBuffer->getHeight());
    BYTE *const *ppSrcRows = pSrcImageBuffer->m_ppStrideTable;
    BYTE *const *ppDstRows = newBuffer->m_ppStrideTable;

    if (ppSrcRows != nullptr && ppDstRows != nullptr && unWidth > 0) {
        // The threshold is compared at the channel's width: its low 8 or 16 bits.
        if (unBpp == 4) {
            const BYTE byThreshold = static_cast<BYTE>(nThreshold);
            qel::ForEachRow(RowCount(unHeight), [&](int y) {
                qel::ClearBGRByAlphaRow<BYTE>(ppSrcRows[y], ppDstRows[y], unWidth, byThreshold);
            });
        } else {
            const std::uint16_t wThreshold = static_cast<std::uint16_t>(nThreshold);
            qel::ForEachRow(RowCount(unHeight), [&](int y) {
                qel::ClearBGRByAlphaRow<std::uint16_t>(reinterpret_cast<const std::uint16_t *>(ppSrcRows[y]),
                                                       reinterpret_cast<std::uint16_t *>(ppDstRows[y]), unWidth,
                                                       wThreshold);
            });
        }
    }

    CopyAttributes(newBuffer.get(), pSrcImageBuffer);
    dstLock.unlock();
    srcLock.unlock();
    QEL_TRACE_END(kClearBGRByAlphaChannel);
    return newBuffer.detach();
}
