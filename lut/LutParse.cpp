// How a script's Python description becomes a table. The items are read
// by their Python types; items of another type keep the table's defaults.

#include "LutParse.h"

#include <limits>
#include <memory>

#include "TraceLog.h"

namespace {

// Python's double as a float, rounded to nearest; beyond the float range it
// becomes an infinity of its sign rather than an undefined conversion.
float NarrowToFloat(double d)
{
    constexpr double kOverflow = 0x1.ffffffp127; // FLT_MAX plus half an ulp
    if (d >= kOverflow)
        return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// Reads the float values of a list, in order, into pOut (nCount of them).
// A private copy of the list is read, so an item's __float__ that changes
// the list cannot move items under the loop. false: an item was not a
// number (Python's error is left set).
bool ReadFloats(PyObject *pyList, float *pOut, Py_ssize_t nCount, const char *pszWhat)
{
    PyObject *pyCopy = PyList_GetSlice(pyList, 0, nCount);
    if (pyCopy == nullptr)
        return false;
    bool bOk = PyList_GET_SIZE(pyCopy) == nCount;
    for (Py_ssize_t i = 0; bOk && i < nCount; ++i) {
        const double d = PyFloat_AsDouble(PyList_GET_ITEM(pyCopy, i));
        if (d == -1.0 && PyErr_Occurred()) {
            QEL_TRACE("ParseLutData %s item %zd is not a number", pszWhat, i);
            bOk = false;
        } else {
            pOut[i] = NarrowToFloat(d);
        }
    }
    Py_DECREF(pyCopy);
    return bOk;
}

// A domain bound: a list of exactly three numbers, else the default stays.
bool ReadBound(PyObject *pyBound, float *pfBound, const char *pszWhat)
{
    if (!PyList_Check(pyBound) || PyList_GET_SIZE(pyBound) != 3)
        return true;
    float afRead[3];
    if (!ReadFloats(pyBound, afRead, 3, pszWhat))
        return false;
    for (int k = 0; k < 3; ++k)
        pfBound[k] = afRead[k];
    return true;
}

} // namespace

HRESULT ParseLutData(PyObject *pyKind, PyObject *pySize, PyObject *pyMin, PyObject *pyMax, PyObject *pyData,
                     tagLutBase **ppLut)
{
    if (pySize == nullptr || pyMin == nullptr || pyMax == nullptr)
        return E_FAIL;
    if (pyData == nullptr || pyKind == nullptr || !PyUnicode_Check(pyKind))
        return E_FAIL;
    Py_ssize_t cchKind = 0;
    const char *pszKind = PyUnicode_AsUTF8AndSize(pyKind, &cchKind);
    if (pszKind == nullptr || cchKind == 0)
        return E_FAIL;

    std::unique_ptr<tagLutBase> pLut;
    if (cchKind == 2 && pszKind[0] == '1' && pszKind[1] == 'D')
        pLut.reset(new tagLut1D());
    else
        pLut.reset(new tagLut3D());

    if (PyLong_Check(pySize)) {
        // Sizes beyond 32 bits saturate; the limits refuse them later.
        int nOverflow = 0;
        const long long llSize = PyLong_AsLongLongAndOverflow(pySize, &nOverflow);
        if (nOverflow > 0 || llSize > std::numeric_limits<int>::max())
            pLut->nSize = std::numeric_limits<int>::max();
        else if (nOverflow < 0 || llSize < std::numeric_limits<int>::min())
            pLut->nSize = std::numeric_limits<int>::min();
        else
            pLut->nSize = static_cast<int>(llSize);
    }
    if (!ReadBound(pyMin, pLut->fMin, "minimum") || !ReadBound(pyMax, pLut->fMax, "maximum"))
        return E_FAIL;

    if (PyList_Check(pyData)) {
        const Py_ssize_t nItems = PyList_GET_SIZE(pyData);
        if (static_cast<unsigned long long>(nItems) > std::numeric_limits<UINT>::max()) {
            QEL_TRACE("ParseLutData %zd values are more than a table holds", nItems);
            return E_FAIL;
        }
        pLut->AllocateData(static_cast<UINT>(nItems));
        if (nItems > 0 && pLut->pData == nullptr) {
            QEL_TRACE("ParseLutData no memory for %zd values", nItems);
            return E_FAIL;
        }
        if (nItems > 0 && !ReadFloats(pyData, pLut->pData, nItems, "data"))
            return E_FAIL;
    }
    *ppLut = pLut.release();
    return S_OK;
}
