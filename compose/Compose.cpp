// Composition of one buffer onto another: a source placed at a displayed
// position of an oriented destination, mixed in with a global opacity.
// Also the two per-pixel operations the decorations share: the colour
// converter and the blend.

#include <algorithm>
#include <cstdio>
#include <vector>

#include "BufferGuards.h"
#include "ComposeKernels.h"
#include "Orientation.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

using namespace qel::compose;

const char kComposeWithBuffer[] = "PyQelBufferUtility::ComposeWithBuffer";

// Rows of a transposed run are claimed in bands and walked in tiles of
// columns, so that a band's writes down the stored columns stay within a
// few cache lines and pages per tile, and two workers rarely share a line.
constexpr int kColumnBandRows = 16;
constexpr int kColumnTile = 64;

// How "No Stride table" shows a table: a missing one as "(null)", a present
// one as its address.
struct tagTableText {
    char sz[32];
    explicit tagTableText(BYTE *const *ppTable)
    {
        if (ppTable == nullptr)
            std::snprintf(sz, sizeof sz, "(null)");
        else
            std::snprintf(sz, sizeof sz, "%p", static_cast<const void *>(ppTable));
    }
};

// The source rows the pixel loop reads. A buffer composed onto itself is
// read from a copy taken before the first write, so every pixel mixes in
// the source as it was, whichever worker gets there first.
class CSourceRows {
public:
    CSourceRows(BYTE *const *ppRows, bool bSnapshot, int nWidth, int nHeight, int nBytesPerPixel)
        : m_ppRows(ppRows)
    {
        if (!bSnapshot)
            return;
        const size_t cbRow = static_cast<size_t>(nWidth) * static_cast<size_t>(nBytesPerPixel);
        m_vecCopy.resize(cbRow * static_cast<size_t>(nHeight));
        m_vecRows.resize(static_cast<size_t>(nHeight));
        for (int y = 0; y < nHeight; ++y) {
            m_vecRows[y] = m_vecCopy.data() + cbRow * static_cast<size_t>(y);
            std::copy(ppRows[y], ppRows[y] + cbRow, m_vecRows[y]);
        }
        m_ppRows = m_vecRows.data();
    }
    const BYTE *Row(int y) const { return m_ppRows[y]; }

private:
    BYTE *const *m_ppRows;
    std::vector<BYTE> m_vecCopy;
    std::vector<BYTE *> m_vecRows;
};

} // namespace

UINT64 PyQelBufferUtility::m_fnColorConverter(const BYTE *pSrcData, int nDstBytesPerPixel, int nSrcBytesPerPixel)
{
    if (pSrcData == nullptr) {
        QEL_TRACE("[m_fnColorConverter] pSrcData is NULL");
        return 0;
    }
    switch (nDstBytesPerPixel) {
    case 1:
        return ConvertColor<1, 1>(pSrcData);
    case 4:
        return nSrcBytesPerPixel == 4 ? ConvertColor<4, 4>(pSrcData)
                                      : nSrcBytesPerPixel == 8 ? ConvertColor<4, 8>(pSrcData) : 0;
    case 8:
        return nSrcBytesPerPixel == 4 ? ConvertColor<8, 4>(pSrcData)
                                      : nSrcBytesPerPixel == 8 ? ConvertColor<8, 8>(pSrcData) : 0;
    default:
        return 0;
    }
}

void PyQelBufferUtility::m_fnBlend(BYTE *pDstData, UINT64 qwColor, double dAlpha, int nDstBytesPerPixel,
                                   bool bReplaceAlpha)
{
    if (pDstData == nullptr) {
        QEL_TRACE("[m_fnBlend]pDstData is NULL");
        return;
    }
    const tagAlphaScale sc = ScaleForDst(dAlpha, nDstBytesPerPixel);
    switch (nDstBytesPerPixel) {
    case 1:
        BlendInto<1, false>(pDstData, qwColor, sc);
        break;
    case 4:
        bReplaceAlpha ? BlendInto<4, true>(pDstData, qwColor, sc) : BlendInto<4, false>(pDstData, qwColor, sc);
        break;
    case 8:
        bReplaceAlpha ? BlendInto<8, true>(pDstData, qwColor, sc) : BlendInto<8, false>(pDstData, qwColor, sc);
        break;
    default:
        break;
    }
}

HRESULT PyQelBufferUtility::ComposeWithBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int nX,
                                              int nY, float fAlpha, int nDstOrientation, bool bReplaceAlpha)
{
    return m_fnComposeWithBuffer(pDstBuffer, pSrcBuffer, nX, nY, 0, 0, true, fAlpha, nDstOrientation,
                                 bReplaceAlpha);
}

HRESULT PyQelBufferUtility::ComposeWithBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int nX,
                                              int nY, int nW, int nH, float fAlpha, int nDstOrientation,
                                              bool bReplaceAlpha)
{
    return m_fnComposeWithBuffer(pDstBuffer, pSrcBuffer, nX, nY, nW, nH, false, fAlpha, nDstOrientation,
                                 bReplaceAlpha);
}

