// Moving and setting pixels without changing their format: whole-buffer
// copies, rectangle copies, region extraction, fills, and the plain byte
// array helpers.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "BufferGuards.h"
#include "CopyKernels.h"
#include "PackedCopy.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"
#include "core/PlanarKernels.h"

namespace {

const char *const kCopyImageBuffer = "PyQelBufferUtility::CopyImageBuffer";
const char *const kCopyBuffer = "PyQelBufferUtility::CopyBuffer";
const char *const kGetROI = "PyQelBufferUtility::GetROI";

// Where the pixels of a buffer live. Interleaved buffers (BYTE, CHUNK) are
// reached row by row through the stride table, because the rows of a CHUNK
// buffer are not contiguous; planar buffers have no stride table and are
// reached plane by plane.
class CPixelRows {
public:
    // False when the buffer's layout is unknown or its tables are missing,
    // so callers never address pixels through a null table.
    bool Attach(CQELImageBuffer *pBuffer, UINT unWidth, UINT unBytesPerPixel)
    {
        m_unBytesPerPixel = unBytesPerPixel;
        switch (pBuffer->m_nAllocateType) {
        case BUFFER_ALLOCATE_TYPE_BYTE:
        case BUFFER_ALLOCATE_TYPE_CHUNK:
            m_ppRows = pBuffer->m_ppStrideTable;
            return m_ppRows != nullptr;
        case BUFFER_ALLOCATE_TYPE_PLANAR:
            if (pBuffer->m_ppPlaneTable == nullptr || !qel::GetPlanarGeometry(unBytesPerPixel, &m_geometry))
                return false;
            m_ppPlanes = pBuffer->m_ppPlaneTable;
            m_cbPlaneRow = (size_t)unWidth * (size_t)m_geometry.nBytesPerChannel;
            return true;
        default:
            return false;
        }
    }

    bool Planar() const { return m_ppPlanes != nullptr; }
    UINT BytesPerPixel() const { return m_unBytesPerPixel; }
    const qel::tagPlanarGeometry &Geometry() const { return m_geometry; }

    // Interleaved: pixel x of row y.
    BYTE *Pixel(UINT y, UINT x) const { return m_ppRows[y] + (size_t)x * m_unBytesPerPixel; }

    // Planar: sample x of row y in plane c.
    BYTE *Sample(int c, UINT y, UINT x) const
    {
        return m_ppPlanes[c] + (size_t)y * m_cbPlaneRow + (size_t)x * (size_t)m_geometry.nBytesPerChannel;
    }

    // Planar: sample x of row y in every plane, for the split/merge kernels.
    void Samples(UINT y, UINT x, BYTE *apSamples[4]) const
    {
        for (int c = 0; c < 4; ++c)
            apSamples[c] = c < m_geometry.nChannels ? Sample(c, y, x) : nullptr;
    }

