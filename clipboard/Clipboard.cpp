// Exchanging images with the system clipboard as device-independent
// bitmaps: CopyToClipboard writes a buffer as a CF_DIB block (or, when that
// is refused, as a bitmap), PasteFromClipboard turns a 24- or 32-bit DIB or
// bitmap into a new BGRA buffer.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "ClipboardKernels.h"
#include "ClipboardPlatform.h"
#include "DibFormat.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"
#include "core/PlanarKernels.h"

using namespace qel::clip;

namespace {

// Closes the clipboard on every way out of a call that opened it.
class CClipboardOpen {
public:
    explicit CClipboardOpen(IClipboard &clipboard) : m_clipboard(clipboard) {}
    ~CClipboardOpen() { m_clipboard.Close(); }
    CClipboardOpen(const CClipboardOpen &) = delete;
    CClipboardOpen &operator=(const CClipboardOpen &) = delete;

private:
    IClipboard &m_clipboard;
};

// Holds a lock on a memory block until the end of the call.
class CBlockLock {
public:
    explicit CBlockLock(HGLOBAL hBlock) : m_hBlock(hBlock), m_pData(GlobalLock(hBlock)) {}
    ~CBlockLock()
    {
        if (m_hBlock != nullptr)
            GlobalUnlock(m_hBlock);
    }
    CBlockLock(const CBlockLock &) = delete;
    CBlockLock &operator=(const CBlockLock &) = delete;
    BYTE *data() const { return m_pData; }

private:
    HGLOBAL m_hBlock;
    BYTE *m_pData;
};

// Memory blocks and bitmaps made for the clipboard: freed unless the
// clipboard takes them.
struct CGlobalFreeDeleter {
    void operator()(CGlobalBlock *hBlock) const { GlobalFree(hBlock); }
};
struct CDeleteObjectDeleter {
    void operator()(CDibSection *hBitmap) const { DeleteObject(hBitmap); }
};
typedef std::unique_ptr<CGlobalBlock, CGlobalFreeDeleter> CBlockOwner;
typedef std::unique_ptr<CDibSection, CDeleteObjectDeleter> CBitmapOwner;

// Where the copy reads buffer row y. BYTE buffers are read from the locked
// address as one block; CHUNK rows are not contiguous and are found through
// the stride table; PLANAR buffers are interleaved from their planes.
class CSourceRows {
public:
    // False when the rows cannot be reached: a lock without an address
    // (whatever the layout: rows of an unlocked buffer are not read), or a
    // missing table.
    bool Attach(CQELImageBuffer *pBuffer, BYTE *pData, UINT unWidth, UINT unBytesPerPixel)
    {
        if (pData == nullptr)
            return false;
        m_pData = pData;
        m_cbRow = (std::size_t)unWidth * unBytesPerPixel;
        m_unWidth = unWidth;
        switch (pBuffer->m_nAllocateType) {
        case BUFFER_ALLOCATE_TYPE_BYTE:
            return true;
        case BUFFER_ALLOCATE_TYPE_CHUNK:
            m_ppRows = pBuffer->m_ppStrideTable;
            return m_ppRows != nullptr;
        case BUFFER_ALLOCATE_TYPE_PLANAR: {
            qel::tagPlanarGeometry geometry;
            if (pBuffer->m_ppPlaneTable == nullptr || !qel::GetPlanarGeometry(unBytesPerPixel, &geometry))
                return false;
            m_pfnMerge = qel::ChooseMergeRow(geometry);
            m_ppPlanes = pBuffer->m_ppPlaneTable;
            m_nPlanes = geometry.nChannels;
            return m_pfnMerge != nullptr;
        }
        default:
            return false;
        }
    }

    std::size_t RowBytes() const { return m_cbRow; }

