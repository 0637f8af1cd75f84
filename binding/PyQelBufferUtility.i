// Python face of the utility: the flat method table, its constants and the
// records. Declaration order in the included headers is the table order.
%module PyQelBufferUtility

%feature("autodoc", "1");

%{
#include <cstring>
#include "PyQelBufferUtility.h"
#include "Records.h"
%}

%include "QelTypemaps.i"

// These three work on the calling thread's error record only, so they run
// without touching the object (which may be None).
%feature("action") PyQelBufferUtility::Open "result = (HRESULT)PyQelBufferUtility::OpenThread();"
%feature("action") PyQelBufferUtility::Close "result = (HRESULT)PyQelBufferUtility::CloseThread();"
%feature("action") PyQelBufferUtility::GetLastErrorHr "result = (HRESULT)PyQelBufferUtility::LastErrorOfThread();"

// A method that reads a Python object may leave a Python error behind with
// its result; it is raised rather than returned beside a value.
%define QEL_RAISE_PENDING_ERROR(METHOD)
%exception METHOD {
  $action
  if (PyErr_Occurred()) SWIG_fail;
}
%enddef

QEL_RAISE_PENDING_ERROR(PyQelBufferUtility::SetBufferColor)
// lut: a description that is not a tuple of five items, or holds a value
// Python cannot make a float of, ends the call in that Python error.
QEL_RAISE_PENDING_ERROR(PyQelBufferUtility::ApplyLUTOnBuffer)
// mask: a boundary point that is not a pair of numbers refuses the list
// with the Python error that says why.
QEL_RAISE_PENDING_ERROR(PyQelBufferUtility::GetMaskWithBoundary)

%include "Records.h"
%include "PyQelBufferUtility.h"

// The generated initialisation hook drops its reference to the result of
// appending a pointer without checking it, so a hook handed something other
// than a wrapped pointer crashes instead of raising. The four hooks are
// replaced, in place in the module dictionary, by one that raises.
%{
#include "SwigChainGuard.h"

namespace qel_binding {
PyObject *InitShadowInstance(PyObject *, PyObject *args)
{
    PyObject *apObj[2];
    if (!SWIG_Python_UnpackTuple(args, "swiginit", 2, 2, apObj))
        return NULL;
    SwigPyObject *pThis = SWIG_Python_GetSwigThis(apObj[0]);
    if (pThis != NULL) {
        if (qel_chain::InChain((PyObject *)pThis, apObj[1]))
            return qel_chain::RefuseRing();
        PyObject *pAppended = SwigPyObject_append((PyObject *)pThis, apObj[1]);
        if (pAppended == NULL)
            return NULL;
        Py_DECREF(pAppended);
    } else if (SWIG_Python_SetSwigThis(apObj[0], apObj[1]) != 0) {
        return NULL;
    }
    return SWIG_Py_Void();
}

// The generated registration hooks keep a class's "__swig_destroy__" as a
// built-in function: they read its flags at once and jump to its C entry
// when an owned pointer of the type is freed. Anything else there would be
// run as machine code, so such a class is refused and the registration
// stays as it was.
PyObject *RegisterClass(PyObject *pGenerated, PyObject *pClass)
{
    PyObject *pDestroy = PyObject_GetAttrString(pClass, "__swig_destroy__");
    if (pDestroy == NULL) {
        PyErr_Clear();
    } else {
        const bool bBuiltin = PyCFunction_Check(pDestroy);
        Py_DECREF(pDestroy);
        if (!bBuiltin) {
            PyErr_SetString(PyExc_TypeError, "__swig_destroy__ must be a built-in function");
            return NULL;
        }
    }
    return PyObject_CallOneArg(pGenerated, pClass);
}

PyMethodDef g_aRegisterHooks[] = {
    {"TLSErrorCode_swigregister", RegisterClass, METH_O, NULL},
    {"ZuPixelInfo_swigregister", RegisterClass, METH_O, NULL},
    {"ReconstructData_swigregister", RegisterClass, METH_O, NULL},
    {"PyQelBufferUtility_swigregister", RegisterClass, METH_O, NULL},
};

PyMethodDef g_aInitHooks[] = {
    {"TLSErrorCode_swiginit", InitShadowInstance, METH_VARARGS, NULL},
    {"ZuPixelInfo_swiginit", InitShadowInstance, METH_VARARGS, NULL},
    {"ReconstructData_swiginit", InitShadowInstance, METH_VARARGS, NULL},
    {"PyQelBufferUtility_swiginit", InitShadowInstance, METH_VARARGS, NULL},
};
} // namespace qel_binding
%}

%init %{
  qel_chain::GuardAppendMethod(swigobject_methods);
  for (PyMethodDef &def : qel_binding::g_aRegisterHooks) {
    PyObject *pGenerated = PyDict_GetItemString(d, def.ml_name);
    PyObject *pHook = pGenerated != NULL ? PyCFunction_NewEx(&def, pGenerated, m) : NULL;
    if (pHook != NULL) {
      PyDict_SetItemString(d, def.ml_name, pHook);
      Py_DECREF(pHook);
    }
  }
  for (PyMethodDef &def : qel_binding::g_aInitHooks) {
    PyObject *pHook = PyCFunction_NewEx(&def, m, NULL);
    if (pHook != NULL) {
      PyDict_SetItemString(d, def.ml_name, pHook);
      Py_DECREF(pHook);
    }
  }
%}
