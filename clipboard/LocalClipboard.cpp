// The clipboard of a process without a display: the same operations over
// memory inside the process, so scripts and tests behave the same headless.
// It keeps one DIB block and one bitmap. Either answers the availability
// of both formats, as the platform's clipboard offers the one it can
// synthesise from the other, but GetData gives only what was set, so a
// paste after the bitmap fallback reads the bitmap.
#include <cstring>
#include <mutex>

#include "ClipboardPlatform.h"
#include "LocalClipboard.h"

namespace qel {
namespace clip {

bool CLocalClipboard::Open(HWND hOwner)
{
    return m_gate.Enter(hOwner);
}

bool CLocalClipboard::Empty()
{
    CountAdd(kCountEmpty);
    std::lock_guard<std::mutex> hold(m_data);
    Clear();
    return true;
}

void CLocalClipboard::Clear()
{
    GlobalFree(m_hDib);
    m_hDib = nullptr;
    DeleteObject(m_hBitmap);
    m_hBitmap = nullptr;
}

void *CLocalClipboard::SetData(UINT uFormat, void *hData)
{
    if (hData == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(m_data);
    if (uFormat == CF_DIB && !FaultSet(kFaultRefuseDib)) {
        if (m_hDib != hData)
            GlobalFree(m_hDib);
        m_hDib = static_cast<HGLOBAL>(hData);
        return hData;
    }
    if (uFormat == CF_BITMAP && !FaultSet(kFaultRefuseBitmap)) {
        if (m_hBitmap != hData)
            DeleteObject(m_hBitmap);
        m_hBitmap = static_cast<HBITMAP>(hData);
        return hData;
    }
    return nullptr;
}

bool CLocalClipboard::IsFormatAvailable(UINT uFormat)
{
    std::lock_guard<std::mutex> hold(m_data);
    if (uFormat == CF_DIB || uFormat == CF_BITMAP)
        return m_hDib != nullptr || m_hBitmap != nullptr;
    return false;
}

void *CLocalClipboard::GetData(UINT uFormat)
{
    std::lock_guard<std::mutex> hold(m_data);
    if (uFormat == CF_DIB)
        return m_hDib;
    if (uFormat == CF_BITMAP)
        return m_hBitmap;
    return nullptr;
}

bool CLocalClipboard::Close()
{
    m_gate.Leave();
    return true;
}

CLocalClipboard &CLocalClipboard::Instance()
{
    // Never destroyed: a Python thread may still be inside a call while the
    // process exits.
    static CLocalClipboard *s_pInstance = new CLocalClipboard;
    return *s_pInstance;
}

bool CLocalClipboard::TestPut(UINT uFormat, const BYTE *pData, std::size_t cb)
{
    std::lock_guard<std::mutex> hold(m_data);
    Clear();
    if (uFormat == 0)
        return true;
    if (uFormat == CF_DIB) {
        HGLOBAL hBlock = GlobalAlloc(cb);
        if (hBlock == nullptr)
            return false;
        if (cb != 0)
            std::memcpy(GlobalLock(hBlock), pData, cb);
        GlobalUnlock(hBlock);
        m_hDib = hBlock;
        return true;
    }
    if (uFormat == CF_BITMAP && cb >= kInfoHeaderSize) {
        void *pBits = nullptr;
        HBITMAP hBitmap = CreateDIBSection(LoadInfoHeader(pData), &pBits);
        std::size_t cbBits = 0;
        BitmapStoredBits(hBitmap, &cbBits);
        if (hBitmap == nullptr || pBits == nullptr || cb - kInfoHeaderSize != cbBits) {
            DeleteObject(hBitmap);
            return false;
        }
        std::memcpy(pBits, pData + kInfoHeaderSize, cbBits);
        m_hBitmap = hBitmap;
        return true;
    }
    return false;
}

long long CLocalClipboard::TestGet(UINT uFormat, BYTE *pOut, std::size_t cbOut)
{
    std::lock_guard<std::mutex> hold(m_data);
    const BYTE *pFirst = nullptr, *pSecond = nullptr;
    std::size_t cbFirst = 0, cbSecond = 0;
    if (uFormat == CF_DIB && m_hDib != nullptr) {
        pFirst = GlobalLock(m_hDib);
        cbFirst = GlobalSize(m_hDib);
        GlobalUnlock(m_hDib);
    } else if (uFormat == CF_BITMAP && m_hBitmap != nullptr) {
        pFirst = reinterpret_cast<const BYTE *>(BitmapHeader(m_hBitmap));
        cbFirst = kInfoHeaderSize;
        pSecond = BitmapStoredBits(m_hBitmap, &cbSecond);
    } else {
        return -1;
    }
    if (pOut != nullptr && cbOut >= cbFirst + cbSecond) {
        if (cbFirst != 0)
            std::memcpy(pOut, pFirst, cbFirst);
        if (cbSecond != 0)
            std::memcpy(pOut + cbFirst, pSecond, cbSecond);
    }
    return (long long)(cbFirst + cbSecond);
}

} // namespace clip
} // namespace qel

// ---- test hooks of the process-local clipboard --------------------------------

// Replaces the contents with one item: a DIB block of cb bytes (format 8),
// a bitmap made from a 40-byte header followed by its stored rows (format
// 2), or nothing (format 0). Returns 1 on success.
extern "C" __attribute__((visibility("default"))) int QelClipboardTest_Put(unsigned uFormat, const void *pData,
                                                                            std::size_t cb)
{
    return qel::clip::CLocalClipboard::Instance().TestPut(uFormat, static_cast<const BYTE *>(pData), cb) ? 1 : 0;
}

// The bytes held for a format (a DIB block; a bitmap as its header and
// stored rows), copied into pOut when it is large enough. Returns their
// count, or -1 when the format is not held.
extern "C" __attribute__((visibility("default"))) long long QelClipboardTest_Get(unsigned uFormat, void *pOut,
                                                                                  std::size_t cbOut)
{
    return qel::clip::CLocalClipboard::Instance().TestGet(uFormat, static_cast<BYTE *>(pOut), cbOut);
}