    // Buffer row y into a stored row of cbStride bytes, padding zeroed.
    void Store(BYTE *pDst, UINT y, std::size_t cbStride) const
    {
        if (m_pfnMerge != nullptr) {
            const BYTE *apPlanes[4] = {};
            for (int c = 0; c < m_nPlanes; ++c)
                apPlanes[c] = m_ppPlanes[c] + (std::size_t)y * m_unWidth;
            m_pfnMerge(pDst, apPlanes, m_unWidth);
            qel::FillRowBytes(pDst + m_cbRow, 0, cbStride - m_cbRow);
            return;
        }
        const BYTE *pSrc = m_ppRows != nullptr ? m_ppRows[y] : m_pData + (std::size_t)y * m_cbRow;
        StoreDibRow(pDst, pSrc, m_cbRow, cbStride - m_cbRow);
    }

private:
    BYTE *m_pData = nullptr;
    std::size_t m_cbRow = 0;
    UINT m_unWidth = 0;
    BYTE **m_ppRows = nullptr;
    BYTE **m_ppPlanes = nullptr;
    int m_nPlanes = 0;
    qel::PFN_MergeRow m_pfnMerge = nullptr;
};

// The H rows of the buffer, last buffer row first, into rows of cbStride bytes.
void StoreRowsBottomUp(BYTE *pBits, const CSourceRows &source, UINT unHeight, std::size_t cbStride)
{
    qel::ForEachRow((int)unHeight, [&](int y) {
        source.Store(pBits + (std::size_t)(unHeight - 1 - (UINT)y) * cbStride, (UINT)y, cbStride);
    });
}

} // namespace

BOOL PyQelBufferUtility::CopyToClipboard(HWND hwnd, CQELImageBuffer *pSrcBuffer)
{
    if (hwnd == nullptr || pSrcBuffer == nullptr)
        return FALSE;
    const std::string display = DisplayName();
    // Nothing below needs the interpreter; the clipboard may have to wait
    // for another program.
    CPyAllowThreads allowThreads;

    CBufferLock srcLock(pSrcBuffer);
    const UINT unWidth = srcLock.width();
    const UINT unHeight = srcLock.height();
    const UINT unBytesPerPixel = pSrcBuffer->getBytesPerPixel();
    const std::uint64_t cbStride = DibRowBytes(unWidth, unBytesPerPixel);
    const std::uint64_t cbImage = cbStride * unHeight;
    if (cbImage > 0xFFFFFFFFull)
        return FALSE;
    // Only 24- and 32-bit rows make a DIB without a colour table; other
    // pixel sizes are left off the clipboard, as is a buffer whose pixels
    // cannot be reached.
    CSourceRows source;
    if ((unBytesPerPixel != 3 && unBytesPerPixel != 4) ||
        !source.Attach(pSrcBuffer, srcLock.data(), unWidth, unBytesPerPixel))
        return FALSE;

    IClipboard &clipboard = ChooseClipboard(display);
    if (!clipboard.Open(hwnd))
        return FALSE;
    CClipboardOpen closeOnReturn(clipboard);
    clipboard.Empty();

    tagBITMAPINFOHEADER header = MakeCopyHeader(unWidth, unHeight, unBytesPerPixel, (UINT)cbImage, kDibPelsPerMeter);
    {
        CBlockOwner block(GlobalAlloc(kInfoHeaderSize + (std::size_t)cbImage));
        if (!block)
            return FALSE;
        // The block stays locked until the clipboard has taken it or refused
        // it; unlocked before it is freed.
        CBlockLock blockLock(block.get());
        if (BYTE *pBlock = blockLock.data()) {
            StoreInfoHeader(pBlock, header);
            StoreRowsBottomUp(pBlock + kInfoHeaderSize, source, unHeight, (std::size_t)cbStride);
        }
        if (clipboard.SetData(CF_DIB, block.get()) != nullptr) {
            block.release();  // the clipboard owns it now
            return TRUE;
        }
        QEL_TRACE("Set DIB to clipboard fail, size = %d, %d, %d", (int)unWidth, (int)unHeight, (int)unBytesPerPixel);
    }

    header.biXPelsPerMeter = header.biYPelsPerMeter = kBitmapPelsPerMeter;
    void *pBits = nullptr;
    CBitmapOwner section(CreateDIBSection(header, &pBits));
    if (section && pBits != nullptr)
        StoreRowsBottomUp(static_cast<BYTE *>(pBits), source, unHeight, (std::size_t)cbStride);
    if (section && clipboard.SetData(CF_BITMAP, section.get()) != nullptr) {
        section.release();  // the clipboard owns it now
        return TRUE;
    }
    QEL_TRACE("Set BITMAP to clipboard fail, size = %d, %d, %d", (int)unWidth, (int)unHeight, (int)unBytesPerPixel);
    return FALSE;
}