    // Bytes of one pixel within one plane (planar) or one row (interleaved).
    size_t SpanBytes(UINT nPixels) const
    {
        return (size_t)nPixels * (Planar() ? (size_t)m_geometry.nBytesPerChannel : (size_t)m_unBytesPerPixel);
    }

private:
    UINT m_unBytesPerPixel = 0;
    BYTE **m_ppRows = nullptr;
    BYTE **m_ppPlanes = nullptr;
    size_t m_cbPlaneRow = 0;
    qel::tagPlanarGeometry m_geometry = {0, 0};
};

// Runs fnRow over nRows rows on the calling thread, or in bands on the
// OpenMP team when bParallel is set.
template <class RowFn>
void RunRows(bool bParallel, int nRows, size_t cbRowTouched, RowFn &&fnRow)
{
    if (bParallel)
        qel::ForEachRowBandParallel(nRows, cbRowTouched, fnRow);
    else
        qel::ForEachRow(nRows, fnRow);
}

// Copies a rectangle of nCols x nRows pixels between two buffers of the same
// pixel format, whatever the layout of each.
void CopyRect(const CPixelRows &dst, UINT unDstX, UINT unDstY, const CPixelRows &src, UINT unSrcX, UINT unSrcY,
              UINT nCols, UINT nRows, bool bParallel)
{
    if (nCols == 0 || nRows == 0)
        return;
    const int nRowCount = (int)nRows;
    const size_t cbPixels = (size_t)nCols * src.BytesPerPixel();
    if (!dst.Planar() && !src.Planar()) {
        RunRows(bParallel, nRowCount, cbPixels, [&](int r) {
            qel::CopyRowBytes(dst.Pixel(unDstY + r, unDstX), src.Pixel(unSrcY + r, unSrcX), cbPixels);
        });
    } else if (dst.Planar() && src.Planar()) {
        const size_t cbSpan = src.SpanBytes(nCols);
        const int nChannels = src.Geometry().nChannels;
        RunRows(bParallel, nRowCount, cbPixels, [&](int r) {
            for (int c = 0; c < nChannels; ++c)
                qel::CopyRowBytes(dst.Sample(c, unDstY + r, unDstX), src.Sample(c, unSrcY + r, unSrcX), cbSpan);
        });
    } else if (dst.Planar()) {
        const qel::PFN_SplitRow pfnSplit = qel::ChooseSplitRow(dst.Geometry());
        RunRows(bParallel, nRowCount, cbPixels, [&](int r) {
            BYTE *apPlanes[4];
            dst.Samples(unDstY + r, unDstX, apPlanes);
            pfnSplit(src.Pixel(unSrcY + r, unSrcX), apPlanes, nCols);
        });
    } else {
        const qel::PFN_MergeRow pfnMerge = qel::ChooseMergeRow(src.Geometry());
        RunRows(bParallel, nRowCount, cbPixels, [&](int r) {
            BYTE *apPlanes[4];
            src.Samples(unSrcY + r, unSrcX, apPlanes);
            pfnMerge(dst.Pixel(unDstY + r, unDstX), apPlanes, nCols);
        });
    }
}

// Byte size as the size check sees it: each factor sign-extended, the
// product taken in 64 bits.
long long SignedByteSize(CQELImageBuffer *pBuffer)
{
    return (long long)(int)pBuffer->getBytesPerPixel() * (long long)(int)pBuffer->getHeight() *
           (long long)(int)pBuffer->getWidth();
}

// One axis of a fill region: the half-open span [*pStart, *pEnd) of
// [0, unLimit) covered by a region starting at nPos and nExtent long. The
// extent is unsigned, so -1 means "to the far edge"; a start before the
// buffer cuts the region, a start beyond it leaves nothing.
void ClipSpan(int nPos, UINT unExtent, UINT unLimit, UINT *pStart, UINT *pEnd)
{
    const long long llStart = std::max<long long>(nPos, 0);
    const long long llEnd = std::min<long long>((long long)nPos + (long long)unExtent, unLimit);
    if (llStart >= llEnd) {
        *pStart = *pEnd = 0;
        return;
    }
    *pStart = (UINT)llStart;
    *pEnd = (UINT)llEnd;
}

// The region of SetBufferColor is parsed as the editor's scripts have
// always passed it: a tuple of four ints (left, top, width, height), each
// anything with __index__. A malformed region raises the parser's own
// exception and nothing is filled.
bool ParseRegion(PyObject *pPyoROI, int anRegion[4])
{
    if (!PyTuple_Check(pPyoROI)) {
        PyErr_Format(PyExc_TypeError, "SetBufferColor: pPyoROI must be None or a tuple of four ints "
                                      "(left, top, width, height), not %.100s", Py_TYPE(pPyoROI)->tp_name);
        return false;
    }
    return PyArg_ParseTuple(pPyoROI, "iiii", &anRegion[0], &anRegion[1], &anRegion[2], &anRegion[3]) != 0;
}

} // namespace

HRESULT PyQelBufferUtility::CopyImageBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, bool bCopyTo)
{
    if (m_pBufferAllocator == nullptr || pDstBuffer == nullptr || pSrcBuffer == nullptr)
        return E_POINTER;

    const long long llDstSize = SignedByteSize(pDstBuffer);
    const long long llSrcSize = SignedByteSize(pSrcBuffer);
    // Only the byte counts have to agree: the shapes may differ.
    if (llDstSize <= 0 || llSrcSize <= 0 || llDstSize != llSrcSize) {
        QEL_TRACE("[CopyImageBuffer]size error, dst(%d), src(%d)", (int)llDstSize, (int)llSrcSize);
        return E_FAIL;
    }
    const UINT64 qwSize = (UINT64)llDstSize;

    CBufferLock lockDst(pDstBuffer, pDstBuffer->getWidth(), pDstBuffer->getHeight());
    if (!lockDst.locked()) {
        QEL_TRACE("[%s] lock dst failed, %0x", kCopyImageBuffer, QEL_ADDR32(pDstBuffer));
        return E_POINTER;
    }

    // With bCopyTo false the pixels go the other way: the destination's
    // into the source buffer. A lock without pixels fails the copy, as a
    // null block would fail the allocator's.
    const HRESULT hr =
        lockDst.data() == nullptr
            ? E_POINTER
            : bCopyTo ? qel::CopyIntoLocked(m_pBufferAllocator, pSrcBuffer, pDstBuffer, lockDst.data(), qwSize)
                      : qel::CopyFromLocked(m_pBufferAllocator, pDstBuffer, lockDst.data(), pSrcBuffer, qwSize);
    if (FAILED(hr)) {
        QEL_TRACE("[%s] copy from src failed, %0x", kCopyImageBuffer, QEL_ADDR32(pSrcBuffer));
        return hr;
    }

    // The destination takes the source's attributes whichever way the pixels went.
    CopyAttributes(pDstBuffer, pSrcBuffer);
    return S_OK;
}

