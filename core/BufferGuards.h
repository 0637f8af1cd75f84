// RAII owners for the two resources a method juggles: a buffer lock and a
// reference to a buffer made during the call. Declare the new-buffer guard
// before any lock guard on it, so the lock is dropped before the release.
#pragma once

#include "ZuBufferInterface.h"

class CBufferLock {
public:
    // Width and height are pre-set to the caller's values; lock() writes
    // back the buffer's own, which is what callers must use.
    explicit CBufferLock(CQELImageBuffer *pBuffer, UINT unWidth = 0, UINT unHeight = 0)
        : m_pBuffer(pBuffer), m_unWidth(unWidth), m_unHeight(unHeight)
    {
        if (m_pBuffer != nullptr)
            m_bLocked = m_pBuffer->lock(&m_pData, &m_unWidth, &m_unHeight);
    }
    ~CBufferLock() { unlock(); }
    CBufferLock(const CBufferLock &) = delete;
    CBufferLock &operator=(const CBufferLock &) = delete;

    // Unlocks early when a method must keep a documented unlock order.
    void unlock()
    {
        if (m_bLocked) {
            m_bLocked = false;
            m_pBuffer->unlock();
        }
    }

    bool locked() const { return m_bLocked; }
    // Locked and given an address: a lock can succeed without pixels.
    bool hasPixels() const { return m_bLocked && m_pData != nullptr; }
    BYTE *data() const { return m_pData; }
    UINT width() const { return m_unWidth; }
    UINT height() const { return m_unHeight; }

private:
    CQELImageBuffer *m_pBuffer;
    BYTE *m_pData = nullptr;
    UINT m_unWidth;
    UINT m_unHeight;
    bool m_bLocked = false;
};

// Holds the caller's reference to a buffer made during a call; releases it
// unless the call succeeds and hands it over with detach().
class CNewBuffer {
public:
    CNewBuffer() = default;
    ~CNewBuffer() { reset(); }
    CNewBuffer(const CNewBuffer &) = delete;
    CNewBuffer &operator=(const CNewBuffer &) = delete;

    CQELImageBuffer **out()
    {
        reset();
        return &m_pBuffer;
    }
    CQELImageBuffer *get() const { return m_pBuffer; }
    explicit operator bool() const { return m_pBuffer != nullptr; }
    CQELImageBuffer *operator->() const { return m_pBuffer; }
    CQELImageBuffer *detach()
    {
        CQELImageBuffer *p = m_pBuffer;
        m_pBuffer = nullptr;
        return p;
    }
    void reset()
    {
        if (m_pBuffer != nullptr) {
            CQELImageBuffer *p = m_pBuffer;
            m_pBuffer = nullptr;
            p->release();
        }
    }

private:
    CQELImageBuffer *m_pBuffer = nullptr;
};

// Copies the two carried attributes, in the order the allocator expects.
inline void CopyAttributes(CQELImageBuffer *pDst, const CQELImageBuffer *pSrc)
{
    pDst->setAttribute1(pSrc->m_qwAttribute1);
    pDst->setAttribute2(pSrc->m_qwAttribute2);
}
