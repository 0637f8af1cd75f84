// The clipboard of an X11 display: the CLIPBOARD selection (see
// X11Clipboard.cpp).
#pragma once

#include <string>
#include <vector>

#include "ClipboardPlatform.h"

namespace qel {
namespace clip {

class CSelectionOwner;

class CX11Clipboard final : public IClipboard {
public:
    // The clipboard of the named display, or null when no connection to it
    // can be made. Objects live for the rest of the process.
    static CX11Clipboard *ForDisplay(const std::string &display);

    bool Open(HWND hOwner) override;
    bool Empty() override;
    void *SetData(UINT uFormat, void *hData) override;
    bool IsFormatAvailable(UINT uFormat) override;
    void *GetData(UINT uFormat) override;
    bool Close() override;

private:
    CX11Clipboard(const std::string &display, CSelectionOwner *pOwner) : m_display(display), m_pOwner(pOwner) {}
    HGLOBAL FetchDib();
    HBITMAP BitmapFromDib(HGLOBAL hDib);
    void ReleaseCallData();

    const std::string m_display;
    CSelectionOwner *const m_pOwner;
    CClipboardGate m_gate;
    // Data of the call that has the clipboard open, freed when it closes.
    bool m_bFetched = false;
    HGLOBAL m_hFetchedDib = nullptr;
    HBITMAP m_hFetchedBitmap = nullptr;
    std::vector<HGLOBAL> m_handedBlocks;
    std::vector<HBITMAP> m_handedBitmaps;
};

} // namespace clip
} // namespace qel
