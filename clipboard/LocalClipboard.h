// The process-local clipboard (see LocalClipboard.cpp).
#pragma once

#include <mutex>

#include "ClipboardPlatform.h"

namespace qel {
namespace clip {

class CLocalClipboard final : public IClipboard {
public:
    static CLocalClipboard &Instance();

    bool Open(HWND hOwner) override;
    bool Empty() override;
    void *SetData(UINT uFormat, void *hData) override;
    bool IsFormatAvailable(UINT uFormat) override;
    void *GetData(UINT uFormat) override;
    bool Close() override;

    bool TestPut(UINT uFormat, const BYTE *pData, std::size_t cb);
    long long TestGet(UINT uFormat, BYTE *pOut, std::size_t cbOut);

private:
    void Clear();

    CClipboardGate m_gate;
    std::mutex m_data;
    HGLOBAL m_hDib = nullptr;
    HBITMAP m_hBitmap = nullptr;
};

} // namespace clip
} // namespace qel