HRESULT PyQelBufferUtility::CopyBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int const x,
                                       int const y, UINT const width, UINT const height)
{
    if (m_pBufferAllocator == nullptr || pDstBuffer == nullptr || pSrcBuffer == nullptr)
        return E_POINTER;
    if (width == 0 || height == 0)
        return E_INVALIDARG;
    // Rows are copied byte for byte, which only means something between
    // buffers of one pixel format.
    if (pDstBuffer->getBytesPerPixel() != pSrcBuffer->getBytesPerPixel())
        return E_INVALIDARG;

    const UINT unDstBpp = pDstBuffer->getBytesPerPixel();
    CBufferLock lockDst(pDstBuffer, pDstBuffer->getWidth(), pDstBuffer->getHeight());
    if (!lockDst.locked()) {
        QEL_TRACE("[%s] lock dst failed, %0x", kCopyBuffer, QEL_ADDR32(pDstBuffer));
        return E_POINTER;
    }
    const UINT unSrcBpp = pSrcBuffer->getBytesPerPixel();
    CBufferLock lockSrc(pSrcBuffer, pSrcBuffer->getWidth(), pSrcBuffer->getHeight());
    if (!lockSrc.locked()) {
        QEL_TRACE("[%s] lock src failed, %0x", kCopyBuffer, QEL_ADDR32(pSrcBuffer));
        return E_POINTER;
    }
    if (lockDst.data() == nullptr || lockSrc.data() == nullptr)
        return E_FAIL;

    const UINT unDstW = lockDst.width(), unDstH = lockDst.height();
    const UINT unSrcW = lockSrc.width(), unSrcH = lockSrc.height();
    CPixelRows dstRows, srcRows;
    if (!dstRows.Attach(pDstBuffer, unDstW, unDstBpp) || !srcRows.Attach(pSrcBuffer, unSrcW, unSrcBpp))
        return E_FAIL;

    // A negative offset moves the destination start; a positive one moves
    // the source start, held inside the source.
    const UINT unSrcX = x < 0 ? 0u : std::min((UINT)x, unSrcW - 1);
    const UINT unDstX = x < 0 ? 0u - (UINT)x : 0u;
    const UINT unSrcY = y < 0 ? 0u : std::min((UINT)y, unSrcH - 1);
    const UINT unDstY = y < 0 ? 0u - (UINT)y : 0u;

    // A destination start past the destination's edge leaves nothing to
    // copy rather than an extent that wraps around.
    UINT unCols = 0, unRows = 0;
    if (unDstX < unDstW && unSrcX < unSrcW)
        unCols = std::min({width, unSrcW, unDstW - unDstX, unSrcW - unSrcX});
    if (unDstY < unDstH && unSrcY < unSrcH)
        unRows = std::min({height, unSrcH, unDstH - unDstY, unSrcH - unSrcY});

    CopyRect(dstRows, unDstX, unDstY, srcRows, unSrcX, unSrcY, unCols, unRows, false);

    CopyAttributes(pDstBuffer, pSrcBuffer);
    lockSrc.unlock();
    lockDst.unlock();
    return S_OK;
}

