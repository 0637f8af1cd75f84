// How a script's Python description becomes a table.
#pragma once

#include <Python.h>

#include "LutTable.h"

// Builds a table from the five items of a description (any may be null,
// meaning missing). S_OK hands a new tagLut1D or tagLut3D to *ppLut;
// E_FAIL leaves *ppLut alone. A number Python cannot convert refuses the
// description and leaves Python's error set.
HRESULT ParseLutData(PyObject *pyKind, PyObject *pySize, PyObject *pyMin, PyObject *pyMax, PyObject *pyData,
                     tagLutBase **ppLut);