CQELImageBuffer *PyQelBufferUtility::PasteFromClipboard(HWND hwnd)
{
    const std::string display = DisplayName();
    CPyAllowThreads allowThreads;

    IClipboard &clipboard = ChooseClipboard(display);
    if (!clipboard.IsFormatAvailable(CF_DIB) || !clipboard.IsFormatAvailable(CF_BITMAP))
        return nullptr;
    if (!clipboard.Open(hwnd))
        return nullptr;
    CClipboardOpen closeOnReturn(clipboard);

    // Where the source rows are: in the DIB block, or in bits fetched from
    // the bitmap (top-down, stride bmWidthBytes).
    tagDibRows rows;
    const BYTE *pSource = nullptr;
    std::size_t cbSource = 0;
    std::unique_ptr<BYTE[]> pBitmapBits;

    HGLOBAL hDib = static_cast<HGLOBAL>(clipboard.GetData(CF_DIB));
    CBlockLock dibLock(hDib);
    if (hDib != nullptr) {
        if (dibLock.data() == nullptr)
            return nullptr;
        pSource = dibLock.data();
        cbSource = GlobalSize(hDib);
        if (!ReadDibHeader(pSource, cbSource, &rows) || rows.nHeight == 0)
            return nullptr;
    } else {
        HBITMAP hBitmap = static_cast<HBITMAP>(clipboard.GetData(CF_BITMAP));
        tagBITMAP description;
        if (hBitmap == nullptr || !GetObject(hBitmap, &description))
            return nullptr;
        const long long llBits = (long long)description.bmWidthBytes * description.bmHeight;
        if (description.bmWidthBytes < 0 || description.bmHeight < 0 || llBits > 0x7FFFFFFFLL)
            return nullptr;
        pBitmapBits.reset(new (std::nothrow) BYTE[llBits == 0 ? 1 : (std::size_t)llBits]);
        if (!pBitmapBits)
            return nullptr;
        cbSource = (std::size_t)GetBitmapBits(hBitmap, (long)llBits, pBitmapBits.get());
        pSource = pBitmapBits.get();
        rows.nWidth = description.bmWidth;
        rows.nHeight = description.bmHeight;
        rows.bTopDown = true;
        rows.nBytesPerPixel = description.bmBitsPixel / 8;
        rows.llStride = description.bmWidthBytes;
        rows.llBitsOffset = 0;
    }

    const PFN_PasteRow pfnRow = ChoosePasteRow(rows.nBytesPerPixel);
    if (pfnRow == nullptr || !DibRowsInside(rows, cbSource) || m_pBufferAllocator == nullptr)
        return nullptr;

    CNewBuffer result;
    const HRESULT hr = m_pBufferAllocator->allocateImageBuffer(result.out(), (UINT)rows.nWidth, (UINT)rows.nHeight,
                                                               4, BUFFER_ALLOCATE_TYPE_BYTE);
    if (FAILED(hr) || !result)
        return nullptr;
    {
        CBufferLock dstLock(result.get(), (UINT)rows.nWidth, (UINT)rows.nHeight);
        if (dstLock.data() != nullptr) {
            // Bounded by both sizes, so an allocator that made a smaller
            // buffer is never overrun.
            const int nCols = (int)std::min<UINT>((UINT)rows.nWidth, dstLock.width());
            const int nRowCount = (int)std::min<UINT>((UINT)rows.nHeight, dstLock.height());
            const std::size_t cbDstRow = (std::size_t)dstLock.width() * 4;
            BYTE *pDst = dstLock.data();
            qel::ForEachRow(nRowCount,
                            [&](int y) { pfnRow(rows.Row(pSource, y), pDst + (std::size_t)y * cbDstRow, nCols); });
        }
    }
    return result.detach();
}