CQELImageBuffer *PyQelBufferUtility::GetROI(CQELImageBuffer *pSrcImageBuffer, int nLeft, int nTop, int nWidth,
                                            int nHeight)
{
    QEL_TRACE_ENTRY(kGetROI);
    if (m_pBufferAllocator == nullptr || pSrcImageBuffer == nullptr)
        return nullptr;

    const int nSrcWidth = (int)pSrcImageBuffer->getWidth();
    const int nSrcHeight = (int)pSrcImageBuffer->getHeight();
    // Sums in 64 bits, so a huge size cannot wrap past the test.
    if ((long long)nLeft + nWidth > nSrcWidth || (long long)nTop + nHeight > nSrcHeight || nLeft < 0 || nTop < 0) {
        QEL_TRACE("[PyQelBufferUtility] roi out of boundary (%d, %d, %d, %d)", nLeft, nTop, nWidth, nHeight);
        return nullptr;
    }

    const UINT unBpp = pSrcImageBuffer->getBytesPerPixel();
    const int nType = pSrcImageBuffer->m_nAllocateType;
    CNewBuffer newBuffer;
    m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), (UINT)nWidth, (UINT)nHeight, unBpp, nType);
    if (!newBuffer) {
        QEL_TRACE("[PyQelBufferUtility] buffer allocate fail");
        return nullptr;
    }
    if (nType != BUFFER_ALLOCATE_TYPE_BYTE && nType != BUFFER_ALLOCATE_TYPE_CHUNK &&
        nType != BUFFER_ALLOCATE_TYPE_PLANAR) {
        QEL_TRACE("[PyQelBufferUtility] unsupported allocate type");
        return nullptr;
    }

    CBufferLock lockSrc(pSrcImageBuffer, pSrcImageBuffer->getWidth(), pSrcImageBuffer->getHeight());
    if (!lockSrc.locked()) {
        if (nType == BUFFER_ALLOCATE_TYPE_PLANAR)
            QEL_TRACE("[%s][Planar] lock src failed, %0x", kGetROI, QEL_ADDR32(pSrcImageBuffer));
        else
            QEL_TRACE("[%s][type(%d)] lock src failed, %0x", kGetROI, nType, QEL_ADDR32(pSrcImageBuffer));
        return nullptr;
    }
    CBufferLock lockNew(newBuffer.get(), (UINT)nWidth, (UINT)nHeight);

    CPixelRows srcRows, newRows;
    // The new buffer's lock is not checked, so the plane geometry comes from
    // the sizes asked for rather than from what that lock wrote back.
    if (!srcRows.Attach(pSrcImageBuffer, pSrcImageBuffer->getWidth(), unBpp) ||
        !newRows.Attach(newBuffer.get(), (UINT)nWidth, unBpp)) {
        QEL_TRACE("[PyQelBufferUtility] unsupported allocate type");
        return nullptr;
    }
    // A zero or negative size never reaches the copy as a length. The rows
    // go to the OpenMP team in bands: the result is the same byte for byte,
    // and the fresh pages of the new buffer fault in on two cores at once.
    if (nWidth > 0 && nHeight > 0)
        CopyRect(newRows, 0, 0, srcRows, (UINT)nLeft, (UINT)nTop, (UINT)nWidth, (UINT)nHeight, true);

    CopyAttributes(newBuffer.get(), pSrcImageBuffer);
    lockNew.unlock();
    lockSrc.unlock();
    QEL_TRACE_END(kGetROI);
    return newBuffer.detach();
}

HRESULT PyQelBufferUtility::ClearBuffer(CQELImageBuffer *pDstBuffer, int const x, int const y, UINT const width,
                                        UINT const height, DWORD const color)
{
    if (m_pBufferAllocator == nullptr || pDstBuffer == nullptr)
        return E_POINTER;
    if (width == 0 || height == 0)
        return E_INVALIDARG;

    const UINT unBpp = pDstBuffer->getBytesPerPixel();
    CBufferLock lock(pDstBuffer, pDstBuffer->getWidth(), pDstBuffer->getHeight());
    if (lock.data() == nullptr)
        return S_OK;
    const UINT unW = lock.width(), unH = lock.height();
    // An empty buffer has no last column or row to clamp to.
    if (unW == 0 || unH == 0)
        return S_OK;
    CPixelRows rows;
    if (!rows.Attach(pDstBuffer, unW, unBpp))
        return E_FAIL;

    // Unsigned clamping: a negative start lands on the last column or row.
    const UINT unX0 = std::min((UINT)x, unW - 1);
    const UINT unY0 = std::min((UINT)y, unH - 1);
    const UINT unCols = std::min(width, unW - unX0);
    const UINT unRows = std::min(height, unH - unY0);
    const BYTE byValue = (BYTE)(color & 0xFF);
    const size_t cbSpan = rows.SpanBytes(unCols);

    if (rows.Planar()) {
        const int nChannels = rows.Geometry().nChannels;
        qel::ForEachRow((int)unRows, [&](int r) {
            for (int c = 0; c < nChannels; ++c)
                qel::FillRowBytes(rows.Sample(c, unY0 + r, unX0), byValue, cbSpan);
        });
    } else {
        qel::ForEachRow((int)unRows,
                        [&](int r) { qel::FillRowBytes(rows.Pixel(unY0 + r, unX0), byValue, cbSpan); });
    }
    return S_OK;
}

