// The companion module's C++ side without Python: the allocator library it
// shares with the utility, and whole-buffer moves between a buffer and the
// packed interleaved form (rows of width * bpp bytes, top row first).
#pragma once

#include <cstddef>
#include <string>

#include "ZuAllocatorTestHooks.h"
#include "ZuBufferInterface.h"

namespace zb {

struct AllocatorLibrary {
    ZuBufferAllocator *pAllocator = nullptr;
    PFN_ZuTest_FailNextAfter pfnFailNextAfter = nullptr;
    PFN_ZuTest_ClearFaults pfnClearFaults = nullptr;
    PFN_ZuTest_LiveImageBuffers pfnLiveImageBuffers = nullptr;
    PFN_ZuTest_IsLiveImageBuffer pfnIsLiveImageBuffer = nullptr;
    PFN_ZuTest_GetImageBufferInfo pfnGetImageBufferInfo = nullptr;
};

// Loads the library beside this module (the file the utility loads by
// default, so both share one instance), once per process. Returns null and
// the reason in *pstrError when the library or one of its exports is
// missing. The library and its allocator live until the process ends.
const AllocatorLibrary *GetAllocatorLibrary(std::string *pstrError);

// What a transfer needs to know of a buffer, read once per call.
struct BufferShape {
    UINT unWidth = 0;
    UINT unHeight = 0;
    UINT unBytesPerPixel = 0;
    int nAllocateType = BUFFER_ALLOCATE_TYPE_BYTE;

    std::size_t RowBytes() const { return (std::size_t)unWidth * unBytesPerPixel; }
    std::size_t PackedBytes() const { return RowBytes() * unHeight; }
};

// Reads the shape and checks that the tables the transfers walk are there.
// False for a buffer whose layout cannot be walked.
bool DescribeBuffer(CQELImageBuffer *pBuffer, BufferShape *pShape);

// Buffer pixels -> pDst (shape.PackedBytes() bytes), PLANAR re-interleaved.
void ReadPacked(CQELImageBuffer *pBuffer, const BufferShape &shape, BYTE *pDst);
// pSrc (shape.PackedBytes() bytes) -> buffer pixels, PLANAR split.
void WritePacked(CQELImageBuffer *pBuffer, const BufferShape &shape, const BYTE *pSrc);

// Bytes of one plane of a PLANAR buffer, and a copy of it as stored.
std::size_t PlaneBytes(const BufferShape &shape);
void ReadPlane(CQELImageBuffer *pBuffer, const BufferShape &shape, UINT unPlane, BYTE *pDst);
UINT PlaneCount(const BufferShape &shape);

} // namespace zb
