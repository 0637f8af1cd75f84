// Rotation: any angle by bilinear resampling for BYTE and PLANAR buffers,
// quarter turns by whole-pixel copies for CHUNK buffers, whose rows are
// reached only through their stride table.
#include <cmath>
#include <cstddef>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "MirrorKernels.h"
#include "PyQelBufferUtility.h"
#include "RotateKernels.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

const char *const kRotate = "PyQelBufferUtility::Rotate";
const char *const kRotateUseIPP = "PyQelBufferUtility::m_fnRotateUseIPP";
const char *const kRotateWithChunk = "PyQelBufferUtility::m_fnRotateWithChunk";

using qel::rotate::tagImageView;
using qel::rotate::tagRotation;

// Whole-pixel quarter turns of 4-byte pixels: the bands are walked in 8 x 8
// blocks; a block whose source lies wholly inside the source image moves as
// one transposed block (what the resampler gives there, as all its weights
// are zero), every other block goes through the resampler row by row.
// nTurn is 90 or 270; the shifts are whole numbers.
void RotateBandQuarter(qel::rotate::PFN_RotateRowSegment pfnSegment, qel::mirror::PFN_TurnBlock pfnBlock,
                       const tagImageView &src, const tagImageView &dst, const tagRotation &rot, int nTurn, int y0,
                       int y1)
{
    const long long xS = (long long)rot.dXShift, yS = (long long)rot.dYShift;
    const bool b90 = nTurn == 90;
    for (int x0 = 0; x0 < dst.nWidth; x0 += qel::rotate::kTileCols) {
        const int x1 = dst.nWidth - x0 < qel::rotate::kTileCols ? dst.nWidth : x0 + qel::rotate::kTileCols;
        for (int yb = y0; yb < y1; yb += 8) {
            const int yb1 = y1 - yb < 8 ? y1 : yb + 8;
            for (int xb = x0; xb < x1; xb += 8) {
                const int xb1 = x1 - xb < 8 ? x1 : xb + 8;
                // Source rows and columns the block reads (90: rows xb - xS..,
                // columns yS - yb - 7..; 270: rows xS - xb - 7.., columns yb - yS..).
                const long long sRow = b90 ? xb - xS : xS - xb - 7;
                const long long sCol = b90 ? yS - yb - 7 : yb - yS;
                if (yb1 - yb == 8 && xb1 - xb == 8 && sRow >= 0 && sRow + 8 <= src.nHeight && sCol >= 0 &&
                    sCol + 8 <= src.nWidth) {
                    const BYTE *apSrc[8];
                    BYTE *apDst[8];
                    for (int i = 0; i < 8; ++i) {
                        apSrc[i] = src.pData + (sRow + i) * src.nStep + sCol * 4;
                        apDst[i] = dst.pData + (std::ptrdiff_t)(yb + i) * dst.nStep + (std::ptrdiff_t)xb * 4;
                    }
                    pfnBlock(apSrc, apDst, b90);
                } else {
                    for (int y = yb; y < yb1; ++y)
                        pfnSegment(src, dst.pData + (std::ptrdiff_t)y * dst.nStep, y, xb, xb1, rot);
                }
            }
        }
    }
}

// Resamples nPlanes images (one for interleaved pixels) of the same size on
// the OpenMP team, in bands of destination rows.
void RotatePlanes(qel::rotate::PFN_RotateRowSegment pfnSegment, const tagImageView *pSrc, const tagImageView *pDst,
                  int nPlanes, int nBytesPerPixel, const tagRotation &rot)
{
    const int nDstHeight = pDst[0].nHeight;
    const int nBands = (nDstHeight + qel::rotate::kBandRows - 1) / qel::rotate::kBandRows;
    const bool bWholeShift = rot.dXShift == std::floor(rot.dXShift) && rot.dYShift == std::floor(rot.dYShift) &&
                             std::fabs(rot.dXShift) < 1e9 && std::fabs(rot.dYShift) < 1e9;
    const int nTurn = rot.dCos == 0.0 && rot.dSin == 1.0 ? 90 : rot.dCos == 0.0 && rot.dSin == -1.0 ? 270 : 0;
    if (nPlanes == 1 && nBytesPerPixel == 4 && bWholeShift && nTurn != 0) {
        const qel::mirror::PFN_TurnBlock pfnBlock = qel::mirror::ChooseTurnBlock();
        qel::ForEachRowParallel(nBands, [&](int nBand) {
            const int y0 = nBand * qel::rotate::kBandRows;
            const int y1 = nDstHeight - y0 < qel::rotate::kBandRows ? nDstHeight : y0 + qel::rotate::kBandRows;
            RotateBandQuarter(pfnSegment, pfnBlock, pSrc[0], pDst[0], rot, nTurn, y0, y1);
        });
        return;
    }
    qel::ForEachRowParallel(nBands * nPlanes, [&](int nItem) {
        const int nPlane = nItem % nPlanes, nBand = nItem / nPlanes;
        const int y0 = nBand * qel::rotate::kBandRows;
        const int y1 = nDstHeight - y0 < qel::rotate::kBandRows ? nDstHeight : y0 + qel::rotate::kBandRows;
        qel::rotate::RotateBand(pfnSegment, pSrc[nPlane], pDst[nPlane], rot, y0, y1);
    });
}

