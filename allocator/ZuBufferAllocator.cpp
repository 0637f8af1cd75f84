// The allocator object and the library's exports. The library is built with
// hidden visibility; only the factory pair and the ZuTest_ hooks are
// exported, with C linkage.
#include <cstring>
#include <new>

#include "ZuAllocatorTestHooks.h"
#include "ZuBufferInterface.h"
#include "ZuFaults.h"
#include "ZuImageBuffer.h"

#define ZU_EXPORT extern "C" __attribute__((visibility("default")))

namespace zu {

namespace {

class CZuBufferAllocator final : public ZuBufferAllocator {
public:
    HRESULT allocateImageBuffer(CQELImageBuffer **ppBuffer, UINT unWidth, UINT unHeight,
                                UINT unBytesPerPixel, int nAllocateType) override
    {
        return Allocate(FAULT_ALLOCATE_IMAGE, ppBuffer, unWidth, unHeight, unBytesPerPixel,
                        nAllocateType, false);
    }

    HRESULT allocateFileMappingBuffer(CQELImageBuffer **ppBuffer, UINT unWidth, UINT unHeight,
                                      UINT unBytesPerPixel, int nAllocateType) override
    {
        return Allocate(FAULT_ALLOCATE_FILE_MAPPING, ppBuffer, unWidth, unHeight, unBytesPerPixel,
                        nAllocateType, true);
    }

    HRESULT copyBufferData(CQELImageBuffer **ppBuffer, BYTE *pMemory, UINT unOffset, UINT64 qwSize,
                           bool bToMemory) override;

    HRESULT allocateGifBuffer(CQELGifBuffer **ppBuffer) override
    {
        if (ppBuffer == nullptr)
            return E_POINTER;
        *ppBuffer = nullptr;
        HRESULT hr = S_OK;
        if (TakeFault(FAULT_ALLOCATE_GIF, &hr))
            return hr;
        CZuGifBuffer *pGif = new (std::nothrow) CZuGifBuffer();
        if (pGif == nullptr)
            return E_OUTOFMEMORY;
        *ppBuffer = pGif;
        return S_OK;
    }

    ~CZuBufferAllocator() override = default;

private:
    static HRESULT Allocate(FaultOp op, CQELImageBuffer **ppBuffer, UINT unWidth, UINT unHeight,
                            UINT unBytesPerPixel, int nAllocateType, bool bFileMapped)
    {
        if (ppBuffer == nullptr)
            return E_POINTER;
        *ppBuffer = nullptr;
        HRESULT hr = S_OK;
        if (TakeFault(op, &hr))
            return hr;
        CZuImageBuffer *pBuffer = nullptr;
        hr = CZuImageBuffer::Create(unWidth, unHeight, unBytesPerPixel, nAllocateType, bFileMapped,
                                    &pBuffer);
        if (SUCCEEDED(hr))
            *ppBuffer = pBuffer;
        return hr;
    }
};

HRESULT CZuBufferAllocator::copyBufferData(CQELImageBuffer **ppBuffer, BYTE *pMemory, UINT unOffset,
                                           UINT64 qwSize, bool bToMemory)
{
    if (ppBuffer == nullptr || *ppBuffer == nullptr || pMemory == nullptr)
        return E_POINTER;
    HRESULT hr = S_OK;
    if (TakeFault(FAULT_COPY_BUFFER_DATA, &hr))
        return hr;

    // Works through the interface only, so a buffer of any origin with a
    // stride table can be copied.
    CQELImageBuffer *pBuffer = *ppBuffer;
    if (pBuffer->m_nAllocateType != BUFFER_ALLOCATE_TYPE_BYTE &&
        pBuffer->m_nAllocateType != BUFFER_ALLOCATE_TYPE_CHUNK)
        return E_INVALIDARG;
    BYTE **ppRows = pBuffer->m_ppStrideTable;
    if (ppRows == nullptr)
        return E_INVALIDARG;
    UINT64 qwRow = (UINT64)pBuffer->getWidth() * pBuffer->getBytesPerPixel();
    UINT64 qwTotal = 0;
    if (__builtin_mul_overflow(qwRow, (UINT64)pBuffer->getHeight(), &qwTotal))
        return E_INVALIDARG;
    if (unOffset > qwTotal || qwSize > qwTotal - unOffset)
        return E_INVALIDARG;
    if (qwSize == 0)
        return S_OK;

    // Rows are reached one by one: CHUNK rows are not contiguous.
    UINT64 qwRowIndex = unOffset / qwRow;
    UINT64 qwInRow = unOffset % qwRow;
    BYTE *pCursor = pMemory;
    UINT64 qwLeft = qwSize;
    while (qwLeft > 0) {
        UINT64 qwPiece = qwRow - qwInRow;
        if (qwPiece > qwLeft)
            qwPiece = qwLeft;
        BYTE *pRow = ppRows[qwRowIndex] + qwInRow;
        if (bToMemory)
            std::memcpy(pCursor, pRow, qwPiece);
        else
            std::memcpy(pRow, pCursor, qwPiece);
        pCursor += qwPiece;
        qwLeft -= qwPiece;
        ++qwRowIndex;
        qwInRow = 0;
    }
    return S_OK;
}

} // namespace

} // namespace zu

ZU_EXPORT ZuBufferAllocator *CreateZuBufferAllocator()
{
    return new (std::nothrow) zu::CZuBufferAllocator();
}

ZU_EXPORT void DeleteZuBufferAllocator(ZuBufferAllocator *pAllocator)
{
    // Buffers hold no link back to their allocator, so they outlive it.
    delete static_cast<zu::CZuBufferAllocator *>(pAllocator);
}

ZU_EXPORT HRESULT ZuTest_FailNextAfter(const char *pszOperation, int nSkip, int nCount, HRESULT hrFail)
{
    if (pszOperation == nullptr)
        return E_POINTER;
    int nOp = zu::FaultOpFromName(pszOperation);
    if (nOp < 0 || nCount < 0 || nSkip < 0)
        return E_INVALIDARG;
    zu::ArmFault(static_cast<zu::FaultOp>(nOp), nSkip, nCount, hrFail);
    return S_OK;
}

ZU_EXPORT HRESULT ZuTest_FailNext(const char *pszOperation, int nCount, HRESULT hrFail)
{
    return ZuTest_FailNextAfter(pszOperation, 0, nCount, hrFail);
}

ZU_EXPORT void ZuTest_ClearFaults(void)
{
    zu::ClearFaults();
}

ZU_EXPORT long ZuTest_LiveImageBuffers(void)
{
    return zu::LiveImageBufferCount();
}

ZU_EXPORT int ZuTest_IsLiveImageBuffer(const CQELImageBuffer *pBuffer)
{
    return zu::IsLiveImageBuffer(pBuffer) ? 1 : 0;
}

ZU_EXPORT HRESULT ZuTest_GetImageBufferInfo(const CQELImageBuffer *pBuffer, ZuTestBufferInfo *pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    return zu::GetLiveImageBufferInfo(pBuffer, pInfo) ? S_OK : E_INVALIDARG;
}
