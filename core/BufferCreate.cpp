// New buffers for Python: empty, GIF, from raw bytes, and duplicates.
#include <cstring>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "PackedCopy.h"
#include "PyQelBufferUtility.h"
#include "TraceLog.h"

CQELImageBuffer *PyQelBufferUtility::GetEmptyBuffer(int nWidth, int nHeight, int nBPP, bool onmemory)
{
    if (m_pBufferAllocator == nullptr)
        return nullptr;
    CQELImageBuffer *pBuffer = nullptr;
    // Sizes go to the allocator as they come; it decides what it accepts.
    if (onmemory) {
        HRESULT hr = m_pBufferAllocator->allocateImageBuffer(&pBuffer, (UINT)nWidth, (UINT)nHeight, (UINT)nBPP,
                                                             BUFFER_ALLOCATE_TYPE_BYTE);
        if (FAILED(hr))
            QEL_TRACE("[Assert] m_pBufferAllocator->allocateImageBuffer(pBuffer, (uint)nWidth, (uint)nHeight, "
                      "(uint)nBPP, 0) , Error! hr=%x\n",
                      hr);
    } else {
        HRESULT hr = m_pBufferAllocator->allocateFileMappingBuffer(&pBuffer, (UINT)nWidth, (UINT)nHeight,
                                                                   (UINT)nBPP, BUFFER_ALLOCATE_TYPE_BYTE);
        if (FAILED(hr))
            QEL_TRACE("[Assert] m_pBufferAllocator->allocateFileMappingBuffer(pBuffer, (uint)nWidth, (uint)nHeight, "
                      "(uint)nBPP, 0) , Error! hr=%x\n",
                      hr);
    }
    return pBuffer;
}

CQELGifBuffer *PyQelBufferUtility::GetGifBuffer()
{
    if (m_pBufferAllocator == nullptr)
        return nullptr;
    CQELGifBuffer *pBuffer = nullptr;
    HRESULT hr = m_pBufferAllocator->allocateGifBuffer(&pBuffer);
    if (FAILED(hr))
        QEL_TRACE("[Assert] m_pBufferAllocator->allocateGifBuffer(pBuffer) , Error! hr=%x\n", hr);
    return pBuffer;
}

CQELImageBuffer *PyQelBufferUtility::CreateBufferFromRawData(byte *pSrcData, int nWidth, int nHeight,
                                                             int nBytePerPixel)
{
    static const char *const kName = "PyQelBufferUtility::CreateBufferFromRawData";
    QEL_TRACE_ENTRY(kName);
    CPyAllowThreads allowThreads;

    CNewBuffer newBuffer;
    HRESULT hr = E_FAIL;
    if (m_pBufferAllocator != nullptr)
        hr = m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), (UINT)nWidth, (UINT)nHeight,
                                                     (UINT)nBytePerPixel, BUFFER_ALLOCATE_TYPE_BYTE);
    QEL_TRACE(" allocateImageBuffer, HR = %x", hr);
    if (FAILED(hr)) {
        m_fnSetLastErrorHr(hr);
        return nullptr;
    }
    if (!newBuffer)
        return nullptr;

    {
        CBufferLock lock(newBuffer.get(), (UINT)nWidth, (UINT)nHeight);
        // The buffer was made to exactly these dimensions, so the allocator
        // has already bounded the product; a None source leaves it as made.
        if (lock.data() != nullptr && pSrcData != nullptr)
            std::memcpy(lock.data(), pSrcData, (size_t)(unsigned)(nWidth * nHeight * nBytePerPixel));
    }
    QEL_TRACE_END(kName);
    return newBuffer.detach();
}

CQELImageBuffer *PyQelBufferUtility::DuplicateImageBuffer(CQELImageBuffer *pSrcBuffer)
{
    if (m_pBufferAllocator == nullptr || pSrcBuffer == nullptr)
        return nullptr;
    UINT unWidth = pSrcBuffer->getWidth();
    UINT unHeight = pSrcBuffer->getHeight();
    UINT unBPP = pSrcBuffer->getBytesPerPixel();

    // Always in process memory, keeping the source's allocation type.
    CNewBuffer newBuffer;
    m_pBufferAllocator->allocateImageBuffer(newBuffer.out(), unWidth, unHeight, unBPP, pSrcBuffer->m_nAllocateType);
    if (!newBuffer) {
        QEL_TRACE("[PyQelBufferUtility] buffer allocate fail");
        return nullptr;
    }

    CBufferLock lock(newBuffer.get(), unWidth, unHeight);
    UINT64 qwSize = (UINT64)(unBPP * lock.height() * lock.width());
    // A lock without pixels fails the copy the same way a null target would.
    HRESULT hr = lock.data() == nullptr
                     ? E_POINTER
                     : qel::CopyIntoLocked(m_pBufferAllocator, pSrcBuffer, newBuffer.get(), lock.data(), qwSize);
    if (FAILED(hr)) {
        QEL_TRACE("[PyQelBufferUtility] buffer copy fail, %0x", QEL_ADDR32(pSrcBuffer));
        return nullptr;
    }
    CopyAttributes(newBuffer.get(), pSrcBuffer);
    lock.unlock();
    return newBuffer.detach();
}
