// Colour-depth conversion: a new buffer in another bytes-per-pixel format,
// made from a source buffer whose width, height and format the caller names.
// Rows are converted on the OpenMP team.

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "ColorDepthKernels.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

using qel::depth::PFN_DepthRow;

PFN_DepthRow ChooseColorDepthKernel(int srcBPP, int dstBPP)
{
    switch (srcBPP) {
    case 8:
        if (dstBPP == 4)
            return qel::depth::Bgra64ToBgra32Row;
        if (dstBPP == 1)
            return qel::depth::Bgra64ToGrey8Row;
        break;
    case 4:
        if (dstBPP == 8)
            return qel::depth::Bgra32ToBgra64Row;
        if (dstBPP == 1)
            return qel::depth::Bgra32ToGrey8Row;
        break;
    case 1:
        if (dstBPP == 4)
            return qel::depth::Mask8ToBgra32Row;
        if (dstBPP == 2)
            return qel::depth::Mask8ToGrey16Row;
        break;
    default:
        break;
    }
    return nullptr;
}

PFN_DepthRow ChooseToMaskKernel(int srcBPP, int dstBPP)
{
    if (srcBPP == 4 && dstBPP == 1)
        return qel::depth::Bgra32AlphaToMask8Row;
    return nullptr;
}

struct DepthMethod {
    const char *pszName;
    PFN_DepthRow (*pfnChoose)(int srcBPP, int dstBPP);
    // Only the colour-depth conversion gives up when the source cannot be
    // locked; the mask extraction reads the rows regardless.
    bool bNeedSourceLock;
};

const DepthMethod kColorDepth = {"PyQelBufferUtility::ConvertImageBufferColorDepth", ChooseColorDepthKernel, true};
const DepthMethod kToMask = {"PyQelBufferUtility::ConvertImageBufferToMask", ChooseToMaskKernel, false};

// The caller's width, height and source format drive a kernel's reads, so a
// call that would read past the source's rows is refused before anything is
// allocated. A smaller width or height converts the top-left part.
bool ReadsFitSource(const DepthMethod &method, CQELImageBuffer *pSrc, int nWidth, int nHeight, int srcBPP)
{
    if (nWidth <= 0 || nHeight <= 0)
        return true;
    const UINT unSrcWidth = pSrc->getWidth();
    const UINT unSrcHeight = pSrc->getHeight();
    const UINT unSrcBPP = pSrc->getBytesPerPixel();
    if (static_cast<UINT64>(nWidth) * static_cast<UINT>(srcBPP) <= static_cast<UINT64>(unSrcWidth) * unSrcBPP &&
        static_cast<UINT>(nHeight) <= unSrcHeight)
        return true;
    QEL_TRACE("[%s] W(%d), H(%d), BPP(%d) do not fit the source W(%u), H(%u), BPP(%u)", method.pszName, nWidth,
              nHeight, srcBPP, unSrcWidth, unSrcHeight, unSrcBPP);
    return false;
}