// Quarter turns of a CHUNK buffer by whole pixels, destination row by row
// in bands, clipped to the destination: pixels that would land outside it
// are not copied.
void TurnChunkRows(BYTE *const *ppSrc, int W, int H, BYTE *const *ppDst, int DW, int DH, UINT unBpp, int nTurn)
{
    const int nBandRows = qel::rotate::kBandRows, nTile = qel::rotate::kTileCols;
    const int nBands = (DH + nBandRows - 1) / nBandRows;
    if (nTurn == 180) {
        const qel::mirror::PFN_ReverseRow pfnReverse = qel::mirror::ChooseReverseRow(unBpp);
        const int n = W < DW ? W : DW;
        qel::ForEachRowParallel(DH, [&](int r) {
            const int y = DH - 1 - r; // source row
            if (y >= 0 && y < H)
                pfnReverse(ppSrc[y], ppDst[r] + (std::size_t)(DW - n) * unBpp, n);
        });
        return;
    }
    const qel::mirror::PFN_GatherColumn pfnGather = qel::mirror::ChooseGatherColumn(unBpp);
    const qel::mirror::PFN_TurnBlock pfnBlock = unBpp == 4 ? qel::mirror::ChooseTurnBlock() : nullptr;
    const int nCount = H < DW ? H : DW; // source rows that land inside
    const bool b90 = nTurn == 90;
    qel::ForEachRowParallel(nBands, [&](int nBand) {
        const int r0 = nBand * nBandRows, r1 = DH - r0 < nBandRows ? DH : r0 + nBandRows;
        for (int y0 = 0; y0 < nCount; y0 += nTile) {
            const int n = nCount - y0 < nTile ? nCount - y0 : nTile;
            int rFrom = r0;
            if (pfnBlock != nullptr) {
                // Blocks of 8 destination rows x 8 source rows whose source
                // columns all exist; what is left goes pixel by pixel below.
                for (; rFrom + 8 <= r1; rFrom += 8) {
                    const int xFirst = b90 ? DH - 1 - (rFrom + 7) : rFrom; // lowest source column
                    if (xFirst < 0 || xFirst + 8 > W)
                        break;
                    int k = 0;
                    for (; k + 8 <= n; k += 8) {
                        const BYTE *apSrc[8];
                        BYTE *apDst[8];
                        for (int i = 0; i < 8; ++i) {
                            // 90: source rows y0 + k + i to columns y0 + k + i;
                            // 270: source rows y0 + k + i to columns DW - 1 - (y0 + k + i).
                            apSrc[i] = ppSrc[y0 + k + i] + (std::size_t)xFirst * 4;
                            apDst[i] = ppDst[rFrom + i] +
                                       (std::size_t)(b90 ? y0 + k : DW - 1 - (y0 + k + 7)) * 4;
                        }
                        pfnBlock(apSrc, apDst, b90);
                    }
                    for (int r = rFrom; r < rFrom + 8 && k < n; ++r) {
                        const int x = b90 ? DH - 1 - r : r;
                        if (b90)
                            pfnGather(ppSrc, x, y0 + k, n - k, ppDst[r], y0 + k, true);
                        else
                            pfnGather(ppSrc, x, y0 + k, n - k, ppDst[r], DW - 1 - (y0 + k), false);
                    }
                }
            }
            for (int r = rFrom; r < r1; ++r) {
                // 90: source column DH - 1 - r to columns y; 270: column r to DW - 1 - y.
                const int x = nTurn == 90 ? DH - 1 - r : r;
                if (x < 0 || x >= W)
                    continue;
                if (nTurn == 90)
                    pfnGather(ppSrc, x, y0, n, ppDst[r], y0, true);
                else
                    pfnGather(ppSrc, x, y0, n, ppDst[r], DW - 1 - y0, false);
            }
        }
    });
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::Rotate(CQELImageBuffer *pSrcImageBuffer, int nDstWidth, int nDstHeight,
                                            float fAngle)
{
    QEL_TRACE_ENTRY(kRotate);
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    const double dAngle = fAngle;
    if (dAngle == 0.0) {
        pSrcImageBuffer->addRef();
        return pSrcImageBuffer;
    }
    // A failed rotation may leave its new buffer here for the caller to
    // release; the guard does that on every failure path.
    CNewBuffer result;
    CQELImageBuffer *&pResult = *result.out();
    const HRESULT hr = std::fmod(dAngle, 90.0) == 0.0 && pSrcImageBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_CHUNK
                           ? m_fnRotateWithChunk(pSrcImageBuffer, pResult, nDstWidth, nDstHeight, dAngle)
                           : m_fnRotateUseIPP(pSrcImageBuffer, pResult, nDstWidth, nDstHeight, dAngle);
    if (FAILED(hr))
        return nullptr;
    QEL_TRACE_END(kRotate);
    return result.detach();
}

HRESULT PyQelBufferUtility::m_fnRotateUseIPP(CQELImageBuffer *&pSrcImageBuffer, CQELImageBuffer *&pDstImageBuffer,
                                             int nDstWidth, int nDstHeight, double dAngle)
{
    QEL_TRACE_ENTRY(kRotateUseIPP);
    if (m_pBufferAllocator == nullptr) {
        QEL_TRACE_NULL(kRotateUseIPP, "m_pBufferAllocator");
        return E_POINTER;
    }
    CQELImageBuffer *pSrc = pSrcImageBuffer;
    const int W = (int)pSrc->getWidth(), H = (int)pSrc->getHeight();
    const UINT unBpp = pSrc->getBytesPerPixel();
    const int nType = pSrc->m_nAllocateType;
    if (nType == BUFFER_ALLOCATE_TYPE_CHUNK) {
        QEL_TRACE("[RotateUseIPP][Angle: %f] only support BYTE or PLANAR", dAngle);
        return E_INVALIDARG;
    }

    CNewBuffer result;
    const HRESULT hrAlloc =
        m_pBufferAllocator->allocateImageBuffer(result.out(), (UINT)nDstWidth, (UINT)nDstHeight, unBpp, nType);
    if (FAILED(hrAlloc) || !result) {
        QEL_TRACE("[RotateUseIPP][%d] allocate fail %x", nType, hrAlloc);
        return E_POINTER;
    }

    tagRotation rot;
    qel::rotate::CosSinDegrees(dAngle, &rot.dCos, &rot.dSin);
    qel::rotate::RotationShift((W - 1) * 0.5, (H - 1) * 0.5, dAngle, &rot.dXShift, &rot.dYShift);
    rot.dXShift += (double)((long long)nDstWidth - W) * 0.5;
    rot.dYShift += (double)((long long)nDstHeight - H) * 0.5;
    QEL_TRACE("[RotateUseIPP][Angle: %f] rotate shift %f, %f", dAngle, rot.dXShift, rot.dYShift);

    if (nType != BUFFER_ALLOCATE_TYPE_BYTE && nType != BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE_END(kRotateUseIPP);
        pDstImageBuffer = result.detach();
        return hrAlloc;
    }
    const bool bPlanar = nType == BUFFER_ALLOCATE_TYPE_PLANAR;
    // The destination's own size: the allocator may only be asked for it.
    const int DW = (int)result->getWidth(), DH = (int)result->getHeight();

    CBufferLock srcLock(pSrc, (UINT)W, (UINT)H);
    if (!srcLock.locked()) {
        if (bPlanar)
            QEL_TRACE("[RotateUseIPP][Planar] lock source failed, %0x", QEL_ADDR32(pSrc));
        else
            QEL_TRACE("[RotateUseIPP][BYTE] lock source failed, %0x", QEL_ADDR32(pSrc));
        return E_POINTER;
    }
    CBufferLock dstLock(result.get(), (UINT)DW, (UINT)DH);

    // Interleaved pixels are one image; planes are one image each, of one
    // channel. 3- and 6-byte planar pixels have three planes.
    const int nPlanes = bPlanar ? (unBpp == 3 || unBpp == 6 ? 3 : unBpp == 4 || unBpp == 8 ? 4 : 0) : 1;
    const int nChannelBytes = bPlanar ? (unBpp >= 6 ? 2 : 1) : (unBpp == 2 || unBpp == 6 || unBpp == 8 ? 2 : 1);
    const qel::rotate::PFN_RotateRowSegment pfnSegment =
        nPlanes == 0 ? nullptr : qel::rotate::ChooseRotateKernel(bPlanar ? nChannelBytes : (int)unBpp, nChannelBytes);
    tagImageView aSrc[4], aDst[4];
    // A lock that hands out no pixels leaves nothing to read or write.
    bool bReady = pfnSegment != nullptr && W > 0 && H > 0 && DW > 0 && DH > 0 && srcLock.data() != nullptr &&
                  dstLock.data() != nullptr;
    for (int p = 0; bReady && p < nPlanes; ++p) {
        BYTE *pS = bPlanar ? (pSrc->m_ppPlaneTable != nullptr ? pSrc->m_ppPlaneTable[p] : nullptr) : srcLock.data();
        BYTE *pD = bPlanar ? (result->m_ppPlaneTable != nullptr ? result->m_ppPlaneTable[p] : nullptr)
                           : dstLock.data();
        const std::ptrdiff_t nPixelBytes = bPlanar ? nChannelBytes : (std::ptrdiff_t)unBpp;
        aSrc[p] = tagImageView{pS, nPixelBytes * W, W, H};
        aDst[p] = tagImageView{pD, nPixelBytes * DW, DW, DH};
        bReady = pS != nullptr && pD != nullptr;
    }
    if (bReady) {
        CPyAllowThreads allowThreads;
        RotatePlanes(pfnSegment, aSrc, aDst, nPlanes, bPlanar ? nChannelBytes : (int)unBpp, rot);
    }

    CopyAttributes(result.get(), pSrc);
    srcLock.unlock();
    dstLock.unlock();
    QEL_TRACE_END(kRotateUseIPP);
    pDstImageBuffer = result.detach();
    return hrAlloc;
}

HRESULT PyQelBufferUtility::m_fnRotateWithChunk(CQELImageBuffer *&pSrcImageBuffer, CQELImageBuffer *&pDstImageBuffer,
                                                int nDstWidth, int nDstHeight, double dAngle)
{
    QEL_TRACE_ENTRY(kRotateWithChunk);
    if (m_pBufferAllocator == nullptr) {
        QEL_TRACE_NULL(kRotateWithChunk, "m_pBufferAllocator");
        return E_POINTER;
    }
    CQELImageBuffer *pSrc = pSrcImageBuffer;
    const int W = (int)pSrc->getWidth(), H = (int)pSrc->getHeight();
    const UINT unBpp = pSrc->getBytesPerPixel();
    if (pSrc->m_nAllocateType != BUFFER_ALLOCATE_TYPE_CHUNK) {
        QEL_TRACE("[RotateWithChunk][Angle: %f] only support CHUNK", dAngle);
        return E_INVALIDARG;
    }

    CNewBuffer result;
    const HRESULT hrAlloc = m_pBufferAllocator->allocateImageBuffer(result.out(), (UINT)nDstWidth, (UINT)nDstHeight,
                                                                    unBpp, BUFFER_ALLOCATE_TYPE_CHUNK);
    if (FAILED(hrAlloc) || !result) {
        QEL_TRACE("[RotateWithChunk][%d] allocate fail %x", 1, hrAlloc);
        return E_POINTER;
    }

    CBufferLock srcLock(pSrc, (UINT)W, (UINT)H);
    if (!srcLock.locked()) {
        QEL_TRACE("[RotateWithChunk] lock source failed, %0x", QEL_ADDR32(pSrc));
        return E_POINTER;
    }
    const int DW = (int)result->getWidth(), DH = (int)result->getHeight();
    CBufferLock dstLock(result.get(), (UINT)DW, (UINT)DH);
    BYTE *const *ppSrc = pSrc->m_ppStrideTable;
    BYTE *const *ppDst = result->m_ppStrideTable;

    double dTurn = dAngle;
    if (dTurn < 0.0)
        dTurn = std::fmod(dTurn + 360.0, 360.0);
    QEL_TRACE("[RotateWithChunk][%d] rotate angle %f", 1, dTurn);
    if (dTurn != 90.0 && dTurn != 180.0 && dTurn != 270.0) {
        QEL_TRACE("[RotateWithChunk]unsupported angle: %f", dTurn);
        return E_POINTER;
    }
    if (ppSrc != nullptr && ppDst != nullptr && qel::mirror::ChooseReverseRow(unBpp) != nullptr)
        TurnChunkRows(ppSrc, W, H, ppDst, DW, DH, unBpp, (int)dTurn);

    CopyAttributes(result.get(), pSrc);
    srcLock.unlock();
    dstLock.unlock();
    QEL_TRACE_END(kRotateWithChunk);
    pDstImageBuffer = result.detach();
    return hrAlloc;
}
