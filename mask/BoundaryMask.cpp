// A new 8-bit mask from a four-cornered boundary that a script gives as a
// list of points: inside and outside values, or the inside taken from a
// second mask. Runs on the calling thread with the interpreter lock held
// (the points are Python objects).

#include <algorithm>
#include <cstddef>

#include "BoundaryMaskKernels.h"
#include "BufferGuards.h"
#include "ByteRows.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

const char *const kGetMaskWithBoundary = "PyQelBufferUtility::GetMaskWithBoundary";

// Reads every point of the list as (x, y) in single precision and keeps the
// first four. A point that is not a tuple of two numbers refuses the list
// and leaves the Python error that says why; so does a list that a point's
// own conversion shortened while it was read.
bool ParseCorners(PyObject *pLstBoundary, float afX[4], float afY[4], Py_ssize_t *pnBadItem)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pLstBoundary); ++i) {
        *pnBadItem = i;
        PyObject *pItem = PyList_GET_ITEM(pLstBoundary, i);
        if (!PyTuple_Check(pItem) || PyTuple_GET_SIZE(pItem) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "GetMaskWithBoundary: boundary point %zd must be a tuple of two numbers (x, y), not %.100s",
                         i, PyTuple_Check(pItem) ? "a tuple of another length" : Py_TYPE(pItem)->tp_name);
            return false;
        }
        float fX = 0.0f, fY = 0.0f;
        // The conversion may run Python code that drops the point from the list.
        Py_INCREF(pItem);
        const bool bParsed = PyArg_ParseTuple(pItem, "ff", &fX, &fY) != 0;
        Py_DECREF(pItem);
        if (!bParsed)
            return false;
        if (i < 4) {
            afX[i] = fX;
            afY[i] = fY;
        }
    }
    if (PyList_GET_SIZE(pLstBoundary) < 4) {
        *pnBadItem = PyList_GET_SIZE(pLstBoundary);
        PyErr_SetString(PyExc_ValueError, "GetMaskWithBoundary: the boundary list changed while it was read");
        return false;
    }
    return true;
}

} // namespace

CQELImageBuffer *PyQelBufferUtility::GetMaskWithBoundary(int nWidth, int nHeight, PyObject *pLstBoundary, bool bInvert,
                                                         CQELImageBuffer *pIgnoreMask)
{
    QEL_TRACE_ENTRY(kGetMaskWithBoundary);
    if (m_pBufferAllocator == nullptr)
        return nullptr;
    if (nWidth < 0 || nHeight < 0) {
        QEL_TRACE(" invalid size: %d, %d", nWidth, nHeight);
        return nullptr;
    }
    if (pIgnoreMask != nullptr) {
        if (pIgnoreMask->getWidth() != static_cast<UINT>(nWidth) ||
            pIgnoreMask->getHeight() != static_cast<UINT>(nHeight)) {
            QEL_TRACE(" size of ignoreMask not match: %d, %d", static_cast<int>(pIgnoreMask->getWidth()),
                      static_cast<int>(pIgnoreMask->getHeight()));
            return nullptr;
        }
        // Its bytes are copied as mask values: an image has no one value per pixel to give.
        if (pIgnoreMask->getBytesPerPixel() != 1) {
            QEL_TRACE(" ignoreMask is not 1 byte per pixel: %d", static_cast<int>(pIgnoreMask->getBytesPerPixel()));
            return nullptr;
        }
    }
    if (pLstBoundary == nullptr || !PyList_CheckExact(pLstBoundary)) {
        QEL_TRACE(" invalid boundary");
        return nullptr;
    }
    // Four corners are read; a shorter list is refused like an empty one.
    const Py_ssize_t nPoints = PyList_GET_SIZE(pLstBoundary);
    if (nPoints < 4) {
        QEL_TRACE("invalid boundary size: %d", static_cast<int>(nPoints));
        return nullptr;
    }

    CNewBuffer outBuffer;
    const HRESULT hr = m_pBufferAllocator->allocateImageBuffer(outBuffer.out(), static_cast<UINT>(nWidth),
                                                               static_cast<UINT>(nHeight), ZU_PIXEL_1BYTES, 0);
    if (FAILED(hr))
        QEL_TRACE("[Assert] m_pBufferAllocator->allocateImageBuffer(pOutBuffer, (uint)nWidth, (uint)nHeight, "
                  "ZU_PIXEL_1BYTES, 0) , Error! hr=%x\n",
                  static_cast<unsigned>(hr));
    if (!outBuffer)
        return nullptr;

    float afX[4], afY[4];
    Py_ssize_t nBadItem = 0;
    if (!ParseCorners(pLstBoundary, afX, afY, &nBadItem)) {
        QEL_TRACE(" invalid boundary point: %d", static_cast<int>(nBadItem));
        return nullptr;
    }
    qel::boundary::CQuad quad;
    quad.Set(afX, afY);

    CBufferLock outLock(outBuffer.get(), static_cast<UINT>(nWidth), static_cast<UINT>(nHeight));
    if (!outLock.hasPixels()) {
        QEL_TRACE("[%s] lock pOutBuffer failed, %0x", kGetMaskWithBoundary, QEL_ADDR32(outBuffer.get()));
        return nullptr;
    }
    // The new buffer is one block; a lock that reports another size than
    // asked for is written only as far as both reach.
    const int nW = static_cast<int>(std::min(outLock.width(), static_cast<UINT>(nWidth)));
    const int nH = static_cast<int>(std::min(outLock.height(), static_cast<UINT>(nHeight)));
    BYTE *const pOut = outLock.data();
    const std::size_t cbOutRow = static_cast<std::size_t>(outLock.width());

    CBufferLock ignoreLock(pIgnoreMask, static_cast<UINT>(nWidth), static_cast<UINT>(nHeight));
    qel::CByteRows ignoreRows;
    if (pIgnoreMask != nullptr) {
        if (!ignoreLock.hasPixels() ||
            !ignoreRows.Attach(pIgnoreMask, static_cast<UINT>(nWidth), static_cast<UINT>(nHeight), 1)) {
            QEL_TRACE("[%s] lock pIgnoreMask failed, %0x", kGetMaskWithBoundary, QEL_ADDR32(pIgnoreMask));
            return nullptr;
        }
    }

    const BYTE byInside = bInvert ? 0 : 255;
    const BYTE byOutside = bInvert ? 255 : 0;
    auto insideRow = [&](int y) -> const BYTE * { return pIgnoreMask != nullptr ? ignoreRows.Row(y) : nullptr; };
    if (quad.SpansExact() && cbOutRow == static_cast<std::size_t>(nW)) {
        qel::boundary::WriteSpanBlock(quad, pOut, nW, nH, byInside, insideRow, byOutside);
    } else {
        // Corners the spans cannot be trusted with (or rows that are not one
        // packed block): every pixel is tested.
        qel::ForEachRow(nH, [&](int y) {
            qel::boundary::WriteTestedRow(quad, y, pOut + static_cast<std::size_t>(y) * cbOutRow, nW, byInside,
                                          insideRow(y), byOutside);
        });
    }

    ignoreLock.unlock();
    outLock.unlock();
    QEL_TRACE_END(kGetMaskWithBoundary);
    return outBuffer.detach();
}