template <class FnSetLastError>
CQELImageBuffer *ConvertDepth(const DepthMethod &method, ZuBufferAllocator *pAllocator, CQELImageBuffer *pSrc,
                              int nWidth, int nHeight, int srcBPP, int dstBPP, FnSetLastError &&fnSetLastError)
{
    QEL_TRACE_ENTRY(method.pszName);
    if (pSrc == nullptr || pAllocator == nullptr)
        return nullptr;
    if (pSrc->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("Planar buffer does not support color depth transformation");
        return nullptr;
    }

    const bool bSameFormat = srcBPP == dstBPP;
    const PFN_DepthRow pfnRow = bSameFormat ? nullptr : method.pfnChoose(srcBPP, dstBPP);
    if (pfnRow != nullptr && !ReadsFitSource(method, pSrc, nWidth, nHeight, srcBPP))
        return nullptr;

    CPyAllowThreads allowThreads;

    CNewBuffer newBuffer;
    const HRESULT hr = pAllocator->allocateImageBuffer(newBuffer.out(), static_cast<UINT>(nWidth),
                                                       static_cast<UINT>(nHeight), static_cast<UINT>(dstBPP),
                                                       pSrc->m_nAllocateType);
    QEL_TRACE(" allocateImageBuffer, HR = %x", static_cast<unsigned>(hr));
    if (FAILED(hr)) {
        fnSetLastError(hr);
        return nullptr;
    }
    if (!newBuffer)
        return nullptr;

    CBufferLock srcLock(pSrc, static_cast<UINT>(nWidth), static_cast<UINT>(nHeight));
    if (method.bNeedSourceLock && !srcLock.locked()) {
        QEL_TRACE("[%s] lock source failed, %0x", method.pszName, QEL_ADDR32(pSrc));
        return nullptr;
    }
    CBufferLock dstLock(newBuffer.get(), static_cast<UINT>(nWidth), static_cast<UINT>(nHeight));

    BYTE *const *ppSrcRows = pSrc->m_ppStrideTable;
    BYTE *const *ppDstRows = newBuffer->m_ppStrideTable;
    const bool bRowsReachable = ppSrcRows != nullptr && ppDstRows != nullptr;
    const int nRows = bRowsReachable ? nHeight : 0;

    if (bSameFormat) {
        // An identity conversion hands back a copy of the source's pixels,
        // as far as the source reaches; the rest stays as allocated.
        const UINT64 cbSrcRow = static_cast<UINT64>(pSrc->getWidth()) * pSrc->getBytesPerPixel();
        const UINT64 cbDstRow = nWidth > 0 ? static_cast<UINT64>(nWidth) * static_cast<UINT>(dstBPP) : 0;
        const std::size_t cbRow = static_cast<std::size_t>(std::min(cbSrcRow, cbDstRow));
        const int nCopyRows = std::min<long long>(nRows, pSrc->getHeight());
        qel::ForEachRowParallel(nCopyRows, [&](int y) { qel::depth::CopyRow(ppSrcRows[y], ppDstRows[y], cbRow); });
    } else if (pfnRow != nullptr) {
        qel::ForEachRowParallel(nRows, [&](int y) { pfnRow(ppSrcRows[y], ppDstRows[y], nWidth); });
    } else {
        QEL_TRACE_W(L"Undefined BPP to be converted!!");
        // No formula for this pair: the new pixels are cleared, whatever the
        // allocator left in them.
        const std::size_t cbRow = nWidth > 0 ? static_cast<std::size_t>(nWidth) * static_cast<std::size_t>(dstBPP) : 0;
        qel::ForEachRowParallel(ppDstRows != nullptr ? nHeight : 0,
                                [&](int y) { std::memset(ppDstRows[y], 0, cbRow); });
    }

    CopyAttributes(newBuffer.get(), pSrc);
    dstLock.unlock();
    srcLock.unlock();

    QEL_TRACE_END(method.pszName);
    return newBuffer.detach();
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::ConvertImageBufferColorDepth(CQELImageBuffer *pSrcImageBuffer, int nWidth,
                                                                  int nHeight, int srcBPP, int dstBPP)
{
    return ConvertDepth(kColorDepth, m_pBufferAllocator, pSrcImageBuffer, nWidth, nHeight, srcBPP, dstBPP,
                        [this](HRESULT hr) { m_fnSetLastErrorHr(hr); });
}

CQELImageBuffer *PyQelBufferUtility::ConvertImageBufferToMask(CQELImageBuffer *pSrcImageBuffer, int nWidth,
                                                              int nHeight, int srcBPP, int dstBPP)
{
    return ConvertDepth(kToMask, m_pBufferAllocator, pSrcImageBuffer, nWidth, nHeight, srcBPP, dstBPP,
                        [this](HRESULT hr) { m_fnSetLastErrorHr(hr); });
}
