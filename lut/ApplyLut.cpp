// ApplyLUTOnBuffer: builds a table from the script's description, checks it
// and the buffer, and runs the kernel for the table's kind in place.
//
// Only 8-bit BGRA buffers are processed. BYTE buffers are one block at
// width * 4 bytes a row; CHUNK buffers are reached row by row through their
// stride table; PLANAR buffers and other pixel sizes are refused.

#include <algorithm>
#include <memory>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "PyQelBufferUtility.h"
#include "SSELevel.h"
#include "TraceLog.h"
#include "lut/LutParse.h"

BOOL PyQelBufferUtility::ApplyLUTOnBuffer(CQELImageBuffer *pSrcImageBuffer, PyObject *pyLutData)
{
    static const char kName[] = "PyQelBufferUtility::ApplyLUTOnBuffer";
    QEL_TRACE_ENTRY(kName);
    if (pSrcImageBuffer == nullptr)
        return FALSE;

    // A description that cannot be read ends the call in a Python error,
    // which the wrapper raises. The item access alone would answer a
    // non-tuple with an opaque "bad argument to internal function".
    if (!PyTuple_Check(pyLutData)) {
        PyErr_Format(PyExc_TypeError,
                     "ApplyLUTOnBuffer: pyLutData must be a tuple (kind, size, minimum, maximum, data), not %.200s",
                     Py_TYPE(pyLutData)->tp_name);
        return FALSE;
    }
    // Too few items: the failed access leaves its IndexError set.
    PyObject *apItems[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < 5; ++i) {
        apItems[i] = PyTuple_GetItem(pyLutData, i);
        if (apItems[i] == nullptr)
            break;
    }
    tagLutBase *pParsed = nullptr;
    ParseLutData(apItems[0], apItems[1], apItems[2], apItems[3], apItems[4], &pParsed);
    const std::unique_ptr<tagLutBase> pLut(pParsed);
    if (!pLut)
        return FALSE;

    char szReason[96];
    if (const char *pszWhy = LutLimitsViolation(*pLut, szReason, sizeof szReason)) {
        QEL_TRACE("%s refuses the table: %s", kName, pszWhy);
        return FALSE;
    }
    const UINT unBPP = pSrcImageBuffer->getBytesPerPixel();
    if (unBPP != 4) {
        QEL_TRACE("%s unsupported bytes per pixel %u", kName, unBPP);
        return FALSE;
    }
    const bool bChunk = pSrcImageBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_CHUNK;
    if (!bChunk && pSrcImageBuffer->m_nAllocateType != BUFFER_ALLOCATE_TYPE_BYTE) {
        QEL_TRACE("%s unsupported allocation type %d", kName, pSrcImageBuffer->m_nAllocateType);
        return FALSE;
    }

    // Declared after the table: unlocked before the table goes.
    CBufferLock lock(pSrcImageBuffer);
    tagLutImage image;
    image.pBits = lock.locked() ? lock.data() : nullptr;
    image.nWidth = std::min(lock.width(), pSrcImageBuffer->getWidth());
    image.nHeight = std::min(lock.height(), pSrcImageBuffer->getHeight());
    image.nPitch = static_cast<int>(image.nWidth * 4);
    image.nFormat = LUT_IMAGE_FORMAT_BGRA32;
    if (bChunk) {
        image.ppRows = pSrcImageBuffer->m_ppStrideTable;
        if (image.ppRows == nullptr)
            image.pBits = nullptr; // no way to the rows: the kernel refuses
    }

    BOOL bApplied = FALSE;
    {
        CPyAllowThreads allowThreads;
        switch (pLut->nType) {
        case 0:
            if (const tagLut1D *pLut1D = dynamic_cast<const tagLut1D *>(pLut.get()))
                bApplied = Lut1D_Linear_normal(image, *pLut1D) == S_OK;
            else
                QEL_TRACE("%sdynamic_cast to lut1D failed!!", kName);
            break;
        case 1:
            if (const tagLut3D *pLut3D = dynamic_cast<const tagLut3D *>(pLut.get()))
                bApplied = (GetSSELevel() >= 2 ? Lut3D_Linear_SIMD(image, *pLut3D)
                                               : Lut3D_Linear_normal(image, *pLut3D)) == S_OK;
            else
                QEL_TRACE("%sdynamic_cast to lut3D failed!!", kName);
            break;
        default:
            QEL_TRACE("%sNot suppport Type", kName);
            break;
        }
    }
    lock.unlock();
    return bApplied;
}
