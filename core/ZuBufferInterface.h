// The buffer allocator library's interfaces, as this module calls them.
// The allocator is loaded at run time (dlopen); only the two factory exports
// and the virtual tables below cross the library boundary.
#pragma once

#include "QelTypes.h"

enum BUFFER_ALLOCATE_TYPE {
    BUFFER_ALLOCATE_TYPE_BYTE = 0,   // one packed block, rows of width * bpp
    BUFFER_ALLOCATE_TYPE_CHUNK = 1,  // interleaved rows, reachable only via the stride table
    BUFFER_ALLOCATE_TYPE_PLANAR = 2, // one packed plane per channel, B, G, R, A
};

enum ZU_PIXEL_BYTES {
    ZU_PIXEL_1BYTES = 1,
    ZU_PIXEL_2BYTES = 2,
    ZU_PIXEL_3BYTES = 3,
    ZU_PIXEL_4BYTES = 4,
    ZU_PIXEL_6BYTES = 6,
    ZU_PIXEL_8BYTES = 8,
};

class CQELGifBuffer {
public:
    virtual long addRef() = 0;
    virtual long release() = 0;

protected:
    virtual ~CQELGifBuffer() {}
};

class CQELImageBuffer {
public:
    virtual long addRef() = 0;
    virtual long release() = 0;
    // Writes the first-pixel address and the size in pixels. Callers use the
    // values written back, not the ones they passed in.
    virtual bool lock(BYTE **ppData, UINT *pWidth, UINT *pHeight) = 0;
    // Pairs one successful lock; unlocking a buffer that is not locked is
    // harmless and returns S_FALSE.
    virtual HRESULT unlock() = 0;
    virtual UINT getWidth() = 0;
    virtual UINT getHeight() = 0;
    virtual UINT getBytesPerPixel() = 0;
    virtual void setAttribute1(UINT64 qwValue) = 0;
    virtual void setAttribute2(UINT64 qwValue) = 0;

    int m_nAllocateType = BUFFER_ALLOCATE_TYPE_BYTE;
    BYTE **m_ppStrideTable = nullptr; // one row start per row (null for PLANAR)
    BYTE **m_ppPlaneTable = nullptr;  // one plane per channel (PLANAR only)
    HANDLE m_hFileMapping = nullptr;  // set when the pixels live in a file mapping
    UINT64 m_qwAttribute1 = 0;
    UINT64 m_qwAttribute2 = 0;

protected:
    virtual ~CQELImageBuffer() {}
};

class ZuBufferAllocator {
public:
    virtual HRESULT allocateImageBuffer(CQELImageBuffer **ppBuffer, UINT unWidth, UINT unHeight,
                                        UINT unBytesPerPixel, int nAllocateType) = 0;
    virtual HRESULT allocateFileMappingBuffer(CQELImageBuffer **ppBuffer, UINT unWidth, UINT unHeight,
                                              UINT unBytesPerPixel, int nAllocateType) = 0;
    // bToMemory: buffer pixels -> pMemory (rows packed at width * bpp);
    // otherwise pMemory -> buffer pixels. BYTE and CHUNK buffers only.
    virtual HRESULT copyBufferData(CQELImageBuffer **ppBuffer, BYTE *pMemory, UINT unOffset,
                                   UINT64 qwSize, bool bToMemory) = 0;
    virtual HRESULT allocateGifBuffer(CQELGifBuffer **ppBuffer) = 0;

protected:
    virtual ~ZuBufferAllocator() {}
};

extern "C" {
typedef ZuBufferAllocator *(*PFN_CreateZuBufferAllocator)();
typedef void (*PFN_DeleteZuBufferAllocator)(ZuBufferAllocator *);
}

#define ZU_CREATE_ALLOCATOR_EXPORT "CreateZuBufferAllocator"
#define ZU_DELETE_ALLOCATOR_EXPORT "DeleteZuBufferAllocator"
