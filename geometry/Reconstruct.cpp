// Panorama re-projection into a new buffer. The slices run on the module's
// worker pool while the calling thread, which keeps the interpreter lock,
// waits for them.
#include <cstddef>
#include <memory>
#include <new>

#include "BufferGuards.h"
#include "PackedCopy.h"
#include "PyQelBufferUtility.h"
#include "ReconstructKernels.h"
#include "TraceLog.h"

CQELImageBuffer *PyQelBufferUtility::Reconstruct(CQELImageBuffer *pSrcImageBuffer, float fYaw, float YRoll,
                                                 float Pitch)
{
    QEL_TRACE_ENTRY("PyQelBufferUtility::Reconstruct");
    if (pSrcImageBuffer == nullptr || m_pBufferAllocator == nullptr)
        return nullptr;
    CQELImageBuffer *pSrc = pSrcImageBuffer;
    const UINT W = pSrc->getWidth(), H = pSrc->getHeight();
    // The slices read 4-byte pixels; any other pixel would be misread.
    const UINT unBpp = pSrc->getBytesPerPixel();
    if (unBpp != 4) {
        QEL_TRACE("[Reconstruct]unsupported BPP %d", (int)unBpp);
        return nullptr;
    }

    CNewBuffer result;
    m_pBufferAllocator->allocateImageBuffer(result.out(), W, H, 4, pSrc->m_nAllocateType);
    if (!result)
        return nullptr;
    CBufferLock srcLock(pSrc, W, H);
    CBufferLock dstLock(result.get(), W, H);
    const UINT unStride = W * 4;

    if (srcLock.data() != nullptr && dstLock.data() != nullptr) {
        if (pSrc->m_nAllocateType == BUFFER_ALLOCATE_TYPE_BYTE) {
            ReconstructPanorama(srcLock.data(), W, H, unStride, -YRoll, -fYaw, -Pitch, 0.0f, dstLock.data(), W, H,
                                unStride);
        } else {
            // CHUNK rows lie apart and PLANAR pixels are split: both pass
            // through packed copies on either side of the turn.
            const UINT64 qwSize = (UINT64)unStride * H;
            std::unique_ptr<BYTE[]> pIn(new (std::nothrow) BYTE[qwSize]);
            std::unique_ptr<BYTE[]> pOut(new (std::nothrow) BYTE[qwSize]);
            HRESULT hr = pIn && pOut ? S_OK : E_OUTOFMEMORY;
            if (SUCCEEDED(hr))
                hr = qel::MovePacked(m_pBufferAllocator, pSrc, pIn.get(), qwSize, true);
            if (SUCCEEDED(hr)) {
                ReconstructPanorama(pIn.get(), W, H, unStride, -YRoll, -fYaw, -Pitch, 0.0f, pOut.get(), W, H,
                                    unStride);
                hr = qel::MovePacked(m_pBufferAllocator, result.get(), pOut.get(), qwSize, false);
            }
            if (FAILED(hr)) {
                QEL_TRACE("[Reconstruct]staging copy failed %x", hr);
                return nullptr;
            }
        }
    }

    CopyAttributes(result.get(), pSrc);
    srcLock.unlock();
    dstLock.unlock();
    return result.detach();
}
