// What the clipboard methods need from the platform: a clipboard that is
// opened, emptied, given and asked for data by format and closed; movable
// memory blocks to hand it; and bitmap objects with their description and
// bits. The clipboard has two implementations (the X11 selection and a
// process-local one); blocks and bitmaps are plain process memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "DibFormat.h"
#include "QelTypes.h"

namespace qel {
namespace clip {

class CGlobalBlock;
class CDibSection;
typedef CGlobalBlock *HGLOBAL;
typedef CDibSection *HBITMAP;

// ---- movable memory blocks -------------------------------------------------

// A block of cb zero bytes, or null when memory runs out.
HGLOBAL GlobalAlloc(std::size_t cb);
// A block that takes over the bytes of a vector from byte cbSkip on.
HGLOBAL GlobalAdopt(std::vector<BYTE> &&bytes, std::size_t cbSkip);
// The block's first byte, or null; each successful lock pairs with an unlock.
BYTE *GlobalLock(HGLOBAL hBlock);
bool GlobalUnlock(HGLOBAL hBlock);
std::size_t GlobalSize(HGLOBAL hBlock);
void GlobalFree(HGLOBAL hBlock);

// ---- bitmaps -----------------------------------------------------------------

// A bitmap laid out as the header describes (rows padded to 4 bytes, stored
// bottom-up for a positive height), with *ppBits set to its pixel rows; null
// (and *ppBits null) when it cannot be made. 24- and 32-bit only.
HBITMAP CreateDIBSection(const tagBITMAPINFOHEADER &header, void **ppBits);
bool GetObject(HBITMAP hBitmap, tagBITMAP *pDescription);
// Copies up to cb bytes of the image, rows top-down at bmWidthBytes; returns
// the bytes copied.
long GetBitmapBits(HBITMAP hBitmap, long cb, void *pBits);
void DeleteObject(HBITMAP hBitmap);
// The header the bitmap was made from, and its rows in their stored order.
const tagBITMAPINFOHEADER *BitmapHeader(HBITMAP hBitmap);
const BYTE *BitmapStoredBits(HBITMAP hBitmap, std::size_t *pcbBits);

// ---- the clipboard -----------------------------------------------------------

// One clipboard. Open waits for a call on another thread to close it (up to
// a few seconds) and fails after that. Data set with SetData belongs to the
// clipboard when the call succeeds and stays the caller's when it fails;
// data from GetData belongs to the clipboard and is valid until Close.
class IClipboard {
public:
    virtual bool Open(HWND hOwner) = 0;
    virtual bool Empty() = 0;
    virtual void *SetData(UINT uFormat, void *hData) = 0;
    virtual bool IsFormatAvailable(UINT uFormat) = 0;
    virtual void *GetData(UINT uFormat) = 0;
    virtual bool Close() = 0;

protected:
    ~IClipboard() {}
};

// The display named by DISPLAY (empty when unset). Read while the caller
// still holds the interpreter lock, under which Python changes the
// environment.
std::string DisplayName();

// The clipboard for one call: the X11 selection of the display when one is
// named and can be reached, else the process-local one.
IClipboard &ChooseClipboard(const std::string &display);

// Opening shared by both implementations: one caller at a time.
class CClipboardGate {
public:
    bool Enter(HWND hOwner);
    void Leave();
    HWND Owner() const { return m_hOwner; }

private:
    // A flag under a mutex rather than a timed mutex: a timed lock may give
    // up before its time without anyone holding it, and a caller must only
    // fail when the clipboard really stayed open for the whole wait.
    std::mutex m_mutex;
    std::condition_variable m_cvFree;
    bool m_bHeld = false;
    HWND m_hOwner = nullptr;
};

// Fault switches of the test hooks (QelClipboardTest_SetFaults).
enum {
    kFaultRefuseDib = 1,      // the process-local clipboard refuses CF_DIB
    kFaultRefuseBitmap = 2,   // ... and CF_BITMAP
    kFaultOpen = 4,           // Open fails
    kFaultAlloc = 8,          // GlobalAlloc fails
    kFaultBlockLock = 16,     // GlobalLock fails
    kFaultSection = 32,       // CreateDIBSection fails
};
bool FaultSet(unsigned uFault);

// Counters of the test hooks.
void CountAdd(int nCounter, long long llDelta = 1);
enum { kCountOpen, kCountClose, kCountEmpty, kCountLiveBlocks, kCountLiveBitmaps, kCounters };

} // namespace clip
} // namespace qel
