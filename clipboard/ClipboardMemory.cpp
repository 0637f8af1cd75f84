// Movable memory blocks and bitmap objects: process memory with the
// platform's handle semantics, counted so tests can see that every block
// and bitmap a call made was handed over or freed.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "ClipboardPlatform.h"

namespace qel {
namespace clip {

namespace {

std::atomic<unsigned> g_uFaults{0};
std::atomic<long long> g_allCounters[kCounters];

} // namespace

bool FaultSet(unsigned uFault)
{
    return (g_uFaults.load(std::memory_order_relaxed) & uFault) != 0;
}

void CountAdd(int nCounter, long long llDelta)
{
    g_allCounters[nCounter].fetch_add(llDelta, std::memory_order_relaxed);
}

// ---- blocks ------------------------------------------------------------------

struct CFreeDeleter {
    void operator()(BYTE *p) const { std::free(p); }
};

class CGlobalBlock {
public:
    std::unique_ptr<BYTE, CFreeDeleter> m_pOwned;
    std::vector<BYTE> m_adopted;
    BYTE *m_pData = nullptr;
    std::size_t m_cb = 0;
    int m_nLocks = 0;
};

HGLOBAL GlobalAlloc(std::size_t cb)
{
    if (FaultSet(kFaultAlloc))
        return nullptr;
    std::unique_ptr<CGlobalBlock> pBlock(new (std::nothrow) CGlobalBlock);
    if (!pBlock)
        return nullptr;
    // Zeroed, so a block handed on before it is filled carries no stale
    // memory to other programs; calloc gets large blocks as fresh zero
    // pages instead of clearing them first. The platform's blocks are never
    // empty; a zero-byte request still gets an address.
    pBlock->m_pOwned.reset(static_cast<BYTE *>(std::calloc(cb == 0 ? 1 : cb, 1)));
    if (!pBlock->m_pOwned)
        return nullptr;
    pBlock->m_pData = pBlock->m_pOwned.get();
    pBlock->m_cb = cb;
    CountAdd(kCountLiveBlocks);
    return pBlock.release();
}

HGLOBAL GlobalAdopt(std::vector<BYTE> &&bytes, std::size_t cbSkip)
{
    if (cbSkip > bytes.size())
        return nullptr;
    std::unique_ptr<CGlobalBlock> pBlock(new (std::nothrow) CGlobalBlock);
    if (!pBlock)
        return nullptr;
    pBlock->m_adopted = std::move(bytes);
    pBlock->m_pData = pBlock->m_adopted.data() + cbSkip;
    pBlock->m_cb = pBlock->m_adopted.size() - cbSkip;
    CountAdd(kCountLiveBlocks);
    return pBlock.release();
}

BYTE *GlobalLock(HGLOBAL hBlock)
{
    if (hBlock == nullptr || FaultSet(kFaultBlockLock))
        return nullptr;
    ++hBlock->m_nLocks;
    return hBlock->m_pData;
}

bool GlobalUnlock(HGLOBAL hBlock)
{
    if (hBlock == nullptr || hBlock->m_nLocks == 0)
        return false;
    return --hBlock->m_nLocks != 0;
}

std::size_t GlobalSize(HGLOBAL hBlock)
{
    return hBlock == nullptr ? 0 : hBlock->m_cb;
}

void GlobalFree(HGLOBAL hBlock)
{
    if (hBlock == nullptr)
        return;
    CountAdd(kCountLiveBlocks, -1);
    delete hBlock;
}

// ---- bitmaps -----------------------------------------------------------------

class CDibSection {
public:
    tagBITMAPINFOHEADER m_header;
    std::unique_ptr<BYTE[]> m_pBits; // rows in the header's order, padded to 4 bytes
    std::size_t m_cbBits = 0;
    int m_nHeight = 0;
    long long m_llStride = 0;
};

HBITMAP CreateDIBSection(const tagBITMAPINFOHEADER &header, void **ppBits)
{
    *ppBits = nullptr;
    if (FaultSet(kFaultSection))
        return nullptr;
    if (header.biWidth <= 0 || header.biHeight == 0 || (header.biBitCount != 24 && header.biBitCount != 32))
        return nullptr;
    const long long llHeight = header.biHeight < 0 ? -(long long)header.biHeight : header.biHeight;
    const long long llStride = (((long long)header.biWidth * (header.biBitCount / 8)) + 3) & ~3LL;
    if (llStride * llHeight > 0x7FFFFFFFLL)
        return nullptr;
    std::unique_ptr<CDibSection> pSection(new (std::nothrow) CDibSection);
    if (!pSection)
        return nullptr;
    pSection->m_header = header;
    pSection->m_nHeight = (int)llHeight;
    pSection->m_llStride = llStride;
    pSection->m_cbBits = (std::size_t)(llStride * llHeight);
    pSection->m_pBits.reset(new (std::nothrow) BYTE[pSection->m_cbBits]());
    if (!pSection->m_pBits)
        return nullptr;
    *ppBits = pSection->m_pBits.get();
    CountAdd(kCountLiveBitmaps);
    return pSection.release();
}

bool GetObject(HBITMAP hBitmap, tagBITMAP *pDescription)
{
    if (hBitmap == nullptr || pDescription == nullptr)
        return false;
    pDescription->bmType = 0;
    pDescription->bmWidth = hBitmap->m_header.biWidth;
    pDescription->bmHeight = hBitmap->m_nHeight;
    pDescription->bmWidthBytes = (int)hBitmap->m_llStride;
    pDescription->bmPlanes = 1;
    pDescription->bmBitsPixel = hBitmap->m_header.biBitCount;
    pDescription->bmBits = hBitmap->m_pBits.get();
    return true;
}

long GetBitmapBits(HBITMAP hBitmap, long cb, void *pBits)
{
    if (hBitmap == nullptr || pBits == nullptr || cb <= 0 || !hBitmap->m_pBits)
        return 0;
    // The bits come out top-down whatever order the section stores them in.
    const bool bBottomUp = hBitmap->m_header.biHeight > 0;
    const long long llStride = hBitmap->m_llStride;
    long long llLeft = cb;
    BYTE *pOut = static_cast<BYTE *>(pBits);
    long lCopied = 0;
    for (int y = 0; y < hBitmap->m_nHeight && llLeft > 0; ++y) {
        const int nStored = bBottomUp ? hBitmap->m_nHeight - 1 - y : y;
        const long long llTake = llLeft < llStride ? llLeft : llStride;
        std::memcpy(pOut, hBitmap->m_pBits.get() + (long long)nStored * llStride, (std::size_t)llTake);
        pOut += llTake;
        llLeft -= llTake;
        lCopied += (long)llTake;
    }
    return lCopied;
}

void DeleteObject(HBITMAP hBitmap)
{
    if (hBitmap == nullptr)
        return;
    CountAdd(kCountLiveBitmaps, -1);
    delete hBitmap;
}

const tagBITMAPINFOHEADER *BitmapHeader(HBITMAP hBitmap)
{
    return hBitmap == nullptr ? nullptr : &hBitmap->m_header;
}

const BYTE *BitmapStoredBits(HBITMAP hBitmap, std::size_t *pcbBits)
{
    *pcbBits = hBitmap == nullptr || !hBitmap->m_pBits ? 0 : hBitmap->m_cbBits;
    return hBitmap == nullptr ? nullptr : hBitmap->m_pBits.get();
}

// ---- opening -------------------------------------------------------------------

// A caller that holds the clipboard for longer than this is stuck; the next
// one gives up rather than hang with it.
const int kOpenWaitMs = 5000;

bool CClipboardGate::Enter(HWND hOwner)
{
    if (FaultSet(kFaultOpen))
        return false;
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        if (!m_cvFree.wait_for(hold, std::chrono::milliseconds(kOpenWaitMs), [this] { return !m_bHeld; }))
            return false;
        m_bHeld = true;
    }
    m_hOwner = hOwner;
    CountAdd(kCountOpen);
    return true;
}

void CClipboardGate::Leave()
{
    CountAdd(kCountClose);
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_bHeld = false;
    }
    m_cvFree.notify_one();
}

} // namespace clip
} // namespace qel

// ---- test hooks --------------------------------------------------------------
// Reached with ctypes from the tests; not part of the module's method table.

extern "C" __attribute__((visibility("default"))) void QelClipboardTest_SetFaults(unsigned uFaults)
{
    qel::clip::g_uFaults.store(uFaults);
}

extern "C" __attribute__((visibility("default"))) void QelClipboardTest_Counters(long long *pllOut)
{
    for (int i = 0; i < qel::clip::kCounters; ++i)
        pllOut[i] = qel::clip::g_allCounters[i].load();
}