HRESULT PyQelBufferUtility::m_fnComposeWithBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int nX,
                                                  int nY, int nW, int nH, bool bSourceSize, float fAlpha,
                                                  int nDstOrientation, bool bReplaceAlpha)
{
    QEL_TRACE_ENTRY(kComposeWithBuffer);
    if (pDstBuffer == nullptr || pSrcBuffer == nullptr)
        return E_POINTER;
    if (fAlpha == 0.0f) {
        QEL_TRACE("[ComposeWithBuffer]No Need to Composite");
        return S_OK;
    }

    const int nDstBpp = static_cast<int>(pDstBuffer->getBytesPerPixel());
    const int nSrcBpp = static_cast<int>(pSrcBuffer->getBytesPerPixel());
    CBufferLock srcLock(pSrcBuffer, pSrcBuffer->getWidth(), pSrcBuffer->getHeight());
    CBufferLock dstLock(pDstBuffer, pDstBuffer->getWidth(), pDstBuffer->getHeight());
    if (srcLock.data() == nullptr || dstLock.data() == nullptr) {
        QEL_TRACE("[ComposeWithBuffer]No Data to Composite");
        return E_POINTER;
    }
    BYTE *const *ppSrcRows = pSrcBuffer->m_ppStrideTable;
    BYTE *const *ppDstRows = pDstBuffer->m_ppStrideTable;
    if (ppSrcRows == nullptr || ppDstRows == nullptr) {
        QEL_TRACE("[ComposeWithBuffer]No Stride table %s, %s", tagTableText(ppSrcRows).sz,
                  tagTableText(ppDstRows).sz);
        return E_POINTER;
    }

    // Loops never run past the rows and columns a buffer really has,
    // whatever size the lock or the caller reported.
    const int W = static_cast<int>(std::min(dstLock.width(), pDstBuffer->getWidth()));
    const int H = static_cast<int>(std::min(dstLock.height(), pDstBuffer->getHeight()));
    const int nSrcW = static_cast<int>(std::min(srcLock.width(), pSrcBuffer->getWidth()));
    const int nSrcH = static_cast<int>(std::min(srcLock.height(), pSrcBuffer->getHeight()));
    int SW = nSrcW, SH = nSrcH;
    if (bSourceSize) {
        QEL_TRACE("[ComposeWithBuffer]Composite Start, Src size over Dst size: %d, %d",
                  static_cast<int>(srcLock.width() * srcLock.height()),
                  static_cast<int>(dstLock.width() * dstLock.height()));
        QEL_TRACE("[ComposeWithBuffer]Dst and Src Byte per Pixel: %d, %d", nDstBpp, nSrcBpp);
        QEL_TRACE("[ComposeWithBuffer]nOrientation %d", nDstOrientation);
    } else {
        // The caller's part of the source, never more than the source has.
        SW = std::min(nW, nSrcW);
        SH = std::min(nH, nSrcH);
    }

    tagComposeKernels kernels;
    if (SW > 0 && SH > 0 && W > 0 && H > 0 && ChooseComposeKernels(nDstBpp, nSrcBpp, bReplaceAlpha, &kernels)) {
        const CSourceRows srcRows(ppSrcRows, pSrcBuffer == pDstBuffer, SW, SH, nSrcBpp);
        const tagOrientationMap map = ResolveOrientation(nDstOrientation, W, H);
        const tagDstRows dstRows = DescribeRows(ppDstRows, W, H, nDstBpp);
        const double dAlpha = fAlpha;
        const tagAlphaScale sc = ScaleForDst(dAlpha, nDstBpp);
        const bool bAlongRow = map.nYX == 0;
        const int nBandRows = bAlongRow ? 1 : kColumnBandRows;
        const int nTile = bAlongRow ? SW : kColumnTile;
        const int nBands = (SH - 1) / nBandRows + 1;

        qel::ForEachRowParallel(nBands, [&](int nBand) {
            const int y0 = nBand * nBandRows;
            const int y1 = std::min(SH, y0 + nBandRows);
            for (int j0 = 0; j0 < SW; j0 += nTile) {
                const int nCount = std::min(nTile, SW - j0);
                for (int y = y0; y < y1; ++y) {
                    const tagRowRun run =
                        ClipRow(map, static_cast<long long>(nX) + j0, static_cast<long long>(nY) + y, nCount, W, H);
                    const int n = run.nEnd - run.nBegin;
                    if (n <= 0)
                        continue;
                    const BYTE *pSrc = srcRows.Row(y) + static_cast<std::ptrdiff_t>(j0 + run.nBegin) * nSrcBpp;
                    const std::ptrdiff_t cbX = static_cast<std::ptrdiff_t>(run.llX) * nDstBpp;
                    if (run.bAlongRow) {
                        BYTE *pRow = ppDstRows[run.llY];
                        if (run.nStep > 0)
                            kernels.pfnForward(pRow + cbX, 0, pSrc, n, sc);
                        else
                            kernels.pfnReverse(pRow + cbX - static_cast<std::ptrdiff_t>(n - 1) * nDstBpp, 0, pSrc,
                                               n, sc);
                    } else if (dstRows.bEven) {
                        kernels.pfnStrided(ppDstRows[run.llY] + cbX, run.nStep * dstRows.nPitch, pSrc, n, sc);
                    } else {
                        // Unevenly spaced rows (CHUNK): every pixel of a
                        // stored column is a row-table load, so the run
                        // goes pixel by pixel through the shared operations.
                        for (int i = 0; i < n; ++i)
                            m_fnBlend(ppDstRows[run.llY + static_cast<long long>(run.nStep) * i] + cbX,
                                      m_fnColorConverter(pSrc + static_cast<std::ptrdiff_t>(i) * nSrcBpp, nDstBpp,
                                                         nSrcBpp),
                                      dAlpha, nDstBpp, bReplaceAlpha);
                    }
                }
            }
        });
    }

    srcLock.unlock();
    dstLock.unlock();
    QEL_TRACE_END(kComposeWithBuffer);
    return S_OK;
}
