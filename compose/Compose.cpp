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

// Bands of source rows and tiles of columns for the transposed orientations:
// a band's run along a stored row is 16 pixels (a cache line of BGRA), a
// tile of 64 columns of up to 8-byte pixels is 8 KiB on the worker's stack.
constexpr int kAcrossBandRows = 16;
constexpr int kAcrossTile = 64;

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
    const BYTE *const *Rows() const { return m_ppRows; }

private:
    const BYTE *const *m_ppRows;
    std::vector<BYTE> m_vecCopy;
    std::vector<BYTE *> m_vecRows;
};

// Orientations that keep displayed rows along stored rows: each source row
// is one forward or reverse run, rows claimed one at a time.
void ComposeAlongRows(const tagOrientationMap &map, int nX, int nY, int SW, int SH, const BYTE *const *ppSrcRows,
                      int nSrcBpp, BYTE *const *ppDstRows, int W, int H, int nDstBpp, const tagComposeKernels &kernels,
                      tagAlphaScale sc)
{
    qel::ForEachRowParallel(SH, [&](int y) {
        const tagRowRun run = ClipRow(map, nX, static_cast<long long>(nY) + y, SW, W, H);
        const int n = run.nEnd - run.nBegin;
        if (n <= 0)
            return;
        const BYTE *pSrc = ppSrcRows[y] + static_cast<std::ptrdiff_t>(run.nBegin) * nSrcBpp;
        BYTE *pDst = ppDstRows[run.llY] + static_cast<std::ptrdiff_t>(run.llX) * nDstBpp;
        if (run.nStep > 0)
            kernels.pfnForward(pDst, pSrc, n, sc);
        else
            kernels.pfnReverse(pDst - static_cast<std::ptrdiff_t>(n - 1) * nDstBpp, pSrc, n, sc);
    });
}

// Orientations that send displayed rows down stored columns: a band of
// source rows is turned on its side a tile at a time, and each column of
// the tile is then one run along a stored row. The writes stay contiguous
// (and vectorised), and the band's reads and writes stay within a few cache
// lines and pages per tile.
void ComposeAcrossRows(const tagOrientationMap &map, int nX, int nY, int SW, int SH, const BYTE *const *ppSrcRows,
                       int nSrcBpp, BYTE *const *ppDstRows, int W, int H, int nDstBpp,
                       const tagComposeKernels &kernels, tagAlphaScale sc)
{
    const tagBlockRun block = ClipTransposed(map, nX, nY, SW, SH, W, H);
    if (block.Empty())
        return;
    const int nRows = block.nRowEnd - block.nRowBegin;
    const int nBands = (nRows - 1) / kAcrossBandRows + 1;
    const std::ptrdiff_t cbColumn = static_cast<std::ptrdiff_t>(kAcrossBandRows) * nSrcBpp;
    qel::ForEachRowParallel(nBands, [&](int nBand) {
        BYTE abTile[kAcrossTile * kAcrossBandRows * 8];
        const int i0 = block.nRowBegin + nBand * kAcrossBandRows;
        const int nBandRows = std::min(kAcrossBandRows, block.nRowEnd - i0);
        // Stored x' of the band's first row; a row further moves it by nXY.
        const long long llX = block.llX + static_cast<long long>(map.nXY) * (i0 - block.nRowBegin);
        const long long llLeft = map.nXY > 0 ? llX : llX - (nBandRows - 1);
        const PFN_ComposeRun pfnRun = map.nXY > 0 ? kernels.pfnForward : kernels.pfnReverse;
        // Stored rows are visited top to bottom (columns from the last
        // when y' falls as j rises), which the prefetchers follow best.
        const int nCols = block.nColEnd - block.nColBegin;
        const int nTiles = (nCols - 1) / kAcrossTile + 1;
        for (int t = 0; t < nTiles; ++t) {
            const int nTile = map.nYX > 0 ? t : nTiles - 1 - t;
            const int j0 = block.nColBegin + nTile * kAcrossTile;
            const int nTileCols = std::min(kAcrossTile, block.nColEnd - j0);
            kernels.pfnTranspose(ppSrcRows + i0, static_cast<std::ptrdiff_t>(j0) * nSrcBpp, nBandRows, nTileCols,
                                 abTile, cbColumn);
            for (int k = 0; k < nTileCols; ++k) {
                const int c = map.nYX > 0 ? k : nTileCols - 1 - k;
                const long long llY = block.llY + static_cast<long long>(map.nYX) * (j0 + c - block.nColBegin);
                pfnRun(ppDstRows[llY] + static_cast<std::ptrdiff_t>(llLeft) * nDstBpp, abTile + c * cbColumn,
                       nBandRows, sc);
            }
        }
    });
}

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
                                   bool bReplaceAlpha, int nCount)
{
    if (pDstData == nullptr) {
        QEL_TRACE("[m_fnBlend]pDstData is NULL");
        return;
    }
    const tagAlphaScale sc = ScaleForDst(dAlpha, nDstBytesPerPixel);
    switch (nDstBytesPerPixel) {
    case 1:
        FillRun<1, false>(pDstData, nCount, qwColor, sc);
        break;
    case 4:
        (bReplaceAlpha ? FillRun<4, true> : FillRun<4, false>)(pDstData, nCount, qwColor, sc);
        break;
    case 8:
        (bReplaceAlpha ? FillRun<8, true> : FillRun<8, false>)(pDstData, nCount, qwColor, sc);
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
        const tagAlphaScale sc = ScaleForDst(fAlpha, nDstBpp);
        if (!Transposed(map))
            ComposeAlongRows(map, nX, nY, SW, SH, srcRows.Rows(), nSrcBpp, ppDstRows, W, H, nDstBpp, kernels, sc);
        else
            ComposeAcrossRows(map, nX, nY, SW, SH, srcRows.Rows(), nSrcBpp, ppDstRows, W, H, nDstBpp, kernels, sc);
    }

    srcLock.unlock();
    dstLock.unlock();
    QEL_TRACE_END(kComposeWithBuffer);
    return S_OK;
}
