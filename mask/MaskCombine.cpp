// In-place edits of masks and of the hidden colour of transparent pixels:
// bitwise intersection and difference of two masks, remapping a mask's
// values through a 256-entry table from Python, and filling the colour of
// fully transparent pixels from a second image. All three run on the
// calling thread with the interpreter lock held.

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "BufferGuards.h"
#include "ByteLutKernels.h"
#include "ByteRows.h"
#include "MaskCombineKernels.h"
#include "PyQelBufferUtility.h"
#include "SSELevel.h"
#include "TraceLog.h"

namespace {

const char *const kMaskOperation = "PyQelBufferUtility::MaskOperation";
const char *const kMaskValueMapping = "PyQelBufferUtility::MaskValueMapping";
const char *const kSetTransparentAreaRGBByBuffer = "PyQelBufferUtility::SetTransparentAreaRGBByBuffer";

// A destination and a reference of the same size, locked over it in that
// order. Width() and Height() are what both locks reported, within it.
struct CLockPair {
    const UINT unWidth, unHeight;
    CBufferLock dst, ref;

    CLockPair(CQELImageBuffer *pDst, CQELImageBuffer *pRef)
        : unWidth(pDst->getWidth()), unHeight(pDst->getHeight()), dst(pDst, unWidth, unHeight),
          ref(pRef, unWidth, unHeight)
    {
    }
    bool HavePixels() const { return dst.hasPixels() && ref.hasPixels(); }
    UINT Width() const { return std::min({unWidth, dst.width(), ref.width()}); }
    UINT Height() const { return std::min({unHeight, dst.height(), ref.height()}); }
    void Unlock()
    {
        dst.unlock();
        ref.unlock();
    }
};

// One map item as a byte: ints saturate at 0 and 255 however large they
// are; floats below 0 give 0, others are cut to 255 and truncated. A NaN
// has no place on the scale and gives 0. Anything but an exact int or
// float refuses the map.
bool MapItemToByte(PyObject *pItem, BYTE *pbyValue)
{
    if (PyLong_CheckExact(pItem)) {
        int nOverflow = 0;
        const long lValue = PyLong_AsLongAndOverflow(pItem, &nOverflow);
        if (nOverflow != 0)
            *pbyValue = nOverflow > 0 ? 255 : 0;
        else
            *pbyValue = static_cast<BYTE>(lValue < 0 ? 0 : lValue > 255 ? 255 : lValue);
        return true;
    }
    if (PyFloat_CheckExact(pItem)) {
        const double dValue = PyFloat_AS_DOUBLE(pItem);
        if (std::isnan(dValue) || dValue < 0.0)
            *pbyValue = 0;
        else
            *pbyValue = static_cast<BYTE>(static_cast<int>(std::min(dValue, 255.0)));
        return true;
    }
    return false;
}

// Where blue, green, red and alpha of pixel 0 of row y are, and how far
// apart pixels are: planes for PLANAR images, interleaved bytes otherwise.
// False when the buffer's tables are missing.
struct CBgraRows {
    CQELImageBuffer *pBuffer = nullptr;
    bool bPlanar = false;
    UINT unWidth = 0;

    bool Attach(CQELImageBuffer *pBuf)
    {
        pBuffer = pBuf;
        unWidth = pBuf->getWidth();
        bPlanar = pBuf->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR;
        if (!bPlanar)
            return pBuf->m_ppStrideTable != nullptr;
        BYTE *const *ppPlanes = pBuf->m_ppPlaneTable;
        return ppPlanes != nullptr && ppPlanes[0] != nullptr && ppPlanes[1] != nullptr && ppPlanes[2] != nullptr &&
               ppPlanes[3] != nullptr;
    }
    int Step() const { return bPlanar ? 1 : 4; }
    BYTE *Interleaved(int y) const { return pBuffer->m_ppStrideTable[y]; }
    void Channels(int y, BYTE *apChannel[4]) const
    {
        for (int c = 0; c < 4; ++c)
            apChannel[c] = bPlanar ? pBuffer->m_ppPlaneTable[c] + static_cast<std::size_t>(y) * unWidth
                                   : pBuffer->m_ppStrideTable[y] + c;
    }
};

qel::mask::PFN_TransparentChannelsRow ChooseChannelsKernel(int nDstStep, int nRefStep)
{
    using namespace qel::mask;
    if (nDstStep == 1)
        return nRefStep == 1 ? TransparentRgbChannelsRow<1, 1> : TransparentRgbChannelsRow<1, 4>;
    return nRefStep == 1 ? TransparentRgbChannelsRow<4, 1> : TransparentRgbChannelsRow<4, 4>;
}

} // namespace