HRESULT PyQelBufferUtility::SetBufferColor(CQELImageBuffer *pDstBuffer, int nAlpha, int nRed, int nGreen, int nBlue,
                                           PyObject *pPyoROI)
{
    if (pDstBuffer == nullptr)
        return E_POINTER;
    const UINT unBufWidth = pDstBuffer->getWidth();
    const UINT unBufHeight = pDstBuffer->getHeight();
    const UINT unBpp = pDstBuffer->getBytesPerPixel();
    if (unBpp != 4 && unBpp != 1)
        return E_FAIL;

    int anRegion[4] = {0, 0, 0, 0}; // left, top, width, height
    const bool bRegionGiven = pPyoROI != nullptr && pPyoROI != Py_None;
    if (bRegionGiven && !ParseRegion(pPyoROI, anRegion))
        return E_INVALIDARG;
    if (!bRegionGiven || (anRegion[0] == 0 && anRegion[1] == 0 && anRegion[2] == 0 && anRegion[3] == 0)) {
        anRegion[2] = (int)unBufWidth;
        anRegion[3] = (int)unBufHeight;
    }

    CBufferLock lock(pDstBuffer, unBufWidth, unBufHeight);
    if (lock.data() == nullptr)
        return S_OK;
    CPixelRows rows;
    if (!rows.Attach(pDstBuffer, lock.width(), unBpp))
        return E_FAIL;

    // The region is cut to the buffer: sizes run to the far edge at most,
    // and a start outside the buffer leaves nothing to fill.
    UINT unX0, unX1, unY0, unY1;
    ClipSpan(anRegion[0], (UINT)anRegion[2], lock.width(), &unX0, &unX1);
    ClipSpan(anRegion[1], (UINT)anRegion[3], lock.height(), &unY0, &unY1);
    const UINT unCols = unX1 - unX0;
    const int nRows = (int)(unY1 - unY0);
    if (unCols == 0 || nRows == 0)
        return S_OK;

    if (unBpp == 4) {
        const BYTE abyColor[4] = {(BYTE)nBlue, (BYTE)nGreen, (BYTE)nRed, (BYTE)nAlpha};
        if (rows.Planar()) {
            qel::ForEachRowParallel(nRows, [&](int r) {
                for (int c = 0; c < 4; ++c)
                    qel::FillRowBytes(rows.Sample(c, unY0 + r, unX0), abyColor[c], unCols);
            });
        } else {
            qel::ForEachRowParallel(nRows, [&](int r) {
                qel::FillRowPixel4(rows.Pixel(unY0 + r, unX0), unCols, abyColor[0], abyColor[1], abyColor[2],
                                   abyColor[3]);
            });
        }
    } else {
        // The grey level is the plain mean of the four values, truncated
        // toward zero; the sum wraps as 32-bit integers do.
        const int nSum = (int)((UINT)nAlpha + (UINT)nRed + (UINT)nGreen + (UINT)nBlue);
        const BYTE byGrey = (BYTE)(nSum / 4);
        qel::ForEachRow(nRows, [&](int r) { qel::FillRowBytes(rows.Pixel(unY0 + r, unX0), byGrey, unCols); });
    }
    return S_OK;
}

byte *PyQelBufferUtility::InverseByteArrayOrder(byte *buffer, int w, int h)
{
    // Negative sizes and products beyond 32 bits describe no array.
    if (w < 0 || h < 0)
        return nullptr;
    // The row (at most 2^33 bytes) is exact in 64 bits; the whole product
    // is not for the largest w and h, so it is bounded before it is formed.
    const long long llRow = (long long)w * 4;
    if (h != 0 && llRow > INT_MAX / h)
        return nullptr;
    const long long llSize = llRow * h;
    if (llSize > 0 && buffer == nullptr)
        return nullptr;
    // At least one byte, so an empty result is still a distinct array that
    // ReleaseByteArray can free.
    byte *pOut = static_cast<byte *>(std::malloc(llSize > 0 ? (size_t)llSize : 1));
    if (pOut == nullptr || llSize == 0)
        return pOut;
    const size_t cbRow = (size_t)llRow;
    qel::ForEachRow(h, [&](int r) {
        qel::CopyRowBytes(pOut + (size_t)(h - 1 - r) * cbRow, buffer + (size_t)r * cbRow, cbRow);
    });
    return pOut;
}

void PyQelBufferUtility::ReleaseByteArray(byte *buffer)
{
    std::free(buffer);
}
