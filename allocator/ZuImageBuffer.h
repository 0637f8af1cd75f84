// The library's image and GIF buffers. Both are counted by reference and
// destroy themselves on their last release; neither keeps a link to the
// allocator that made it, so deleting the allocator leaves them valid.
#pragma once

#include <atomic>
#include <cstddef>

#include "ZuAllocatorTestHooks.h"
#include "ZuBufferInterface.h"

namespace zu {

// Rows per chunk of a CHUNK buffer.
constexpr UINT kChunkRows = 4;

// Largest storage (pixels plus row table) one buffer may take, so that
// every caller can do its byte arithmetic in signed 32 bits.
constexpr std::uint64_t kMaxBufferBytes = 0x7FFFFFFFu;

class CZuImageBuffer final : public CQELImageBuffer {
public:
    // Validates the request and builds a zero-filled buffer holding one
    // reference. *ppBuffer is null unless the result is S_OK.
    static HRESULT Create(UINT unWidth, UINT unHeight, UINT unBytesPerPixel, int nAllocateType,
                          bool bFileMapped, CZuImageBuffer **ppBuffer);

    long addRef() override;
    long release() override;
    bool lock(BYTE **ppData, UINT *pWidth, UINT *pHeight) override;
    HRESULT unlock() override;
    UINT getWidth() override { return m_unWidth; }
    UINT getHeight() override { return m_unHeight; }
    UINT getBytesPerPixel() override { return m_unBytesPerPixel; }
    void setAttribute1(UINT64 qwValue) override { m_qwAttribute1 = qwValue; }
    void setAttribute2(UINT64 qwValue) override { m_qwAttribute2 = qwValue; }

    void GetInfo(ZuTestBufferInfo *pInfo) const;

private:
    CZuImageBuffer(UINT unWidth, UINT unHeight, UINT unBytesPerPixel, int nAllocateType);
    ~CZuImageBuffer() override;
    CZuImageBuffer(const CZuImageBuffer &) = delete;
    CZuImageBuffer &operator=(const CZuImageBuffer &) = delete;

    HRESULT AllocateInMemory();
    HRESULT AllocateMapped();
    HRESULT MapFile(std::size_t cbMapping);
    void SetPlanes(BYTE *pBase);

    UINT m_unWidth;
    UINT m_unHeight;
    UINT m_unBytesPerPixel;
    std::atomic<long> m_nRefCount{1};
    std::atomic<long> m_nLockCount{0};

    // In-memory storage: one block (BYTE, PLANAR) or one block per chunk.
    BYTE *m_pBlock = nullptr;
    std::size_t m_cbBlockMapped = 0;
    BYTE **m_ppChunks = nullptr;
    UINT m_unChunkCount = 0;

    // File-mapped storage: one mapping of a memory file.
    void *m_pMapping = nullptr;
    std::size_t m_cbMapping = 0;

    BYTE *m_apPlanes[4] = {nullptr, nullptr, nullptr, nullptr};
};

class CZuGifBuffer final : public CQELGifBuffer {
public:
    long addRef() override;
    long release() override;

private:
    ~CZuGifBuffer() override = default;
    std::atomic<long> m_nRefCount{1};
};

// Registry of live image buffers, kept for the test hooks only: it is
// touched when a buffer is born or dies, never on the pixel path.
long LiveImageBufferCount();
bool IsLiveImageBuffer(const CQELImageBuffer *pBuffer);
bool GetLiveImageBufferInfo(const CQELImageBuffer *pBuffer, ZuTestBufferInfo *pInfo);

} // namespace zu
