// Two plain two-buffer operations: a weighted blend of two BGRA images that
// keeps the first one's alpha, and the copy of a rectangle of one buffer
// into a rectangle of another.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "BlendKernels.h"
#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "SSELevel.h"
#include "TraceLog.h"

namespace {

const char kUpdateImageBuffer[] = "PyQelBufferUtility::UpdateImageBuffer";

// Where channel c of row y of a 4-byte buffer lives: inside its interleaved
// row (through the stride table) or in plane c (PLANAR).
struct tagChannelRows {
    BYTE *const *ppRows;
    BYTE *const *ppPlanes;
    size_t cbPlaneRow;

    bool Planar() const { return ppPlanes != nullptr; }
    bool Reachable() const { return ppRows != nullptr || ppPlanes != nullptr; }
    BYTE *Row(int y) const { return ppRows[y]; }
    BYTE *Channel(int c, int y) const
    {
        return Planar() ? ppPlanes[c] + static_cast<size_t>(y) * cbPlaneRow : ppRows[y] + c;
    }
    int Step() const { return Planar() ? 1 : 4; }
};

tagChannelRows ChannelRowsOf(CQELImageBuffer *pBuffer, UINT unWidth)
{
    if (pBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR)
        return {nullptr, pBuffer->m_ppPlaneTable, static_cast<size_t>(unWidth)};
    return {pBuffer->m_ppStrideTable, nullptr, 0};
}

// The weight of the second image. Outside 0..1 the integer weights would
// clamp while the float ones would go negative and wrap when stored, so the
// ratio is clamped first and both paths agree; NaN counts as 0.
float ClampRatio(float fRatio)
{
    if (!(fRatio > 0.0f))
        return 0.0f;
    return fRatio < 1.0f ? fRatio : 1.0f;
}

int ClampWeight(float fWeight)
{
    return static_cast<int>(std::min(std::max(fWeight, 0.0f), 255.0f));
}

void BuildTables(float r, qel::blend::tagIntTables *pTables)
{
    // In float, as the weights have always been rounded: r * 255 + 0.5 and
    // (255 - r * 255) + 0.5, truncated.
    const float fScaled = r * 255.0f;
    const int ws = ClampWeight(fScaled + 0.5f);
    const int wf = ClampWeight((255.0f - fScaled) + 0.5f);
    for (int i = 0; i < 256; ++i) {
        pTables->aS[i] = i * ws;
        pTables->aF[i] = i * wf;
    }
    pTables->unWs = static_cast<std::uint32_t>(ws);
    pTables->unWf = static_cast<std::uint32_t>(wf);
    pTables->bPaired = ws + wf <= 256;
}

void BuildTables(float r, qel::blend::tagFloatTables *pTables)
{
    const float fOther = 1.0f - r;
    for (int i = 0; i < 256; ++i) {
        pTables->aS[i] = std::min(static_cast<float>(i) * r, 255.0f);
        pTables->aF[i] = std::min(static_cast<float>(i) * fOther, 255.0f);
    }
}

// Rows one after the other; interleaved images a row at a time, any other
// mix channel by channel.
template <class Tables, BYTE (*pfnChannel)(const Tables &, BYTE, BYTE)>
void BlendRows(const tagChannelRows &first, const tagChannelRows &second, const tagChannelRows &out, int nWidth,
               int nHeight, const Tables &tables,
               void (*pfnRow)(const BYTE *, const BYTE *, BYTE *, int, const Tables &))
{
    const bool bInterleaved = !first.Planar() && !second.Planar() && !out.Planar();
    for (int y = 0; y < nHeight; ++y) {
        if (bInterleaved) {
            pfnRow(first.Row(y), second.Row(y), out.Row(y), nWidth, tables);
            continue;
        }
        for (int c = 0; c < 3; ++c)
            qel::blend::ChannelRun<Tables, pfnChannel>(first.Channel(c, y), first.Step(), second.Channel(c, y),
                                                       second.Step(), out.Channel(c, y), out.Step(), nWidth,
                                                       tables);
        qel::blend::CopyChannelRun(first.Channel(3, y), first.Step(), out.Channel(3, y), out.Step(), nWidth);
    }
}

// A rectangle tuple read as four ints; a value that does not parse stays 0
// (and the ones before it keep what was read). The parser's error is
// dropped: the call goes on with those values.
void ReadRect(PyObject *pPyoRect, int anRect[4])
{
    if (pPyoRect == nullptr)
        return;
    if (!PyArg_ParseTuple(pPyoRect, "iiii", &anRect[0], &anRect[1], &anRect[2], &anRect[3]))
        PyErr_Clear();
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::BlendIgnoreAlphaChannel(CQELImageBuffer *pFirstBuffer,
                                                             CQELImageBuffer *pSecondBuffer, float fRatio)
{
    if (pFirstBuffer == nullptr || pSecondBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    const UINT W = pFirstBuffer->getWidth(), H = pFirstBuffer->getHeight();
    const UINT unBpp = pFirstBuffer->getBytesPerPixel();
    if (W != pSecondBuffer->getWidth() || H != pSecondBuffer->getHeight() ||
        unBpp != pSecondBuffer->getBytesPerPixel()) {
        QEL_TRACE("not allow different size");
        return nullptr;
    }
    if (unBpp != 4) {
        QEL_TRACE("Only allow 4 BPP");
        return nullptr;
    }

    CPyAllowThreads allowThreads;
    CNewBuffer result;
    const HRESULT hr = m_pBufferAllocator->allocateImageBuffer(result.out(), W, H, 4, pFirstBuffer->m_nAllocateType);
    QEL_TRACE(" allocateImageBuffer, HR = %x", static_cast<unsigned>(hr));
    if (FAILED(hr)) {
        m_fnSetLastErrorHr(hr);
        return nullptr;
    }
    if (!result)
        return nullptr;

    // The lock results are not examined: rows are reached through each
    // buffer's own tables, over the size all three share.
    CBufferLock firstLock(pFirstBuffer, W, H);
    CBufferLock secondLock(pSecondBuffer, W, H);
    CBufferLock resultLock(result.get(), W, H);

    const tagChannelRows first = ChannelRowsOf(pFirstBuffer, W);
    const tagChannelRows second = ChannelRowsOf(pSecondBuffer, W);
    const tagChannelRows out = ChannelRowsOf(result.get(), W);
    if (!first.Reachable() || !second.Reachable() || !out.Reachable())
        return nullptr;

    const float r = ClampRatio(fRatio);
    const int nWidth = static_cast<int>(W), nHeight = static_cast<int>(H);
    if (GetSSELevel() >= 5) {
        qel::blend::tagIntTables tables;
        BuildTables(r, &tables);
        BlendRows<qel::blend::tagIntTables, qel::blend::IntChannel>(first, second, out, nWidth, nHeight, tables,
                                                                    qel::blend::IntRow);
    } else {
        qel::blend::tagFloatTables tables;
        BuildTables(r, &tables);
        BlendRows<qel::blend::tagFloatTables, qel::blend::FloatChannel>(first, second, out, nWidth, nHeight,
                                                                        tables, qel::blend::FloatRow);
    }

    resultLock.unlock();
    secondLock.unlock();
    firstLock.unlock();
    return result.detach();
}

HRESULT PyQelBufferUtility::UpdateImageBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer,
                                              PyObject *pPyoDstROI, PyObject *pPyoSrcROI)
{
    if (pDstBuffer == nullptr) {
        QEL_TRACE_NULL(kUpdateImageBuffer, "pDstBuffer");
        return E_POINTER;
    }
    if (pSrcBuffer == nullptr) {
        QEL_TRACE_NULL(kUpdateImageBuffer, "pSrcBuffer");
        return E_POINTER;
    }
    int anDst[4] = {0, 0, 0, 0}, anSrc[4] = {0, 0, 0, 0};
    ReadRect(pPyoDstROI, anDst);
    ReadRect(pPyoSrcROI, anSrc);
    if (anDst[2] != anSrc[2] || anDst[3] != anSrc[3]) {
        QEL_TRACE("[UpdateImageBuffer] size does not match, dst:(%d, %d), src:(%d, %d)", anDst[2], anDst[3],
                  anSrc[2], anSrc[3]);
        return E_INVALIDARG;
    }
    const UINT unBpp = pDstBuffer->getBytesPerPixel();
    const UINT unSrcBpp = pSrcBuffer->getBytesPerPixel();
    if (unBpp != unSrcBpp) {
        QEL_TRACE("[UpdateImageBuffer] bpp does not match, dst:%d, src:%d", static_cast<int>(unBpp),
                  static_cast<int>(unSrcBpp));
        return E_INVALIDARG;
    }

    CBufferLock dstLock(pDstBuffer, pDstBuffer->getWidth(), pDstBuffer->getHeight());
    if (!dstLock.locked()) {
        QEL_TRACE("[%s] lock dst buffer failed, %0x", kUpdateImageBuffer, QEL_ADDR32(pDstBuffer));
        return E_POINTER;
    }
    CBufferLock srcLock(pSrcBuffer, pSrcBuffer->getWidth(), pSrcBuffer->getHeight());
    if (!srcLock.locked()) {
        QEL_TRACE("[%s] lock src buffer failed, %0x", kUpdateImageBuffer, QEL_ADDR32(pSrcBuffer));
        return E_POINTER;
    }
    BYTE *const *ppDstRows = pDstBuffer->m_ppStrideTable;
    BYTE *const *ppSrcRows = pSrcBuffer->m_ppStrideTable;
    if (ppDstRows == nullptr || ppSrcRows == nullptr) {
        QEL_TRACE("[UpdateImageBuffer] no stride table, dst:%0x, src:%0x", QEL_ADDR32(ppDstRows),
                  QEL_ADDR32(ppSrcRows));
        return E_POINTER;
    }

    // Only the part of the rectangles that lies inside both buffers is
    // copied: rows and columns are cut by the same amount on both sides, so
    // every pixel that is copied lands where the caller put it.
    const long long llDstW = std::min(dstLock.width(), pDstBuffer->getWidth());
    const long long llDstH = std::min(dstLock.height(), pDstBuffer->getHeight());
    const long long llSrcW = std::min(srcLock.width(), pSrcBuffer->getWidth());
    const long long llSrcH = std::min(srcLock.height(), pSrcBuffer->getHeight());
    const long long dx = anDst[0], dy = anDst[1], sx = anSrc[0], sy = anSrc[1];
    const long long c0 = std::max({0ll, -dx, -sx});
    const long long c1 = std::min({static_cast<long long>(anDst[2]), llDstW - dx, llSrcW - sx});
    const long long r0 = std::max({0ll, -dy, -sy});
    const long long r1 = std::min({static_cast<long long>(anDst[3]), llDstH - dy, llSrcH - sy});
    if (c0 < c1 && r0 < r1) {
        const size_t cbRow = static_cast<size_t>(c1 - c0) * unBpp;
        const size_t cbDstX = static_cast<size_t>(dx + c0) * unBpp;
        const size_t cbSrcX = static_cast<size_t>(sx + c0) * unBpp;
        const int nRows = static_cast<int>(r1 - r0);
        // A rectangle moved within one buffer may overlap itself: then rows
        // go one at a time, in the order that reads each source row before
        // it is overwritten.
        const bool bSelfOverlap = pDstBuffer == pSrcBuffer && dx + c0 < sx + c1 && sx + c0 < dx + c1 &&
                                  dy + r0 < sy + r1 && sy + r0 < dy + r1;
        if (bSelfOverlap) {
            for (int k = 0; k < nRows; ++k) {
                const long long r = dy > sy ? r1 - 1 - k : r0 + k;
                std::memmove(ppDstRows[dy + r] + cbDstX, ppSrcRows[sy + r] + cbSrcX, cbRow);
            }
        } else {
            qel::ForEachRowParallel(nRows, [&](int k) {
                const long long r = r0 + k;
                std::memcpy(ppDstRows[dy + r] + cbDstX, ppSrcRows[sy + r] + cbSrcX, cbRow);
            });
        }
    }

    srcLock.unlock();
    dstLock.unlock();
    return S_OK;
}
