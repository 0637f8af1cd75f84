#include "ZuBufferCore.h"

#include <cstring>
#include <dlfcn.h>

#include "AllocatorPath.h"
#include "RowLoop.h"
#include "PackedCopy.h"
#include "core/PlanarKernels.h"

namespace zb {

namespace {

template <class T>
bool LookUp(void *hModule, const char *pszName, T *ppfn, std::string *pstrError)
{
    *ppfn = reinterpret_cast<T>(dlsym(hModule, pszName));
    if (*ppfn == nullptr) {
        *pstrError = std::string("the buffer allocator library has no export \"") + pszName + "\"";
        return false;
    }
    return true;
}

bool Load(AllocatorLibrary *pLib, std::string *pstrError)
{
    // The path is anchored on this module itself; QEL_BUFFER_ALLOCATOR,
    // which redirects the utility, is deliberately not consulted.
    std::string strPath = qel::DefaultAllocatorLibraryPath(reinterpret_cast<const void *>(&GetAllocatorLibrary));
    void *hModule = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hModule == nullptr) {
        const char *pszWhy = dlerror();
        *pstrError = "cannot load the buffer allocator library " + strPath + ": " +
                     (pszWhy != nullptr ? pszWhy : "unknown error");
        return false;
    }
    PFN_CreateZuBufferAllocator pfnCreate = nullptr;
    if (!LookUp(hModule, ZU_CREATE_ALLOCATOR_EXPORT, &pfnCreate, pstrError) ||
        !LookUp(hModule, ZU_TEST_FAIL_NEXT_AFTER_EXPORT, &pLib->pfnFailNextAfter, pstrError) ||
        !LookUp(hModule, ZU_TEST_CLEAR_FAULTS_EXPORT, &pLib->pfnClearFaults, pstrError) ||
        !LookUp(hModule, ZU_TEST_LIVE_IMAGE_BUFFERS_EXPORT, &pLib->pfnLiveImageBuffers, pstrError) ||
        !LookUp(hModule, ZU_TEST_IS_LIVE_IMAGE_BUFFER_EXPORT, &pLib->pfnIsLiveImageBuffer, pstrError) ||
        !LookUp(hModule, ZU_TEST_GET_IMAGE_BUFFER_INFO_EXPORT, &pLib->pfnGetImageBufferInfo, pstrError))
        return false;
    pLib->pAllocator = pfnCreate();
    if (pLib->pAllocator == nullptr) {
        *pstrError = "the buffer allocator library " + strPath + " could not create an allocator";
        return false;
    }
    return true;
}

} // namespace

const AllocatorLibrary *GetAllocatorLibrary(std::string *pstrError)
{
    // Module import runs under the interpreter lock, so one attempt is made
    // and its outcome kept.
    static AllocatorLibrary s_lib;
    static std::string s_strError;
    static bool s_bTried = false;
    static bool s_bLoaded = false;
    if (!s_bTried) {
        s_bTried = true;
        s_bLoaded = Load(&s_lib, &s_strError);
    }
    if (!s_bLoaded) {
        if (pstrError != nullptr)
            *pstrError = s_strError;
        return nullptr;
    }
    return &s_lib;
}

namespace {

std::size_t PlaneRowBytes(const BufferShape &shape)
{
    UINT unBytesPerChannel = (shape.unBytesPerPixel == 6 || shape.unBytesPerPixel == 8) ? 2u : 1u;
    return (std::size_t)shape.unWidth * unBytesPerChannel;
}

} // namespace

UINT PlaneCount(const BufferShape &shape)
{
    return (shape.unBytesPerPixel == 3 || shape.unBytesPerPixel == 6) ? 3u : 4u;
}

std::size_t PlaneBytes(const BufferShape &shape)
{
    return PlaneRowBytes(shape) * shape.unHeight;
}

bool DescribeBuffer(CQELImageBuffer *pBuffer, BufferShape *pShape)
{
    pShape->unWidth = pBuffer->getWidth();
    pShape->unHeight = pBuffer->getHeight();
    pShape->unBytesPerPixel = pBuffer->getBytesPerPixel();
    pShape->nAllocateType = pBuffer->m_nAllocateType;
    if (pShape->nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        qel::tagPlanarGeometry geometry;
        if (pBuffer->m_ppPlaneTable == nullptr || !qel::GetPlanarGeometry(pShape->unBytesPerPixel, &geometry))
            return false;
        for (UINT i = 0; i < PlaneCount(*pShape); ++i) {
            if (pBuffer->m_ppPlaneTable[i] == nullptr)
                return false;
        }
        return true;
    }
    if (pShape->nAllocateType != BUFFER_ALLOCATE_TYPE_BYTE && pShape->nAllocateType != BUFFER_ALLOCATE_TYPE_CHUNK)
        return false;
    return pBuffer->m_ppStrideTable != nullptr || pShape->unHeight == 0;
}

void ReadPacked(CQELImageBuffer *pBuffer, const BufferShape &shape, BYTE *pDst)
{
    const std::size_t cbRow = shape.RowBytes();
    const int nRows = (int)shape.unHeight;
    if (shape.nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        qel::MovePlanes(pBuffer, pDst, (UINT64)cbRow * shape.unHeight, true);
        return;
    }
    BYTE *const *ppRows = pBuffer->m_ppStrideTable;
    qel::ForEachRow(nRows, [&](int y) { std::memcpy(pDst + (std::size_t)y * cbRow, ppRows[y], cbRow); });
}

void WritePacked(CQELImageBuffer *pBuffer, const BufferShape &shape, const BYTE *pSrc)
{
    const std::size_t cbRow = shape.RowBytes();
    const int nRows = (int)shape.unHeight;
    if (shape.nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        // Splitting only reads the packed block.
        qel::MovePlanes(pBuffer, const_cast<BYTE *>(pSrc), (UINT64)cbRow * shape.unHeight, false);
        return;
    }
    BYTE *const *ppRows = pBuffer->m_ppStrideTable;
    qel::ForEachRow(nRows, [&](int y) { std::memcpy(ppRows[y], pSrc + (std::size_t)y * cbRow, cbRow); });
}

void ReadPlane(CQELImageBuffer *pBuffer, const BufferShape &shape, UINT unPlane, BYTE *pDst)
{
    const std::size_t cbPlaneRow = PlaneRowBytes(shape);
    const BYTE *pPlane = pBuffer->m_ppPlaneTable[unPlane];
    qel::ForEachRow((int)shape.unHeight, [&](int y) {
        std::memcpy(pDst + (std::size_t)y * cbPlaneRow, pPlane + (std::size_t)y * cbPlaneRow, cbPlaneRow);
    });
}

} // namespace zb