HRESULT PyQelBufferUtility::MaskOperation(CQELImageBuffer *pDstMaskBuffer, CQELImageBuffer *pRefMaskBuffer,
                                          int nOperationType)
{
    QEL_TRACE_ENTRY(kMaskOperation);
    if (pDstMaskBuffer == nullptr || pRefMaskBuffer == nullptr ||
        pDstMaskBuffer->getWidth() != pRefMaskBuffer->getWidth() ||
        pDstMaskBuffer->getHeight() != pRefMaskBuffer->getHeight())
        return E_FAIL;
    // Only masks combine byte for byte: an image would be cut at a third
    // or a quarter of its rows.
    if (pDstMaskBuffer->getBytesPerPixel() != 1 || pRefMaskBuffer->getBytesPerPixel() != 1)
        return E_FAIL;

    CLockPair locks(pDstMaskBuffer, pRefMaskBuffer);
    if (!locks.HavePixels())
        return E_POINTER;

    const UINT unW = locks.Width();
    const UINT unH = locks.Height();
    qel::CByteRows dstRows, refRows;
    if (!dstRows.Attach(pDstMaskBuffer, unW, unH, 1) || !refRows.Attach(pRefMaskBuffer, unW, unH, 1))
        return E_POINTER;

    qel::mask::PFN_CombineSpan pfnSpan = nullptr;
    if (nOperationType == MASK_OPERATION_TYPE_INTERSECTION)
        pfnSpan = qel::mask::AndSpan;
    else if (nOperationType == MASK_OPERATION_TYPE_DIFFERENCE)
        pfnSpan = qel::mask::AndNotSpan;
    // Any other code changes nothing and still succeeds. The kernels take
    // two distinct rows; a mask combined with itself is worked out here: AND
    // leaves it as it is, AND NOT empties it.
    if (pfnSpan != nullptr && pDstMaskBuffer != pRefMaskBuffer)
        qel::ForEachSpan2(dstRows, refRows, [&](BYTE *pDst, BYTE *pRef, std::size_t cb) { pfnSpan(pDst, pRef, cb); });
    else if (pfnSpan == qel::mask::AndNotSpan)
        qel::ForEachSpan2(dstRows, dstRows, [](BYTE *pDst, BYTE *, std::size_t cb) { std::fill(pDst, pDst + cb, 0); });

    locks.Unlock();
    QEL_TRACE_END(kMaskOperation);
    return S_OK;
}

HRESULT PyQelBufferUtility::MaskValueMapping(CQELImageBuffer *pDstMaskBuffer, PyObject *pyTupMap_256)
{
    QEL_TRACE_ENTRY(kMaskValueMapping);
    if (pDstMaskBuffer == nullptr || pDstMaskBuffer->getBytesPerPixel() != 1 || pyTupMap_256 == nullptr ||
        !PyTuple_CheckExact(pyTupMap_256) || PyTuple_GET_SIZE(pyTupMap_256) != 256)
        return E_INVALIDARG;

    alignas(64) BYTE abyTable[256];
    for (Py_ssize_t i = 0; i < 256; ++i) {
        if (!MapItemToByte(PyTuple_GET_ITEM(pyTupMap_256, i), &abyTable[i]))
            return E_INVALIDARG;
    }

    const UINT unWidth = pDstMaskBuffer->getWidth();
    const UINT unHeight = pDstMaskBuffer->getHeight();
    CBufferLock lock(pDstMaskBuffer, unWidth, unHeight);
    if (!lock.hasPixels())
        return E_POINTER;
    qel::CByteRows rows;
    if (!rows.Attach(pDstMaskBuffer, std::min(unWidth, lock.width()), std::min(unHeight, lock.height()), 1))
        return E_POINTER;

    const qel::PFN_ByteLutRow pfnRow = qel::ChooseByteLutRow(GetSSELevel() >= 6);
    qel::ForEachSpan2(rows, rows, [&](BYTE *pRow, BYTE *, std::size_t cb) { pfnRow(pRow, pRow, cb, abyTable); });

    lock.unlock();
    QEL_TRACE_END(kMaskValueMapping);
    return S_OK;
}

HRESULT PyQelBufferUtility::SetTransparentAreaRGBByBuffer(CQELImageBuffer *pDstMaskBuffer,
                                                          CQELImageBuffer *pRefMaskBuffer)
{
    if (pDstMaskBuffer == nullptr) {
        QEL_TRACE_NULL(kSetTransparentAreaRGBByBuffer, "pBuffer");
        return E_POINTER;
    }
    if (pRefMaskBuffer == nullptr) {
        QEL_TRACE_NULL(kSetTransparentAreaRGBByBuffer, "pRefBuffer");
        return E_POINTER;
    }
    if (m_pBufferAllocator == nullptr) {
        QEL_TRACE_NULL(kSetTransparentAreaRGBByBuffer, "m_pBufferAllocator");
        return E_POINTER;
    }
    if (pDstMaskBuffer->getBytesPerPixel() != 4 || pRefMaskBuffer->getBytesPerPixel() != 4 ||
        pDstMaskBuffer->getWidth() != pRefMaskBuffer->getWidth() ||
        pDstMaskBuffer->getHeight() != pRefMaskBuffer->getHeight())
        return E_INVALIDARG;

    CLockPair locks(pDstMaskBuffer, pRefMaskBuffer);
    if (!locks.HavePixels())
        return E_POINTER;
    CBgraRows dstRows, refRows;
    if (!dstRows.Attach(pDstMaskBuffer) || !refRows.Attach(pRefMaskBuffer))
        return E_POINTER;

    const int nPixels = static_cast<int>(locks.Width());
    const int nRows = static_cast<int>(locks.Height());
    if (pDstMaskBuffer == pRefMaskBuffer) {
        // Transparent pixels would take their own colour: nothing changes.
    } else if (!dstRows.bPlanar && !refRows.bPlanar) {
        qel::ForEachRow(nRows, [&](int y) {
            qel::mask::TransparentRgbBgra32Row(dstRows.Interleaved(y), refRows.Interleaved(y), nPixels);
        });
    } else {
        const qel::mask::PFN_TransparentChannelsRow pfnRow = ChooseChannelsKernel(dstRows.Step(), refRows.Step());
        qel::ForEachRow(nRows, [&](int y) {
            BYTE *apDst[4], *apRef[4];
            dstRows.Channels(y, apDst);
            refRows.Channels(y, apRef);
            pfnRow(apDst, apRef, nPixels);
        });
    }

    locks.Unlock();
    return S_OK;
}
